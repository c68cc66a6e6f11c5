#include "protocol/link_buffers.h"

namespace qx17 {

std::array<std::uint8_t, kRxBufferSize> RxBuffer{};
std::uint16_t RxLength = 0;
std::array<std::uint8_t, kTxBufferSize> TxBuffer{};

}  // namespace qx17
