// The text conversions and the fields' rules against plain references
// written here from their definitions, on any text: a difference in either
// direction is a fault. Also: code page 1252 to UTF-8 and back gives the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "params/ansi_text.h"
#include "params/field_rules.h"
#include "params/text_conversions.h"

namespace {

using qx17::FieldRule;

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "conversions_fuzzer: %s\n", what);
    std::abort();
}

bool Digit(char ch) {
    return ch >= '0' && ch <= '9';
}

bool AllDigits(std::string_view t) {
    for (char ch : t) {
        if (!Digit(ch)) {
            return false;
        }
    }
    return true;
}

// nullopt: the conversion error.
std::optional<long long> ToInt(std::string_view t) {
    if (t.empty()) {
        return 0;
    }
    const bool sign = t[0] == '+' || t[0] == '-';
    const std::string_view digits = sign ? t.substr(1) : t;
    if (digits.empty() || !AllDigits(digits) || digits.size() > 10) {
        return 0;
    }
    long long value = 0;
    for (char ch : digits) {
        value = value * 10 + (ch - '0');
    }
    if (t[0] == '-') {
        value = -value;
    }
    if (value < -2147483648LL || value > 2147483647LL) {
        return std::nullopt;
    }
    return value;
}

int HexValue(char ch) {
    if (Digit(ch))
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

qx17::HexBytes Hex(std::string_view t) {
    if (t.empty()) {
        return {false, {}};
    }
    std::string digits;
    for (char ch : t) {
        if (ch == '\r' || ch == '\n' || ch == ' ') {
            continue;
        }
        if (HexValue(ch) < 0) {
            return {false, {}};
        }
        digits.push_back(ch);
    }
    std::string bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<char>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1])));
    }
    return {true, bytes};
}

std::string BeforeHash(std::string_view t) {
    const std::size_t end = t.find_first_of(std::string_view("#\0", 2));
    return std::string(t.substr(0, end));
}

std::string Packed(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        const int high = (static_cast<unsigned char>(ch) >> 4), low = ch & 0x0F;
        if (high > 9)
            break;
        out.push_back(static_cast<char>('0' + high));
        if (low > 9)
            break;
        out.push_back(static_cast<char>('0' + low));
    }
    return out;
}

// The rules as the window's table states them.
bool Rule(FieldRule rule, std::string_view t) {
    const auto number = [&](std::string_view d, std::size_t max_digits, bool empty_ok,
                            long long max) {
        if (d.empty())
            return empty_ok;
        return d.size() <= max_digits && AllDigits(d) && *ToInt(d) <= max;
    };
    // The tracker ends a text at a '#' or a NUL.
    const bool hash =
        t.find('#') != std::string_view::npos || t.find('\0') != std::string_view::npos;
    switch (rule) {
        case FieldRule::kText32:
            return t.size() <= 32 && !hash;
        case FieldRule::kText20:
            return t.size() <= 20 && !hash;
        case FieldRule::kText16:
            return t.size() <= 16 && !hash;
        case FieldRule::kPortNumber:
            return number(t, 5, true, 65535);
        case FieldRule::kTrackerId:
            return t.empty() || (t.size() <= 14 && AllDigits(t));
        case FieldRule::kGprsInterval:
            return number(t, 6, false, 655350);
        case FieldRule::kPhone:
            return t.size() <= 16 && AllDigits(!t.empty() && t[0] == '+' ? t.substr(1) : t);
        case FieldRule::kSmsInterval:
            if (!number(t, 5, true, 65535))
                return false;
            return t.empty() || *ToInt(t) == 0 || *ToInt(t) >= 10;
        case FieldRule::kPassword:
            return t.size() == 4 && AllDigits(t);
        case FieldRule::kTimeZoneMinutes: {
            const bool sign = !t.empty() && (t[0] == '+' || t[0] == '-');
            return number(sign ? t.substr(1) : t, 5, false, 65535);
        }
        case FieldRule::kPowerSaving:
            return number(t, 5, false, 255);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const FieldRule rule = static_cast<FieldRule>(data[0] % 11);
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    if (qx17::IsAllDigits(text) != AllDigits(text))
        Broken("IsAllDigits");
    const std::optional<long long> expected = ToInt(text);
    try {
        const std::int32_t got = qx17::TextToInt(text);
        if (!expected || got != *expected)
            Broken("TextToInt");
    } catch (const qx17::EConvertError&) {
        if (expected)
            Broken("TextToInt raised for a valid text");
    }
    const qx17::HexBytes hex = qx17::HexTextToBytes(text);
    const qx17::HexBytes hex_expected = Hex(text);
    if (hex.ok != hex_expected.ok || hex.bytes != hex_expected.bytes)
        Broken("HexTextToBytes");
    if (qx17::TextBeforeHash(text) != BeforeHash(text))
        Broken("TextBeforeHash");
    if (qx17::PackedDigitsToText(text) != Packed(text))
        Broken("PackedDigitsToText");
    if (qx17::Accepts(rule, text) != Rule(rule, text))
        Broken("a field's rule");

    const std::string utf8 = qx17::AnsiToUtf8(text);
    if (!qx17::IsUtf8(utf8) || qx17::Utf8ToAnsi(utf8) != text)
        Broken("code page 1252 round trip");
    return 0;
}
