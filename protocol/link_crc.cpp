#include "protocol/link_crc.h"

namespace qx17 {

std::uint16_t CrcUpdate(std::uint16_t crc, std::uint8_t b) {
    // x selects the entry of the usual 256-entry table; t builds that entry.
    unsigned x = (b ^ (crc >> 8)) & 0xFFu;
    unsigned t = 0;
    for (int bit = 0; bit < 8; ++bit) {
        t = (t & 0x8000u) ? ((t << 1) ^ 0x1021u) : (t << 1);
        if (x & 0x80u) {
            t ^= 0x1021u;
        }
        x = (x << 1) & 0xFFu;
        t &= 0xFFFFu;
    }
    return static_cast<std::uint16_t>(((unsigned{crc} << 8) ^ t) & 0xFFFFu);
}

std::uint16_t LinkCrc(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = kCrcInitial;
    for (std::size_t i = 0; i < length; ++i) {
        crc = CrcUpdate(crc, bytes[i]);
    }
    return crc;
}

}  // namespace qx17
