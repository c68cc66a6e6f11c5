// Enumerations of the serial port component's line settings, with their
// ordinals in declaration order.
#pragma once

#include <cstdint>

namespace qx17 {

enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : std::uint8_t { _1, _1_5, _2 };
enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };
enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : std::uint8_t {
    RtsEnable,
    RtsDisable,
    RtsHandshake,
    RtsTransmissionAvailable
};

}  // namespace qx17
