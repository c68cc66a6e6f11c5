// The receiving half of the real pace. The pseudo-terminal hands the host's
// bytes over the moment they are written; a 9600 bit/s line delivers them one
// after the other, 1.0417 ms a byte. The pacer holds each chunk read until
// its last byte would have arrived on such a line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "tools/tracker_sim/sim_frame.h"

namespace qx17::sim {

// 9600 bits per second, ten bits a byte (start, eight data, stop).
inline constexpr std::chrono::nanoseconds kByteTime{1'000'000'000LL * 10 / 9600};

class ReceivePacer {
  public:
    using Clock = std::chrono::steady_clock;

    // `length` bytes read at `read_at`. Paced, they are due when the line
    // would have delivered their last byte: after the bytes still on the
    // wire before them, `length` byte times on. Unpaced, at once (yet never
    // before a chunk read earlier).
    void Add(const std::uint8_t* bytes, std::size_t length, Clock::time_point read_at, bool paced);

    // When the first chunk held is due; nullopt when none is held.
    std::optional<Clock::time_point> NextDue() const;

    // The bytes of every chunk due by `now`, in the order read.
    Bytes TakeDue(Clock::time_point now);

    // Forgets the chunks still on the wire and returns their bytes.
    Bytes Reset();

  private:
    struct Chunk {
        Clock::time_point due;
        Bytes bytes;
    };
    std::deque<Chunk> chunks_;
    Clock::time_point wire_end_{};  // when the last byte read so far is due
};

}  // namespace qx17::sim
