// The receiving half of the real pace. The pseudo-terminal hands the host's
// bytes over the moment they are written; a 9600 bit/s line delivers them one
// after the other, 1.0417 ms a byte. The pacer holds the bytes read and gives
// each one out when it would have arrived on such a line.
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

    // `length` bytes read at `read_at`. Paced, the line delivers them one a
    // byte time, starting at `read_at` or, while it is still delivering
    // bytes read before, once it is done with those: a chunk of n bytes read
    // at t is all there at max(end of the bytes before, t) + n byte times.
    // Unpaced, they are there at once (yet never before bytes read earlier).
    void Add(const std::uint8_t* bytes, std::size_t length, Clock::time_point read_at, bool paced);

    // When the `count`-th byte held (1-based) arrives, or the last one when
    // fewer are held; nullopt when none is held.
    std::optional<Clock::time_point> ArrivalOf(std::size_t count) const;

    // The bytes arrived by `now`, in the order read.
    Bytes TakeArrived(Clock::time_point now);

    bool Empty() const { return chunks_.empty(); }

    // Forgets the bytes still on the wire and returns them.
    Bytes Reset();

  private:
    struct Chunk {
        Clock::time_point begins;  // when the line starts delivering it
        bool paced;
        Bytes bytes;
        std::size_t taken = 0;  // bytes given out already
        Clock::time_point ArrivalOf(std::size_t index) const;
    };
    std::deque<Chunk> chunks_;
    Clock::time_point wire_end_{};  // when the last byte read so far arrives
};

}  // namespace qx17::sim
