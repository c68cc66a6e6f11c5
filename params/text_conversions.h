// Conversions between the texts of the window's entry fields and the byte and
// number forms of the parameter image (unit iDataCV).
//
// Texts are byte strings: one byte per character in the Windows ANSI code page,
// length-counted, so a 0x00 byte is an ordinary character unless a routine says
// otherwise. Every routine is a pure function of its input.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qx17 {

// The standard conversion error: raised by TextToInt for a text of up to ten
// digits whose value does not fit a signed 32-bit integer.
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct HexBytes {
    bool ok = false;
    std::string bytes;
};

// '0'-'9' give 0-9, 'A'-'F' and 'a'-'f' give 10-15, anything else gives 0.
std::uint8_t HexDigitValue(char ch);

// Pairs of hexadecimal digits become bytes, the first digit of a pair in the
// high nibble; blanks, CR and LF are skipped and an unpaired last digit is
// dropped. Any other character, or an empty text, gives ok = false and no bytes.
HexBytes HexTextToBytes(std::string_view text);

// True when every character is '0'-'9'; the empty text gives true.
bool IsAllDigits(std::string_view text);

// Decimal value of an optionally signed text of at most ten digits; 0 for
// anything else (empty, a lone sign, a non-digit, more than ten digits).
// Throws EConvertError when ten digits overflow the signed 32-bit range.
std::int32_t TextToInt(std::string_view text);

// The characters before the first '#' or 0x00 byte.
std::string TextBeforeHash(std::string_view text);

// High then low nibble of each byte as a decimal digit, up to the first nibble
// above 9.
std::string PackedDigitsToText(std::string_view bytes);

}  // namespace qx17
