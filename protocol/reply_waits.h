// How long the tool waits for each reply before it gives up on it: the
// window counts these down in its timers' 20 ms ticks, qx17ctl in
// milliseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace qx17 {

inline constexpr std::chrono::milliseconds kTimerTick{20};

inline constexpr std::chrono::milliseconds kSingleWriteWait{6000};    // an "Apply", "Default"
inline constexpr std::chrono::milliseconds kReadAllWait{15000};       // the read-all
inline constexpr std::chrono::milliseconds kFirstWriteAllWait{6000};  // the first write-all frame
inline constexpr std::chrono::milliseconds kNextWriteAllWait{20000};  // each further one

constexpr std::uint16_t TicksOf(std::chrono::milliseconds wait) {
    return static_cast<std::uint16_t>(wait / kTimerTick);
}

}  // namespace qx17
