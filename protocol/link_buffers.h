// The protocol unit's receive and send buffers. One of each lives for the whole
// run and is used on the main thread only, so they carry no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/frame_codec.h"

namespace qx17 {

inline constexpr std::size_t kRxBufferSize = kLongestReceivedFrame;           // 2052
inline constexpr std::size_t kTxBufferSize = kLongestSentFrame;               // 2050
inline constexpr std::size_t kMaxTxPayload = kTxBufferSize - kFrameOverhead;  // 2044

// The latest received chunk, copied in from index 0, and its length.
extern std::array<std::uint8_t, kRxBufferSize> RxBuffer;
extern std::uint16_t RxLength;

// The outgoing frame, built from index 0.
extern std::array<std::uint8_t, kTxBufferSize> TxBuffer;

}  // namespace qx17
