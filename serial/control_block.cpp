#include "serial/control_block.h"

namespace qx17 {

namespace {

std::uint32_t DtrBits(TDtrControl dtr) {
    switch (dtr) {
        case TDtrControl::DtrEnable:
            return kDtrControlEnable << 4;
        case TDtrControl::DtrDisable:
            return kDtrControlDisable << 4;
        case TDtrControl::DtrHandshake:
            return kDtrControlHandshake << 4;
    }
    return 0;
}

std::uint32_t RtsBits(TRtsControl rts) {
    switch (rts) {
        case TRtsControl::RtsEnable:
            return kRtsControlEnable << 12;
        case TRtsControl::RtsDisable:
            return kRtsControlDisable << 12;
        case TRtsControl::RtsHandshake:
            return kRtsControlHandshake << 12;
        case TRtsControl::RtsTransmissionAvailable:
            return kRtsControlToggle << 12;
    }
    return 0;
}

std::uint32_t Bit(bool on, std::uint32_t bit) {
    return on ? bit : 0;
}

}  // namespace

void WriteLineSettings(const LineSettings& line, ControlBlock& block) {
    block.BaudRate = line.BaudRate;
    block.Flags =
        kDcbBinary | Bit(line.ParityCheck, kDcbParity) | Bit(line.Outx_CtsFlow, kDcbOutxCtsFlow) |
        Bit(line.Outx_DsrFlow, kDcbOutxDsrFlow) | DtrBits(line.DtrControl) |
        Bit(line.DsrSensitivity, kDcbDsrSensitivity) |
        Bit(line.TxContinueOnXoff, kDcbTxContinueOnXoff) | Bit(line.Outx_XonXoffFlow, kDcbOutX) |
        Bit(line.Inx_XonXoffFlow, kDcbInX) | Bit(line.ReplaceWhenParityError, kDcbErrorChar) |
        Bit(line.IgnoreNullChar, kDcbNull) | RtsBits(line.RtsControl);
    block.XonLim = line.XonLimit;
    block.XoffLim = line.XoffLimit;
    block.ByteSize = static_cast<std::uint8_t>(static_cast<unsigned>(line.ByteSize) + 5);
    block.Parity = static_cast<std::uint8_t>(line.Parity);
    block.StopBits = static_cast<std::uint8_t>(line.StopBits);
    block.XonChar = line.XonChar;
    block.XoffChar = line.XoffChar;
    block.ErrorChar = line.ReplacedChar;
}

}  // namespace qx17
