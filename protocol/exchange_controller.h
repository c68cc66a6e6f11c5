// The exchange controller: answers the tracker's announcement, runs the
// read-all, the four-frame write-all (also automatically, when "Auto" is
// ticked), the single writes of the "Apply" buttons and "Default", and times
// them out. It runs on the main thread, driven by received chunks and by
// the two 20 ms timers; its state is in exchange_state.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/exchange_host.h"
#include "protocol/link_commands.h"
#include "protocol/reply_waits.h"

namespace qx17 {

// Countdown values, in the timers' 20 ms ticks.
inline constexpr std::uint16_t kSingleWriteTicks = TicksOf(kSingleWriteWait);      // 300
inline constexpr std::uint16_t kReadAllTicks = TicksOf(kReadAllWait);              // 750
inline constexpr std::uint16_t kFirstWriteAllTicks = TicksOf(kFirstWriteAllWait);  // 300
inline constexpr std::uint16_t kNextWriteAllTicks = TicksOf(kNextWriteAllWait);    // 1000
inline constexpr std::uint16_t kAutoWriteTicks = TicksOf(std::chrono::milliseconds(200));

// One received chunk, as the serial component delivered it.
void HandleReceivedChunk(ExchangeHost& host, const std::uint8_t* bytes, std::uint16_t count);

// One tick of the reply countdown (Timer1).
void CountdownTick(ExchangeHost& host);

// One tick of the automatic-write delay (Timer3). While the fields are
// cleared (a completion box is open) the write waits at its last tick, so it
// never sends empty fields.
void AutoWriteTick(ExchangeHost& host);

// Requests.
void StartWriteAll(ExchangeHost& host);
void StartReadAll();
void StartDefault();
// A single write of the range of ParamImage, at its own address.
void StartSingleWrite(const ImageRange& range);

}  // namespace qx17
