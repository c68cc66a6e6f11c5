// CRC-16/CCITT-FALSE of the serial link frames: polynomial 0x1021, initial
// value 0xFFFF, most significant bit first, no final XOR. Sent high byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx17 {

inline constexpr std::uint16_t kCrcInitial = 0xFFFF;

// One CRC step for the byte b, computed bit by bit without a table.
std::uint16_t CrcUpdate(std::uint16_t crc, std::uint8_t b);

// CRC of `length` bytes starting at `bytes`, from the initial value.
std::uint16_t LinkCrc(const std::uint8_t* bytes, std::size_t length);

}  // namespace qx17
