// The registry's text export format, as a document that can be read, changed
// value by value and written back without disturbing anything else in it.
//
// Read: "REGEDIT4" (ANSI) and "Windows Registry Editor Version 5.00" (UTF-16
// with its byte-order mark, or UTF-8, or ANSI). Texts become bytes of the
// Windows ANSI code page (1252). Written: always "REGEDIT4", ANSI, byte for
// byte. Lines the reader does not understand are kept as they stand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/registry.h"

namespace qx17 {

// One line of a section as it stands, for a reader that checks a file
// strictly rather than as an import would.
struct RegLine {
    enum class Kind { kBlank, kComment, kValue, kOther };
    Kind kind = Kind::kOther;
    std::size_t number = 0;  // in the file, counted from 1; the first of its physical lines
    std::string text;        // as it stands, ANSI
    bool lossy = false;      // a character code page 1252 lacks became '?'
    // kValue: its name ("" for "@"), and its data unless damaged or deleted.
    std::string name;
    bool damaged = false;
    bool deleted = false;
    RegistryValue value;
};

class RegDocument {
  public:
    // Parses `file` (its raw bytes). Never fails: what cannot be understood
    // is kept as text, and a value line that cannot be read is remembered as
    // damaged.
    static RegDocument Parse(std::string_view file);

    // The document as a REGEDIT4 file.
    std::string Serialize() const;

    enum class Lookup { kMissing, kFound, kDamaged };
    // The value `name` of section `section` (both without regard to case);
    // the last one wins, as on import.
    Lookup Find(const std::string& section, const std::string& name, RegistryValue& value) const;
    // The same as a registry read sees it: nothing when the value is missing,
    // ERegistryException "Failed to get data for '%s'" when it is damaged.
    std::optional<RegistryValue> Read(const std::string& section, const std::string& name) const;

    // Sets the value, in place of the existing line(s) of that name, or at the
    // end of its section, which is added when missing.
    void Set(const std::string& section, const std::string& name, const RegistryValue& value);

    bool Empty() const { return lines_.empty(); }

    // Every line under the section's headers (without regard to case), in
    // the file's order, the headers themselves left out.
    std::vector<RegLine> SectionLines(const std::string& section) const;

    // The sections the file names, in its order, each once.
    std::vector<std::string> Sections() const;

  private:
    struct Line {
        enum class Kind { kOther, kSection, kValue };
        Kind kind = Kind::kOther;
        std::string raw;      // the line's text (with its continuations), ANSI
        std::string section;  // the section a value belongs to; a section's own name
        std::string name;     // value name; "" is the default value "@"
        bool damaged = false;
        bool deleted = false;  // "name"=- : the value is removed on import
        RegistryValue value;
        std::size_t number = 0;  // the first of its physical lines
        bool lossy = false;
    };

    // A line that begins with a value name: its name and data into `line`.
    static void ParseValueLine(std::string_view text, const std::string& section, bool unicode_data,
                               Line& line);

    std::vector<Line> lines_;
};

// Key and value names compare without regard to letter case.
bool SameRegistryName(std::string_view a, std::string_view b);

}  // namespace qx17
