// A platform-independent model of the device control block and of the time-out
// record of a serial port. The Windows backend copies them into DCB and
// COMMTIMEOUTS; the POSIX backend translates them to termios and to its own
// read and write timing.
#pragma once

#include <cstdint>

#include "serial/comm_enums.h"

namespace qx17 {

// Bits of the control block's flag word.
inline constexpr std::uint32_t kDcbBinary = 0x0001;
inline constexpr std::uint32_t kDcbParity = 0x0002;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t kDcbOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t kDcbDtrControlMask = 0x0030;  // 0x10 enable, 0x20 handshake
inline constexpr std::uint32_t kDcbDsrSensitivity = 0x0040;
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 0x0080;
inline constexpr std::uint32_t kDcbOutX = 0x0100;
inline constexpr std::uint32_t kDcbInX = 0x0200;
inline constexpr std::uint32_t kDcbErrorChar = 0x0400;
inline constexpr std::uint32_t kDcbNull = 0x0800;
inline constexpr std::uint32_t kDcbRtsControlMask = 0x3000;  // 0x1000 enable, 0x2000 handshake,
                                                             // 0x3000 toggle
inline constexpr std::uint32_t kDcbAbortOnError = 0x4000;

inline constexpr std::uint32_t kDtrControlDisable = 0, kDtrControlEnable = 1,
                               kDtrControlHandshake = 2;
inline constexpr std::uint32_t kRtsControlDisable = 0, kRtsControlEnable = 1,
                               kRtsControlHandshake = 2, kRtsControlToggle = 3;

struct ControlBlock {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    std::uint32_t DtrControl() const { return (Flags & kDcbDtrControlMask) >> 4; }
    std::uint32_t RtsControl() const { return (Flags & kDcbRtsControlMask) >> 12; }

    friend bool operator==(const ControlBlock&, const ControlBlock&) = default;
};

// Same members, same meaning and same order as COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;

    friend bool operator==(const CommTimeouts&, const CommTimeouts&) = default;
};

// The component's line properties, as one record.
struct LineSettings {
    std::uint32_t BaudRate = 9600;
    bool ParityCheck = false;
    bool Outx_CtsFlow = false;
    bool Outx_DsrFlow = false;
    TDtrControl DtrControl = TDtrControl::DtrEnable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = true;
    bool Outx_XonXoffFlow = true;
    bool Inx_XonXoffFlow = true;
    bool ReplaceWhenParityError = false;
    bool IgnoreNullChar = false;
    TRtsControl RtsControl = TRtsControl::RtsEnable;
    std::uint16_t XonLimit = 500;
    std::uint16_t XoffLimit = 500;
    TByteSize ByteSize = TByteSize::_8;
    TParity Parity = TParity::None;
    TStopBits StopBits = TStopBits::_1;
    char XonChar = 17;
    char XoffChar = 19;
    char ReplacedChar = 0;
};

// Overwrites the members of `block` that the line settings decide. The flag
// word is rebuilt from zero, so every bit not named here (fAbortOnError among
// them) ends up 0; DCBlength, EofChar and EvtChar keep what the device gave.
void WriteLineSettings(const LineSettings& line, ControlBlock& block);

}  // namespace qx17
