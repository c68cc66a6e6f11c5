#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/link_crc.h"
#include "tests/support/hex_bytes.h"

namespace qx17 {
namespace {

// Reference: the textbook shift register, one bit at a time, MSB first.
std::uint16_t ReferenceStep(std::uint16_t crc, std::uint8_t b) {
    crc = static_cast<std::uint16_t>(crc ^ (b << 8));
    for (int i = 0; i < 8; ++i) {
        crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

TEST(LinkCrc, CheckValueOf123456789) {
    constexpr std::string_view check = "123456789";
    EXPECT_EQ(LinkCrc(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x29B1);
}

TEST(LinkCrc, EmptyInputIsTheInitialValue) {
    EXPECT_EQ(LinkCrc(nullptr, 0), 0xFFFF);
}

// The table-free step must equal the shift register for every state and byte.
TEST(CrcUpdate, EqualsTheShiftRegisterForEveryStateAndByte) {
    int mismatches = 0;
    for (unsigned crc = 0; crc <= 0xFFFF; ++crc) {
        for (unsigned b = 0; b <= 0xFF; ++b) {
            const auto c = static_cast<std::uint16_t>(crc);
            const auto v = static_cast<std::uint8_t>(b);
            if (CrcUpdate(c, v) != ReferenceStep(c, v) && ++mismatches <= 5) {
                ADD_FAILURE() << "crc " << crc << " byte " << b;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(LinkCrc, KnownFrames) {
    const struct {
        const char* covered;  // start bytes, length and payload
        std::uint16_t crc;
    } frames[] = {
        {"AB AB 00 03 99 AA 55", 0xD8F5},        // handshake reply
        {"AB AB 00 05 95 00 00 01 00", 0x212C},  // read all
        {"AB AB 00 04 94 00 02 FF", 0x12A2},     // Default
        {"AB AB 00 02 AA 99", 0x6444},           // announcement
        {"AB AB 00 02 94 01", 0x406F},           // write acknowledged
    };
    for (const auto& f : frames) {
        const auto bytes = test::Hex(f.covered);
        EXPECT_EQ(LinkCrc(bytes.data(), bytes.size()), f.crc) << f.covered;
    }
}

}  // namespace
}  // namespace qx17
