// Build a link frame in TxBuffer and hand it to the send seam.
//
// Payloads are byte strings with an explicit length; they routinely hold 0x00.
#pragma once

#include <string_view>

namespace qx17 {

// The fixed reply to the tracker's announcement: payload 0x99 0xAA 0x55.
void SendHandshakeReply();

// A write frame: payload 0x94 followed by `data` (address high, address low,
// the bytes to store). Data longer than 2043 bytes would not fit TxBuffer:
// nothing is sent then.
void SendWriteFrame(std::string_view data);

// A frame whose whole payload, command byte included, is `payload`. A payload
// longer than 2044 bytes would not fit TxBuffer: nothing is sent then.
void SendRawFrame(std::string_view payload);

}  // namespace qx17
