// The seam through which the protocol hands finished frames to the serial port.
// The window binds it to its serial component's SendData; tests bind a capture.
// With nothing bound a frame goes nowhere, exactly as on a closed port.
#pragma once

#include <cstdint>
#include <functional>

namespace qx17 {

// Same contract as the serial component's SendData: the bytes are valid only
// during the call (the callee copies them); the result tells whether they were
// queued, and the protocol does not look at it.
using SendDataFunction = std::function<bool(const std::uint8_t* buffer, std::uint16_t length)>;

// Binds the send seam; an empty function unbinds it.
void BindSendData(SendDataFunction send);

// Hands `length` bytes to whatever is bound.
void SendToLink(const std::uint8_t* buffer, std::uint16_t length);

}  // namespace qx17
