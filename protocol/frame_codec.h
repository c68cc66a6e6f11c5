// The link frame itself, on any buffer: building one, and checking whether
// the bytes at a start pair form one. The window's finder and builders (on
// RxBuffer and TxBuffer) and the command-line tool's reassembler are built on
// these.
//
// A frame: 0xAB 0xAB, the payload length L (big-endian), L payload bytes
// (command first), the CRC-16 of everything before it, high byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qx17 {

inline constexpr std::uint8_t kFrameStart = 0xAB;
// Two start bytes, two length bytes, two CRC bytes.
inline constexpr std::size_t kFrameOverhead = 6;
// The longest frames the tool takes and sends (the window's buffers hold
// one of each).
inline constexpr std::size_t kLongestReceivedFrame = 2052;
inline constexpr std::size_t kLongestSentFrame = 2050;

// Builds the frame carrying `payload` into `out`, which holds `capacity`
// bytes; returns the frame's length, or 0 when it does not fit.
std::size_t EncodeFrame(std::uint8_t* out, std::size_t capacity, std::string_view payload);

enum class FrameCheck {
    kValid,       // a whole frame with a matching CRC
    kIncomplete,  // the frame runs past the bytes there are
    kBadCrc,      // a whole frame whose CRC does not match
};

// Checks the frame whose start pair is at `bytes[at]` (the caller has seen
// 0xAB 0xAB there, and at + 4 <= length). On kValid, `payload_length` is L.
FrameCheck CheckFrameAt(const std::uint8_t* bytes, std::size_t length, std::size_t at,
                        std::size_t& payload_length);

}  // namespace qx17
