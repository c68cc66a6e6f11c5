#include "protocol/frame_codec.h"

#include "protocol/link_crc.h"

namespace qx17 {

std::size_t EncodeFrame(std::uint8_t* out, std::size_t capacity, std::string_view payload) {
    const std::size_t total = payload.size() + kFrameOverhead;
    if (payload.size() > 0xFFFF || total > capacity) {
        return 0;
    }
    out[0] = kFrameStart;
    out[1] = kFrameStart;
    out[2] = static_cast<std::uint8_t>(payload.size() >> 8);
    out[3] = static_cast<std::uint8_t>(payload.size() & 0xFF);
    std::size_t at = 4;
    for (char ch : payload) {
        out[at++] = static_cast<std::uint8_t>(ch);
    }
    const std::uint16_t crc = LinkCrc(out, at);
    out[at] = static_cast<std::uint8_t>(crc >> 8);
    out[at + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    return total;
}

FrameCheck CheckFrameAt(const std::uint8_t* bytes, std::size_t length, std::size_t at,
                        std::size_t& payload_length) {
    // In size_t, so a declared length of up to 0xFFFF cannot wrap the index.
    const std::size_t declared = std::size_t{bytes[at + 2]} * 256 + bytes[at + 3];
    const std::size_t crc_at = at + 4 + declared;
    if (crc_at + 2 > length) {
        return FrameCheck::kIncomplete;
    }
    const std::uint16_t crc = LinkCrc(bytes + at, 4 + declared);
    if (bytes[crc_at] != (crc >> 8) || bytes[crc_at + 1] != (crc & 0xFF)) {
        return FrameCheck::kBadCrc;
    }
    payload_length = declared;
    return FrameCheck::kValid;
}

}  // namespace qx17
