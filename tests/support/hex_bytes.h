// Test helper: byte strings written as hexadecimal text, "AB AB 00 02".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx17::test {

// Parses pairs of hexadecimal digits separated by blanks; aborts the test
// program on malformed text, which is a fault of the test itself.
std::vector<std::uint8_t> Hex(std::string_view text);

// The same bytes as a byte string (for the routines that take text).
std::string HexString(std::string_view text);

// A well-formed link frame around `payload`: start bytes, length, CRC.
std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload);

// Bytes as "AB AB 00 02", for readable failure messages.
std::string ToHex(const std::vector<std::uint8_t>& bytes);

}  // namespace qx17::test
