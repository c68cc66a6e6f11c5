// Texts of the Windows ANSI code page (1252) and Unicode, both ways. The
// program keeps every text as ANSI bytes; toolkits and files that speak
// Unicode convert at their edge.
#pragma once

#include <string>
#include <string_view>

namespace qx17 {

// UTF-8 to code page 1252; characters 1252 lacks, and bytes that are not
// UTF-8, become '?'.
std::string Utf8ToAnsi(std::string_view utf8);

// Code page 1252 to UTF-8; each byte is one character.
std::string AnsiToUtf8(std::string_view ansi);

bool IsUtf8(std::string_view text);

// Appends the UTF-8 form of the code point `cp`.
void AppendUtf8(std::string& out, char32_t cp);

// Decodes the UTF-8 sequence at `i` into `cp` and moves `i` past it; false,
// with one byte passed over, when the bytes there are not UTF-8.
bool NextUtf8(std::string_view text, std::size_t& i, char32_t& cp);

}  // namespace qx17
