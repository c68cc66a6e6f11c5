#include "params/reg_file_format.h"

#include "params/ansi_text.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace qx17 {

namespace {

constexpr std::string_view kRegedit4 = "REGEDIT4";
constexpr std::string_view kRegedit5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kNewline = "\r\n";

// UTF-16 (little- or big-endian) to UTF-8.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
    std::string out;
    char32_t high = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        const char32_t unit = big_endian ? (char32_t{a} << 8 | b) : (char32_t{b} << 8 | a);
        if (unit >= 0xD800 && unit < 0xDC00) {
            high = unit;
            continue;
        }
        if (unit >= 0xDC00 && unit < 0xE000) {
            AppendUtf8(out, high ? 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00) : U'?');
            high = 0;
            continue;
        }
        high = 0;
        AppendUtf8(out, unit);
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    if (a == b)
        return true;  // the usual case, in one comparison
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A quoted string with \\ and \" escapes, from `i` (at the opening quote).
bool ParseQuoted(std::string_view s, std::size_t& i, std::string& out) {
    if (i >= s.size() || s[i] != '"')
        return false;
    ++i;
    while (i < s.size()) {
        const char c = s[i++];
        if (c == '"')
            return true;
        if (c == '\\' && i < s.size()) {
            out.push_back(s[i++]);
        } else {
            out.push_back(c);
        }
    }
    return false;  // no closing quote
}

bool ParseHexBytes(std::string_view s, std::string& out) {
    std::size_t i = 0;
    s = Trim(s);
    if (s.empty())
        return true;
    for (;;) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i + 2 > s.size())
            return false;
        const int hi = HexValue(s[i]);
        const int lo = HexValue(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i == s.size())
            return true;
        if (s[i] != ',')
            return false;
        ++i;
    }
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// "name"=data, as REGEDIT4 writes it: strings quoted when that can hold
// them, a DWORD as dword:, everything else as hex bytes wrapped like regedit.
std::string SerializeValue(const std::string& name, const RegistryValue& value) {
    std::string line = name.empty() ? "@=" : Quote(name) + "=";
    const std::string& d = value.data;
    if (value.type == REG_SZ && !d.empty() && d.back() == '\0' &&
        d.find_first_of(std::string_view("\0\r\n", 3)) == d.size() - 1) {
        return line + Quote(std::string_view(d).substr(0, d.size() - 1));
    }
    if (value.type == REG_DWORD && d.size() == 4) {
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i)
            bits |= std::uint32_t{static_cast<std::uint8_t>(d[i])} << (8 * i);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", bits);
        return line + text;
    }
    char prefix[24];
    if (value.type == REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    }
    line += prefix;
    std::size_t column = line.size();
    for (std::size_t i = 0; i < d.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x",
                      static_cast<unsigned>(static_cast<std::uint8_t>(d[i])));
        line += pair;
        column += 2;
        if (i + 1 < d.size()) {
            line.push_back(',');
            ++column;
            if (column > 76) {
                line += "\\";
                line += kNewline;
                line += "  ";
                column = 2;
            }
        }
    }
    return line;
}

}  // namespace

bool SameRegistryName(std::string_view a, std::string_view b) {
    return SameName(a, b);
}

namespace {

// The file as ANSI text, whatever its encoding: UTF-16 either way round or
// UTF-8 with a byte order mark, a version 5 file in UTF-8, else as it is.
// `lossy` gets the numbers of the lines in which a character that code page
// 1252 lacks became '?'.
std::string FileText(std::string_view file, std::set<std::size_t>& lossy) {
    const auto starts = [file](unsigned char a, unsigned char b) {
        return file.size() >= 2 && static_cast<unsigned char>(file[0]) == a &&
               static_cast<unsigned char>(file[1]) == b;
    };
    std::string utf8;
    if (starts(0xFF, 0xFE)) {
        utf8 = Utf16ToUtf8(file.substr(2), false);
    } else if (starts(0xFE, 0xFF)) {
        utf8 = Utf16ToUtf8(file.substr(2), true);
    } else if (file.substr(0, 3) == "\xEF\xBB\xBF") {
        utf8 = file.substr(3);
    } else if (file.substr(0, kRegedit5.size()) == kRegedit5 && IsUtf8(file)) {
        utf8 = file;
    } else {
        return std::string(file);
    }
    std::string ansi = Utf8ToAnsi(utf8);
    if (AnsiToUtf8(ansi) != utf8) {
        // Line by line: a line break is one character in both.
        std::size_t a = 0;
        std::size_t u = 0;
        for (std::size_t number = 1; a <= ansi.size() && u <= utf8.size(); ++number) {
            const std::size_t a_end = std::min(ansi.find('\n', a), ansi.size());
            const std::size_t u_end = std::min(utf8.find('\n', u), utf8.size());
            if (AnsiToUtf8(std::string_view(ansi).substr(a, a_end - a)) !=
                std::string_view(utf8).substr(u, u_end - u)) {
                lossy.insert(number);
            }
            a = a_end + 1;
            u = u_end + 1;
        }
    }
    return ansi;
}

// One logical line from `pos` on: a physical line and its continuations when
// it ends in a backslash. `raw` gets the lines as they stand; the result is
// the joined text.
std::string NextLogicalLine(const std::string& text, std::size_t& pos, std::string& raw) {
    std::string joined;
    for (;;) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view physical(text.data() + pos, end - pos);
        if (!physical.empty() && physical.back() == '\r') {
            physical.remove_suffix(1);
        }
        pos = end + (end < text.size() ? 1 : 0);
        if (!raw.empty()) {
            raw += kNewline;
        }
        raw += physical;
        std::string_view piece = joined.empty() ? physical : Trim(physical);
        const bool more = !Trim(piece).empty() && Trim(piece).back() == '\\' && pos < text.size();
        if (more) {
            piece = Trim(piece);
            piece.remove_suffix(1);
        }
        joined += piece;
        if (!more) {
            return joined;
        }
    }
}

// "dword:" and up to 8 hexadecimal digits.
std::optional<RegistryValue> DwordData(std::string_view digits) {
    std::uint32_t bits = 0;
    bool ok = !digits.empty() && digits.size() <= 8;
    for (char c : digits) {
        const int v = HexValue(c);
        ok = ok && v >= 0;
        bits = (bits << 4) | static_cast<std::uint32_t>(v < 0 ? 0 : v);
    }
    if (!ok) {
        return std::nullopt;
    }
    std::string d(4, '\0');
    for (std::size_t k = 0; k < 4; ++k) {
        d[k] = static_cast<char>((bits >> (8 * k)) & 0xFF);
    }
    return RegistryValue{REG_DWORD, d};
}

// "hex:" or "hex(T):" and the bytes; a version 5 file keeps strings in UTF-16.
std::optional<RegistryValue> HexData(std::string_view rest, bool unicode_data, bool& lossy) {
    std::uint32_t type = REG_BINARY;
    if (rest.starts_with('(')) {
        const std::size_t close = rest.find(')');
        if (close == std::string_view::npos || close <= 1 || close > 9) {
            return std::nullopt;
        }
        type = 0;
        for (std::size_t k = 1; k < close; ++k) {
            const int v = HexValue(rest[k]);
            if (v < 0) {
                return std::nullopt;
            }
            type = (type << 4) | static_cast<std::uint32_t>(v);
        }
        rest = rest.substr(close + 1);
    }
    std::string bytes;
    if (!rest.starts_with(':') || !ParseHexBytes(rest.substr(1), bytes)) {
        return std::nullopt;
    }
    if (unicode_data && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        const std::string utf8 = Utf16ToUtf8(bytes, false);
        bytes = Utf8ToAnsi(utf8);
        lossy = lossy || AnsiToUtf8(bytes) != utf8;
        if (bytes.empty() || bytes.back() != '\0') {
            bytes.push_back('\0');
        }
    }
    return RegistryValue{type, bytes};
}

// What follows a value's '=': a string, a dword, hex data, or "-" (deleted).
// Nothing for data that cannot be read.
std::optional<RegistryValue> ValueData(std::string_view data, bool unicode_data, bool& lossy) {
    if (data.starts_with('"')) {
        std::size_t j = 0;
        std::string s;
        if (ParseQuoted(data, j, s) && Trim(data.substr(j)).empty()) {
            return RegistryValue{REG_SZ, s + '\0'};
        }
        return std::nullopt;
    }
    if (data.starts_with("dword:")) {
        return DwordData(data.substr(6));
    }
    if (data.starts_with("hex")) {
        return HexData(data.substr(3), unicode_data, lossy);
    }
    return std::nullopt;
}

}  // namespace

RegDocument RegDocument::Parse(std::string_view file) {
    std::set<std::size_t> lossy;
    const std::string text = FileText(file, lossy);
    // Version 5: hex(1) and hex(2) strings are UTF-16.
    const bool unicode_data = Trim(std::string_view(text).substr(0, text.find('\n'))) == kRegedit5;

    RegDocument doc;
    std::string section;  // empty outside a section, or in a deleted one
    std::size_t pos = 0;
    std::size_t number = 1;  // of the next physical line
    bool first = true;
    while (pos < text.size()) {
        Line line;
        line.number = number;
        const std::size_t start = pos;
        const std::string joined = NextLogicalLine(text, pos, line.raw);
        number += static_cast<std::size_t>(
            std::count(text.begin() + static_cast<std::ptrdiff_t>(start),
                       text.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
        // One past its last physical line: the last line of a file may lack
        // its line break.
        const std::size_t end = text[pos - 1] == '\n' ? number : number + 1;
        line.lossy = lossy.lower_bound(line.number) != lossy.lower_bound(end);
        const std::string_view t = Trim(joined);
        if (first && !t.empty()) {
            first = false;
            if (t == kRegedit4 || t == kRegedit5) {
                continue;  // the header is written anew
            }
        }
        line.section = section;
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
            line.kind = Line::Kind::kSection;
            std::string_view name = t.substr(1, t.size() - 2);
            section = (!name.empty() && name.front() == '-') ? std::string() : std::string(name);
            line.section = section;
        } else if (!section.empty() && (t.starts_with('"') || t.starts_with('@'))) {
            ParseValueLine(t, section, unicode_data, line);
        }
        doc.lines_.push_back(std::move(line));
    }
    return doc;
}

std::vector<std::string> RegDocument::Sections() const {
    std::vector<std::string> out;
    for (const Line& line : lines_) {
        if (line.kind == Line::Kind::kSection &&
            std::none_of(out.begin(), out.end(), [&line](const std::string& seen) {
                return SameName(seen, line.section);
            })) {
            out.push_back(line.section);
        }
    }
    return out;
}

std::vector<RegLine> RegDocument::SectionLines(const std::string& section) const {
    std::vector<RegLine> out;
    for (const Line& line : lines_) {
        if (line.kind == Line::Kind::kSection || line.section.empty() ||
            !SameName(line.section, section)) {
            continue;
        }
        RegLine r;
        r.number = line.number;
        r.text = line.raw;
        r.lossy = line.lossy;
        const std::string_view t = Trim(line.raw);
        if (line.kind == Line::Kind::kValue) {
            r.kind = RegLine::Kind::kValue;
            r.name = line.name;
            r.damaged = line.damaged;
            r.deleted = line.deleted;
            r.value = line.value;
        } else if (t.empty()) {
            r.kind = RegLine::Kind::kBlank;
        } else if (t.starts_with(';')) {
            r.kind = RegLine::Kind::kComment;
        }
        out.push_back(std::move(r));
    }
    return out;
}

void RegDocument::ParseValueLine(std::string_view t, const std::string& section, bool unicode_data,
                                 Line& line) {
    line.kind = Line::Kind::kValue;
    line.section = section;
    std::size_t i = 0;
    bool named = true;
    if (t[0] == '@') {
        i = 1;
    } else {
        named = ParseQuoted(t, i, line.name);
    }
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) {
        ++i;
    }
    if (!named || i >= t.size() || t[i] != '=') {
        line.kind = Line::Kind::kOther;  // no value name to speak of
        return;
    }
    const std::string_view data = Trim(t.substr(i + 1));
    if (data == "-") {
        line.deleted = true;
        return;
    }
    const std::optional<RegistryValue> value = ValueData(data, unicode_data, line.lossy);
    line.damaged = !value;
    if (value) {
        line.value = *value;
    }
}

std::optional<RegistryValue> RegDocument::Read(const std::string& section,
                                               const std::string& name) const {
    RegistryValue value;
    switch (Find(section, name, value)) {
        case Lookup::kFound:
            return value;
        case Lookup::kMissing:
            return std::nullopt;
        case Lookup::kDamaged:
            break;
    }
    throw ERegistryException("Failed to get data for '" + name + "'");
}

std::string RegDocument::Serialize() const {
    std::string out(kRegedit4);
    out += kNewline;
    for (const Line& line : lines_) {
        out += line.raw;
        out += kNewline;
    }
    return out;
}

RegDocument::Lookup RegDocument::Find(const std::string& section, const std::string& name,
                                      RegistryValue& value) const {
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
        // The name first: it is short and differs from most others at once.
        if (it->kind == Line::Kind::kValue && SameName(it->name, name) &&
            SameName(it->section, section)) {
            if (it->deleted)
                return Lookup::kMissing;
            if (it->damaged)
                return Lookup::kDamaged;
            value = it->value;
            return Lookup::kFound;
        }
    }
    return Lookup::kMissing;
}

void RegDocument::Set(const std::string& section, const std::string& name,
                      const RegistryValue& value) {
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
        // The name first: it is short and differs from most others at once.
        if (it->kind == Line::Kind::kValue && SameName(it->name, name) &&
            SameName(it->section, section)) {
            it->raw = SerializeValue(it->name, value);  // the name keeps its spelling
            it->value = value;
            it->damaged = false;
            it->deleted = false;
            return;
        }
    }
    Line line;
    line.kind = Line::Kind::kValue;
    line.section = section;
    line.name = name;
    line.value = value;
    line.raw = SerializeValue(name, value);

    // After the last value of the section's last occurrence.
    std::optional<std::size_t> insert_at;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Line::Kind::kSection && SameName(lines_[i].section, section)) {
            insert_at = i + 1;
        } else if (insert_at && lines_[i].kind == Line::Kind::kValue &&
                   SameName(lines_[i].section, section)) {
            insert_at = i + 1;
        }
    }
    if (insert_at) {
        line.section = lines_[*insert_at - 1].section;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(*insert_at), std::move(line));
        return;
    }
    if (lines_.empty() || !Trim(lines_.back().raw).empty()) {
        lines_.push_back(Line{});  // a blank line before the new section
    }
    Line header;
    header.kind = Line::Kind::kSection;
    header.section = section;
    header.raw = "[" + section + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(line));
}

}  // namespace qx17
