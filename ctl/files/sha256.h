// The SHA-256 of some bytes, as 64 lower-case hex digits: how a profile is
// named in the record and on the board. One implementation per platform
// (OpenSSL's libcrypto; Windows' CNG).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qx17::ctl {

std::string Sha256Hex(std::string_view bytes);

// `size` bytes as lower-case hex digits, two a byte.
inline std::string HexOf(const unsigned char* bytes, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0x0F];
    }
    return hex;
}

}  // namespace qx17::ctl
