#include "protocol/frame_builders.h"

#include <cstddef>
#include <cstdint>

#include "protocol/link_buffers.h"
#include "protocol/link_crc.h"
#include "protocol/link_sender.h"

namespace qx17 {

namespace {

constexpr std::uint8_t kWriteCommand = 0x94;

// TxBuffer[0..3] = start bytes and the big-endian payload length.
void PutHeader(std::size_t payload_length) {
    TxBuffer[0] = kFrameStart;
    TxBuffer[1] = kFrameStart;
    TxBuffer[2] = static_cast<std::uint8_t>(payload_length >> 8);
    TxBuffer[3] = static_cast<std::uint8_t>(payload_length & 0xFF);
}

void PutBytes(std::size_t at, std::string_view bytes) {
    for (char ch : bytes) {
        TxBuffer[at++] = static_cast<std::uint8_t>(ch);
    }
}

// Appends the CRC of the header and payload already in TxBuffer and sends the
// whole frame.
void SealAndSend(std::size_t payload_length) {
    const std::size_t crc_at = 4 + payload_length;
    const std::uint16_t crc = LinkCrc(TxBuffer.data(), crc_at);
    TxBuffer[crc_at] = static_cast<std::uint8_t>(crc >> 8);
    TxBuffer[crc_at + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    SendToLink(TxBuffer.data(), static_cast<std::uint16_t>(crc_at + 2));
}

}  // namespace

void SendHandshakeReply() {
    PutHeader(3);
    TxBuffer[4] = 0x99;
    TxBuffer[5] = 0xAA;
    TxBuffer[6] = 0x55;
    SealAndSend(3);
}

void SendWriteFrame(std::string_view data) {
    const std::size_t payload_length = data.size() + 1;
    if (payload_length > kMaxTxPayload) {
        return;
    }
    PutHeader(payload_length);
    TxBuffer[4] = kWriteCommand;
    PutBytes(5, data);
    SealAndSend(payload_length);
}

void SendRawFrame(std::string_view payload) {
    if (payload.size() > kMaxTxPayload) {
        return;
    }
    PutHeader(payload.size());
    PutBytes(4, payload);
    SealAndSend(payload.size());
}

}  // namespace qx17
