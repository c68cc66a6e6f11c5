#include "protocol/exchange_state.h"

namespace qx17 {

std::uint8_t LinkState = 0;
std::uint8_t WriteStep = 0;
std::uint16_t ReplyCountdown = 0;
std::uint16_t AutoWriteDelay = 0;

void ResetExchangeState() {
    LinkState = 0;
    WriteStep = 0;
    ReplyCountdown = 0;
    AutoWriteDelay = 0;
}

}  // namespace qx17
