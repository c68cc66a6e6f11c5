// Finds a valid link frame in the chunk held in RxBuffer.
#pragma once

#include <cstdint>

namespace qx17 {

// Looks at the first RxLength bytes of RxBuffer from index `start` and returns
// the index of the command byte of a valid frame, or 0 when there is none.
// Only the first 0xAB 0xAB pair is tried. A frame whose CRC does not match, or
// whose declared length runs past the received bytes, counts as absent.
std::uint16_t FindFrame(std::uint16_t start);

}  // namespace qx17
