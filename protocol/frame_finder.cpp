#include "protocol/frame_finder.h"

#include <algorithm>
#include <cstddef>

#include "protocol/link_buffers.h"
#include "protocol/link_crc.h"

namespace qx17 {

std::uint16_t FindFrame(std::uint16_t start) {
    // Never trust RxLength beyond the buffer it describes.
    const std::size_t length = std::min<std::size_t>(RxLength, RxBuffer.size());
    if (length <= 5) {
        return 0;
    }
    const std::size_t last_start = length - 5;
    if (start > last_start) {
        return 0;
    }

    std::size_t i = start;
    while (i <= last_start && !(RxBuffer[i] == kFrameStart && RxBuffer[i + 1] == kFrameStart)) {
        ++i;
    }
    if (i > last_start) {
        return 0;
    }

    // Only this first pair is tried. Computed in size_t, so a declared length
    // of up to 0xFFFF cannot wrap the index.
    const std::size_t payload_length = std::size_t{RxBuffer[i + 2]} * 256 + RxBuffer[i + 3];
    const std::size_t crc_at = i + 4 + payload_length;
    if (crc_at + 2 > length) {
        return 0;
    }
    const std::uint16_t crc = LinkCrc(&RxBuffer[i], 4 + payload_length);
    if (RxBuffer[crc_at] != (crc >> 8) || RxBuffer[crc_at + 1] != (crc & 0xFF)) {
        return 0;
    }
    return static_cast<std::uint16_t>(i + 4);
}

}  // namespace qx17
