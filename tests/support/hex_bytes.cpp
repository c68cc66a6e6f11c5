#include "tests/support/hex_bytes.h"

#include "protocol/link_crc.h"

#include <cstdio>
#include <cstdlib>

namespace qx17::test {

namespace {
int Nibble(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    std::fprintf(stderr, "bad hex digit '%c' in test data\n", ch);
    std::abort();
}
}  // namespace

std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            std::fprintf(stderr, "odd number of hex digits in test data\n");
            std::abort();
        }
        bytes.push_back(static_cast<std::uint8_t>(Nibble(text[i]) * 16 + Nibble(text[i + 1])));
        i += 2;
    }
    return bytes;
}

std::string HexString(std::string_view text) {
    const std::vector<std::uint8_t> bytes = Hex(text);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(payload.size() + 6);
    frame.push_back(0xAB);
    frame.push_back(0xAB);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    for (std::uint8_t b : payload)
        frame.push_back(b);
    const std::uint16_t crc = LinkCrc(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return frame;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        if (!text.empty())
            text += ' ';
        text += pair;
    }
    return text;
}

}  // namespace qx17::test
