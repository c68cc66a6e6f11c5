// The requests the tool sends and what it takes from the replies, shared by
// the window's exchange controller and the command-line tool, so that both
// put the same bytes on the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "params/param_image.h"

namespace qx17 {

inline constexpr std::uint8_t kAnnounceCommand = 0xAA;  // tracker: AA 99
inline constexpr std::uint8_t kAnnounceSecond = 0x99;
inline constexpr std::uint8_t kWriteCommand = 0x94;  // tool: write; tracker: its acknowledgement
inline constexpr std::uint8_t kReadCommand = 0x95;   // tool: read; tracker: its reply
inline constexpr std::uint8_t kWriteSucceeded = 1;   // acknowledgement status

// Payloads, command byte first.
inline constexpr std::string_view kHandshakePayload{"\x99\xAA\x55", 3};
// Read all: from address 0, 256 bytes.
inline constexpr std::string_view kReadAllPayload{"\x95\x00\x00\x01\x00", 5};
inline constexpr std::size_t kReadAllCount = 256;  // the bytes its reply holds
// "Default": a write of 0xFF at address 0x0002.
inline constexpr std::string_view kDefaultPayload{"\x94\x00\x02\xFF", 4};

// A range of the image as it is written: the image's bytes `first` to
// `first + count - 1`, at the tracker's address 0x00 and the low byte of
// `first` (its memory is the image, address for address).
struct ImageRange {
    std::size_t first;
    std::size_t count;
    constexpr std::uint8_t AddressLow() const { return static_cast<std::uint8_t>(first & 0xFF); }
    friend constexpr bool operator==(const ImageRange&, const ImageRange&) = default;
};

// From the first byte of `from` to the last of `to`, and `beyond` bytes more.
constexpr ImageRange Span(ImageField from, ImageField to, std::size_t beyond = 0) {
    return {from.first, to.first + to.width + beyond - from.first};
}

// What each "Apply" writes: its field, or its group of fields.
inline constexpr ImageRange kPasswordRange = Span(kPW, kPW);
// GPRS_MODE to Port, and the byte after Port, which no field covers.
inline constexpr ImageRange kGprsRange = Span(kGPRS_MODE, kPort, 1);
inline constexpr ImageRange kSmsTrackingRange = Span(kSMS_OBJ, kSMS_INT);
inline constexpr ImageRange kListenRange = Span(kListen, kListen);
inline constexpr ImageRange kLoggingRange = Span(kLOG_INT, kLOG_INT);
inline constexpr ImageRange kTimeZoneRange = Span(kTimeZone, kTimeZone);
inline constexpr ImageRange kSosRange = Span(kSOS_NO, kSOS_NO);
inline constexpr ImageRange kSleepModeRange = Span(kSleepMode, kSleepMode);
inline constexpr ImageRange kCallReplyRange = Span(kCallReply, kCallReply);

// The write-all sequence, frame by frame.
inline constexpr ImageRange kWriteAllFrames[4] = {
    kPasswordRange, kGprsRange, Span(kListen, kTimeZone),  // Listen, LOG_INT, TimeZone
    Span(kSleepMode, kCallReply),  // SleepMode, SMS_OBJ, SMS_INT, SOS_NO, CallReply
};

// The data of a write frame (what follows its command byte) for `range` of
// `image`: 0x00, the address low byte, the bytes.
std::string WriteData(const ImageBytes& image, const ImageRange& range);

// The data of a read reply whose frame holds `payload_length` payload bytes
// from `payload` (command byte first): the payload after the command byte,
// nothing of the CRC or of what followed the frame.
std::string ReadReplyData(const std::uint8_t* payload, std::size_t payload_length);

}  // namespace qx17
