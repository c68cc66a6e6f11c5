// Reassembles link frames from a stream of received chunks, for a receiver
// that must not lose a reply to the timing of its bytes: a frame split over
// several chunks is put together, bytes before a frame are skipped, and a
// frame whose CRC does not match is not taken.
//
// (The window's receiver looks at each chunk on its own instead.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame_codec.h"

namespace qx17 {

class FrameAssembler {
  public:
    // No frame the tool expects is longer: a declared length beyond it makes
    // the start pair noise, so a false pair cannot hold up the frames after it.
    static constexpr std::size_t kMaxPayload = kLongestReceivedFrame - kFrameOverhead;

    void Add(const std::uint8_t* bytes, std::size_t count);

    // The payload (command byte first) of the next whole frame with a good
    // CRC, if one is there. A start pair whose frame is still incomplete
    // waits for more bytes, unless a whole good frame already follows it, in
    // which case it was noise. A bad frame is searched again from its second
    // byte, so a frame whose start a false pair swallowed is still found.
    std::optional<std::string> Next();

    // Forgets everything received so far.
    void Clear();

    // Bytes skipped as noise or in bad frames since the last Clear().
    std::size_t Skipped() const { return skipped_; }

  private:
    enum class Check { kValid, kIncomplete, kBad };
    Check Examine(std::size_t at, std::size_t& payload_length) const;
    std::size_t PairFrom(std::size_t from) const;  // bytes_.size() when there is none
    void Drop(std::size_t count);

    std::vector<std::uint8_t> bytes_;
    std::size_t skipped_ = 0;
};

}  // namespace qx17
