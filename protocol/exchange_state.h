// The exchange controller's state: one set for the whole run, all 0 at start.
#pragma once

#include <cstdint>

namespace qx17 {

// What is pending: one of the four values below.
extern std::uint8_t LinkState;
inline constexpr std::uint8_t kLinkIdle = 0;
inline constexpr std::uint8_t kLinkSingleWrite = 1;  // an "Apply" or "Default"
inline constexpr std::uint8_t kLinkReadAll = 2;
inline constexpr std::uint8_t kLinkWriteAll = 7;  // the four frames, one after the other
// 0 to 3: which write-all frame's acknowledgement is awaited.
extern std::uint8_t WriteStep;
// Ticks of 20 ms before a pending request times out; 0 means not armed.
extern std::uint16_t ReplyCountdown;
// Ticks of 20 ms before an automatic write-all starts; 0 means none pending.
extern std::uint16_t AutoWriteDelay;

// Back to the state of program start.
void ResetExchangeState();

}  // namespace qx17
