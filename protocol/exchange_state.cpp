#include "protocol/exchange_state.h"

namespace qx17 {

std::uint8_t LinkState = kLinkIdle;
std::uint8_t WriteStep = 0;
std::uint16_t ReplyCountdown = 0;
std::uint16_t AutoWriteDelay = 0;

void ResetExchangeState() {
    LinkState = kLinkIdle;
    WriteStep = 0;
    ReplyCountdown = 0;
    AutoWriteDelay = 0;
}

}  // namespace qx17
