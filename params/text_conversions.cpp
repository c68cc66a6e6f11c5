#include "params/text_conversions.h"

#include <limits>

namespace qx17 {

namespace {

bool IsDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

bool IsHexDigit(char ch) {
    return IsDigit(ch) || (ch >= 'A' && ch <= 'F') || (ch >= 'a' && ch <= 'f');
}

bool IsSkippedInHex(char ch) {
    return ch == '\r' || ch == '\n' || ch == ' ';
}

char DigitChar(unsigned value) {
    return static_cast<char>('0' + value);
}

}  // namespace

std::uint8_t HexDigitValue(char ch) {
    if (IsDigit(ch)) {
        return static_cast<std::uint8_t>(ch - '0');
    }
    if (ch >= 'A' && ch <= 'F') {
        return static_cast<std::uint8_t>(ch - 'A' + 10);
    }
    if (ch >= 'a' && ch <= 'f') {
        return static_cast<std::uint8_t>(ch - 'a' + 10);
    }
    return 0;
}

HexBytes HexTextToBytes(std::string_view text) {
    std::string digits;
    for (char ch : text) {
        if (IsSkippedInHex(ch)) {
            continue;
        }
        if (!IsHexDigit(ch)) {
            return {};
        }
        digits.push_back(ch);
    }
    if (text.empty()) {
        return {};
    }

    HexBytes result{true, {}};
    result.bytes.reserve(digits.size() / 2);
    std::uint8_t accumulator = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        accumulator = static_cast<std::uint8_t>((accumulator << 4) | HexDigitValue(digits[i]));
        if (i % 2 == 1) {
            result.bytes.push_back(static_cast<char>(accumulator));
        }
    }
    return result;
}

bool IsAllDigits(std::string_view text) {
    for (char ch : text) {
        if (!IsDigit(ch)) {
            return false;
        }
    }
    return true;
}

std::int32_t TextToInt(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const bool has_sign = text.front() == '+' || text.front() == '-';
    const std::string_view digits = has_sign ? text.substr(1) : text;
    if (digits.empty() || !IsAllDigits(digits) || digits.size() > 10) {
        return 0;
    }

    // Ten digits stay below 10^10, well inside 64 bits.
    std::int64_t value = 0;
    for (char ch : digits) {
        value = value * 10 + (ch - '0');
    }
    if (text.front() == '-') {
        value = -value;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    }
    return static_cast<std::int32_t>(value);
}

std::string TextBeforeHash(std::string_view text) {
    const std::size_t end = text.find_first_of(std::string_view("#\0", 2));
    return std::string(text.substr(0, end));
}

std::string PackedDigitsToText(std::string_view bytes) {
    std::string digits;
    digits.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto byte = static_cast<std::uint8_t>(ch);
        const unsigned high = byte >> 4;
        const unsigned low = byte & 0x0Fu;
        if (high > 9) {
            break;
        }
        digits.push_back(DigitChar(high));
        if (low > 9) {
            break;
        }
        digits.push_back(DigitChar(low));
    }
    return digits;
}

}  // namespace qx17
