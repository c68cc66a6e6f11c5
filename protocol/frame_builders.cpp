#include "protocol/frame_builders.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/frame_codec.h"
#include "protocol/link_buffers.h"
#include "protocol/link_commands.h"
#include "protocol/link_sender.h"

namespace qx17 {

namespace {

// Builds the frame in TxBuffer and hands it to the send seam; a payload that
// would not fit is not sent.
void SendFrame(std::string_view payload) {
    const std::size_t length = EncodeFrame(TxBuffer.data(), TxBuffer.size(), payload);
    if (length != 0) {
        SendToLink(TxBuffer.data(), static_cast<std::uint16_t>(length));
    }
}

}  // namespace

void SendHandshakeReply() {
    SendFrame(kHandshakePayload);
}

void SendWriteFrame(std::string_view data) {
    std::string payload(1, static_cast<char>(kWriteCommand));
    payload.append(data);
    SendFrame(payload);
}

void SendRawFrame(std::string_view payload) {
    SendFrame(payload);
}

}  // namespace qx17
