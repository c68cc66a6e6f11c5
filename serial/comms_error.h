// The serial port component's exception, raised only by OpenPort.
#pragma once

#include <stdexcept>

namespace qx17 {

class ECommsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The messages OpenPort raises, exactly as the user sees them.
inline constexpr const char* kMsgAlreadyOpen = "This serial port already opened";
inline constexpr const char* kMsgErrorOpening = "Error opening serial port";
inline constexpr const char* kMsgNotCommHandle = "File handle is not a comm handle ";
inline constexpr const char* kMsgCannotSetup = "Cannot setup comm buffer";
inline constexpr const char* kMsgNoEvent = "Unable to create event";
inline constexpr const char* kMsgNoReadThread = "Unable to create read thread";
inline constexpr const char* kMsgNoWriteThread = "Unable to create write thread";

}  // namespace qx17
