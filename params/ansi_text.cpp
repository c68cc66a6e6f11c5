#include "params/ansi_text.h"

namespace qx17 {

namespace {

// Code points of bytes 0x80 to 0x9F in code page 1252; 0 where it has none
// (those five bytes stand for themselves).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char AnsiOf(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<char>(cp);
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (kCp1252High[i] == cp || (kCp1252High[i] == 0 && cp == 0x80 + i)) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool NextUtf8(std::string_view text, std::size_t& i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    const int length = b0 < 0x80         ? 1
                       : (b0 >> 5) == 6  ? 2
                       : (b0 >> 4) == 14 ? 3
                       : (b0 >> 3) == 30 ? 4
                                         : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
        ++i;
        return false;
    }
    cp = static_cast<char32_t>(length == 1 ? b0 : (b0 & (0x7F >> length)));
    for (int k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += static_cast<std::size_t>(length);
    return true;
}

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    char32_t cp;
    while (i < text.size()) {
        if (!NextUtf8(text, i, cp)) {
            return false;
        }
    }
    return true;
}

std::string Utf8ToAnsi(std::string_view utf8) {
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        char32_t cp = 0;
        out.push_back(NextUtf8(utf8, i, cp) ? AnsiOf(cp) : '?');
    }
    return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        const auto b = static_cast<unsigned char>(c);
        char32_t cp = b;
        if (b >= 0x80 && b <= 0x9F && kCp1252High[b - 0x80] != 0) {
            cp = kCp1252High[b - 0x80];
        }
        AppendUtf8(out, cp);
    }
    return out;
}

}  // namespace qx17
