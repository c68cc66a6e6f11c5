#include "protocol/link_sender.h"

#include <utility>

namespace qx17 {

namespace {
SendDataFunction& BoundSend() {
    static SendDataFunction send;
    return send;
}
}  // namespace

void BindSendData(SendDataFunction send) {
    BoundSend() = std::move(send);
}

void SendToLink(const std::uint8_t* buffer, std::uint16_t length) {
    if (const SendDataFunction& send = BoundSend()) {
        (void)send(buffer, length);
    }
}

}  // namespace qx17
