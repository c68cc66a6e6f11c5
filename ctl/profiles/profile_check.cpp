#include "ctl/profiles/profile_check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>

#include "params/ansi_text.h"
#include "params/field_descriptors.h"
#include "params/profile.h"
#include "params/reg_file_format.h"

namespace qx17::ctl {

namespace {

constexpr std::size_t kShownCharacters = 60;

// Saved by the window beside the field values; a profile may hold them, and
// qx17ctl does not use them.
constexpr std::array<const char*, 2> kWindowOnlyNames = {"COM", "Auto_Write"};

std::string Title(const FieldDescriptor& field) {
    return std::string(field.name) + " (\"" + field.label + "\")";
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The names the settings file has, the fields' first.
std::vector<std::string> KnownNames() {
    std::vector<std::string> names;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        names.emplace_back(field.name);
    }
    names.insert(names.end(), kWindowOnlyNames.begin(), kWindowOnlyNames.end());
    return names;
}

// A known name within two typing mistakes of `name`, if one is.
std::optional<std::string> NearestName(const std::string& name) {
    std::optional<std::string> best;
    std::size_t best_distance = 3;
    for (const std::string& known : KnownNames()) {
        const std::size_t d = EditDistance(Lower(name), Lower(known));
        if (d < best_distance) {
            best_distance = d;
            best = known;
        }
    }
    return best;
}

std::string TypeName(const RegistryValue& value) {
    switch (value.type) {
        case REG_SZ:
            return "a string";
        case REG_DWORD:
            return value.data.size() == 4 ? "a dword" : "hex(4) data of another length";
        case REG_BINARY:
            return "hex data";
        default:
            return "hex(" + std::to_string(value.type) + ") data";
    }
}

std::uint32_t DwordOf(const RegistryValue& value) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < value.data.size() && i < 4; ++i) {
        bits |= std::uint32_t{static_cast<std::uint8_t>(value.data[i])} << (8 * i);
    }
    return bits;
}

std::string DwordText(std::uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", bits);
    return text;
}

// REGEDIT4 without a byte order mark, whose bytes beyond ASCII read as UTF-8:
// the line of the first such byte.
std::optional<std::size_t> Utf8InRegedit4(std::string_view bytes) {
    const std::size_t start = bytes.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || bytes.substr(start, 8) != "REGEDIT4" || !IsUtf8(bytes)) {
        return std::nullopt;
    }
    const auto high = std::find_if(bytes.begin(), bytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (high == bytes.end()) {
        return std::nullopt;
    }
    return 1 + static_cast<std::size_t>(std::count(bytes.begin(), high, '\n'));
}

// What is wrong with the data of a value line that cannot be read.
std::string WhyUnreadable(std::string_view text) {
    // The data begins after the '=' that follows the quoted name.
    std::size_t at = text.find('"');
    for (at = at == std::string_view::npos ? at : at + 1; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == '"') {
            break;
        }
    }
    const std::size_t equals = at < text.size() ? text.find('=', at) : std::string_view::npos;
    std::string_view data = equals == std::string_view::npos ? "" : text.substr(equals + 1);
    while (!data.empty() && (data.back() == '\r' || data.back() == ' ')) {
        data.remove_suffix(1);
    }
    if (data.starts_with('"')) {
        return "a text needs its closing quote, and a quote or backslash inside it a backslash "
               "before it (\\\" \\\\).";
    }
    if (data.starts_with("dword:")) {
        return "a dword is dword: and up to 8 hex digits (dword:00000001).";
    }
    if (data.starts_with("hex")) {
        return "hex data is hex: and bytes as two hex digits, separated by commas.";
    }
    return "a value is a text in quotes (\"...\") or a dword (dword:00000001).";
}

class Checker {
  public:
    Checker(const std::string& file_name, ProfileCheck& result)
        : file_(file_name), result_(result) {}

    void Check(std::string_view bytes) {
        if (const std::optional<std::size_t> line = Utf8InRegedit4(bytes)) {
            Problem(*line,
                    "this REGEDIT4 file holds UTF-8 text. REGEDIT4 files are in code page 1252; "
                    "save it in that code page, or as a version 5 file (UTF-16, \"Windows "
                    "Registry Editor Version 5.00\"), which may hold any character.");
            return;
        }
        const RegDocument document = RegDocument::Parse(bytes);
        const std::vector<RegLine> lines = document.SectionLines(kSettingsSection);
        // A key with lines that are not values goes on: each such line is
        // told as it is.
        if (std::none_of(lines.begin(), lines.end(), [](const RegLine& l) {
                return l.kind == RegLine::Kind::kValue || l.kind == RegLine::Kind::kOther;
            })) {
            // Not a profile (another file, or another key).
            std::string keys;
            for (const std::string& section : document.Sections()) {
                keys += (keys.empty() ? "" : ", ") + ("[" + section + "]");
            }
            Problem(0, std::string("no values under [") + kSettingsSection + "]" +
                           (keys.empty() ? "; the file has no key."
                                         : "; the file's keys: " + keys + "."));
            return;
        }
        for (const RegLine& line : lines) {
            Take(line);
        }
        for (const FieldDescriptor& field : FieldDescriptors()) {
            if (seen_.count(Lower(field.name)) == 0) {
                Problem(0, Title(field) + " is missing: a profile states every value.");
            }
        }
        CheckHeldExactly();
    }

  private:
    void Problem(std::size_t line, const std::string& text) {
        result_.problems.push_back(file_ + (line != 0 ? ":" + std::to_string(line) : "") + ": " +
                                   text);
    }

    void Take(const RegLine& line) {
        switch (line.kind) {
            case RegLine::Kind::kBlank:
            case RegLine::Kind::kComment:
                return;
            case RegLine::Kind::kOther:
                Problem(line.number,
                        "neither a value, a comment nor a blank line: " + QuotedValue(line.text));
                return;
            case RegLine::Kind::kValue:
                break;
        }
        const std::string shown = "\"" + AnsiToUtf8(line.name) + "\"";
        const FieldDescriptor* field = nullptr;
        for (const FieldDescriptor& f : FieldDescriptors()) {
            field = SameRegistryName(f.name, line.name) ? &f : field;
        }
        const bool window_only =
            std::any_of(kWindowOnlyNames.begin(), kWindowOnlyNames.end(),
                        [&](const char* name) { return SameRegistryName(name, line.name); });
        if (field == nullptr && !window_only) {
            const std::optional<std::string> nearest = NearestName(line.name);
            Problem(line.number, QuotedValue(line.name) + " is not a value of the settings file" +
                                     (nearest ? " (did you mean \"" + *nearest + "\"?)." : "."));
            return;
        }
        const auto [first, fresh] = seen_.emplace(Lower(line.name), line.number);
        if (!fresh) {
            Problem(line.number, shown + " is given again (first on line " +
                                     std::to_string(first->second) +
                                     "): a profile states each value once.");
            return;
        }
        if (line.deleted) {
            Problem(line.number, shown + " is deleted (=-): a profile states every value.");
            return;
        }
        if (line.damaged) {
            Problem(line.number, shown + ": its data cannot be read: " + WhyUnreadable(line.text));
            return;
        }
        if (line.lossy) {
            Problem(line.number, shown +
                                     " holds a character that code page 1252 lacks: the "
                                     "tracker cannot hold it.");
            return;
        }
        if (window_only) {
            if (line.value.type != REG_DWORD || line.value.data.size() != 4) {
                Problem(line.number,
                        shown + " is " + TypeName(line.value) +
                            "; the settings file keeps it as a dword (dword:00000001).");
            }
            return;
        }
        if (field->kind == FieldKind::kText ? TakeText(*field, line) : TakeNumber(*field, line)) {
            good_[field->name] = line.number;
        }
    }

    bool TakeText(const FieldDescriptor& field, const RegLine& line) {
        if (line.value.type != REG_SZ) {
            Problem(line.number, Title(field) + " is " + TypeName(line.value) +
                                     "; the settings file keeps it as a string (\"...\").");
            return false;
        }
        std::string text = line.value.data;
        if (!text.empty() && text.back() == '\0') {
            text.pop_back();  // the string's end; any other NUL is part of the text
        }
        result_.values.*field.text = text;
        if (text.empty() && field.fallback != nullptr) {
            Problem(line.number, Title(field) + " is empty: the window would write \"" +
                                     field.fallback + "\" in its place.");
            return false;
        }
        if (!Accepts(*field.rule, text)) {
            Problem(line.number, Title(field) + " " + QuotedValue(text) +
                                     " breaks its rule: " + RuleText(*field.rule));
            return false;
        }
        return true;
    }

    bool TakeNumber(const FieldDescriptor& field, const RegLine& line) {
        if (line.value.type != REG_DWORD || line.value.data.size() != 4) {
            Problem(line.number, Title(field) + " is " + TypeName(line.value) +
                                     "; the settings file keeps it as a dword (dword:00000001).");
            return false;
        }
        const std::uint32_t n = DwordOf(line.value);
        if (field.kind == FieldKind::kFlag) {
            if (n > 1) {
                Problem(line.number,
                        Title(field) + " " + DwordText(n) + " is neither 0 (off) nor 1 (on).");
                return false;
            }
            result_.values.*field.flag = n == 1;
            return true;
        }
        if (n >= field.items.size()) {
            std::string items;
            for (std::size_t i = 0; i < field.items.size(); ++i) {
                items += (i == 0 ? "" : ", ") + std::to_string(i) + " \"" + field.items[i] + "\"";
            }
            Problem(line.number,
                    Title(field) + " " + DwordText(n) + " is outside its list: " + items + ".");
            return false;
        }
        result_.values.*field.index = static_cast<int>(n);
        return true;
    }

    // Every value that passed its own checks, written into an image and
    // read back as the tracker would show it: a value the encoding changes
    // (GPRS_TM is kept in steps of ten, a number loses its leading zeros)
    // would not be what the profile says.
    void CheckHeldExactly() {
        FieldValues probe = result_.values;
        for (const FieldDescriptor& field : FieldDescriptors()) {
            if (good_.count(field.name) == 0 && field.text != nullptr) {
                probe.*field.text = "";  // a safe value for a field already refused
            }
        }
        ImageBytes image{};
        FieldsToImage(probe, image);
        const FieldValues held = ImageToFields(image);
        for (const FieldDescriptor& field : FieldDescriptors()) {
            const auto good = good_.find(field.name);
            if (good == good_.end() || field.text == nullptr ||
                held.*field.text == probe.*field.text) {
                continue;  // a flag or list the checks above hold to its range
            }
            const std::string& text = probe.*field.text;
            if (field.text == &FieldValues::GPRS_TM && std::stol(text) % 10 != 0) {
                const long lower = std::stol(held.GPRS_TM);
                Problem(good->second, Title(field) + " " + QuotedValue(text) +
                                          ": the tracker keeps it in steps of ten; the nearest "
                                          "it can hold are \"" +
                                          std::to_string(lower) + "\" and \"" +
                                          std::to_string(lower + 10) + "\".");
            } else {
                Problem(good->second, Title(field) + " " + QuotedValue(text) +
                                          ": the tracker would hold it as " +
                                          QuotedValue(held.*field.text) + ".");
            }
        }
    }

    const std::string& file_;
    ProfileCheck& result_;
    std::map<std::string, std::size_t> seen_;  // lower-case name: its first line
    std::map<std::string, std::size_t> good_;  // field name: its line, when it passed
};

}  // namespace

std::string QuotedValue(std::string_view ansi) {
    std::string shown = "\"";
    for (char c : AnsiToUtf8(ansi.substr(0, kShownCharacters))) {
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    shown += "\"";
    if (ansi.size() > kShownCharacters) {
        shown += "... (" + std::to_string(ansi.size()) + " characters)";
    }
    return shown;
}

std::vector<std::string> RuleProblems(const FieldValues& values) {
    std::vector<std::string> problems;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (field.rule && !Accepts(*field.rule, values.*field.text)) {
            problems.push_back(Title(field) + " " + QuotedValue(values.*field.text) +
                               " breaks its rule: " + RuleText(*field.rule));
        }
    }
    return problems;
}

ProfileCheck CheckProfile(const std::string& file_name, std::string_view bytes) {
    ProfileCheck result;
    Checker(file_name, result).Check(bytes);
    return result;
}

}  // namespace qx17::ctl
