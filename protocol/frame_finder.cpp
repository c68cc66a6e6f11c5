#include "protocol/frame_finder.h"

#include <algorithm>
#include <cstddef>

#include "protocol/frame_codec.h"
#include "protocol/link_buffers.h"

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

    // Only this first pair is tried.
    std::size_t payload_length = 0;
    if (CheckFrameAt(RxBuffer.data(), length, i, payload_length) != FrameCheck::kValid) {
        return 0;
    }
    return static_cast<std::uint16_t>(i + 4);
}

}  // namespace qx17
