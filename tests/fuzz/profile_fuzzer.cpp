// The settings and profile reader under any file: the registry export
// format in every encoding it reads (REGEDIT4, version 5 in UTF-16 with its
// byte-order mark, UTF-8 or ANSI), then the settings' rules. It checks:
// - nothing crashes or reads outside a buffer (AddressSanitizer);
// - what the document writes reads back as the same document: serializing
//   the parsed serialization gives the same bytes;
// - a profile's values, written as a profile and read again, are the same;
// - a profile qx17ctl takes, written again, is taken again with the same
//   values, and every problem it reports names the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ctl/profiles/profile_check.h"
#include "params/ansi_text.h"
#include "params/profile.h"
#include "params/reg_file_format.h"
#include "params/registry.h"

namespace {

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "profile_fuzzer: %s\n", what);
    std::abort();
}

// The same text as version 5 in UTF-16 little-endian with its byte-order
// mark, so that the fuzzer's texts reach that reader too.
std::string AsUtf16(std::string_view text) {
    std::string out = "\xFF\xFE";
    for (char ch : text) {
        out.push_back(ch);
        out.push_back('\0');
    }
    return out;
}

void Check(std::string_view file) {
    const qx17::RegDocument document = qx17::RegDocument::Parse(file);
    const std::string once = document.Serialize();
    const std::string twice = qx17::RegDocument::Parse(once).Serialize();
    if (once != twice) {
        Broken("a document does not read back as written");
    }
    try {
        std::size_t found = 0;
        const qx17::FieldValues values = qx17::ProfileValues(document, &found);
        // A file with none of the values gives the defaults, every time.
        if (found != 0 && qx17::ParseProfile(qx17::SerializeProfile(values)) != values) {
            Broken("a profile's values do not read back as written");
        }
    } catch (const qx17::ERegistryException&) {
        // A value of the wrong type or a damaged line: refused, as the
        // window refuses it.
    }
    const qx17::ctl::ProfileCheck strict = qx17::ctl::CheckProfile("p.reg", file);
    for (const std::string& problem : strict.problems) {
        if (problem.rfind("p.reg", 0) != 0 || problem.size() > 1000) {
            Broken("a profile's problem does not name the file, or echoes too much");
        }
    }
    const std::string written = qx17::SerializeProfile(strict.values);
    // REGEDIT4 text beyond ASCII that reads as UTF-8 is taken for an
    // editor's UTF-8 and refused: such values are not expected back.
    const bool reads_as_utf8 =
        qx17::IsUtf8(written) &&
        std::any_of(written.begin(), written.end(), [](char c) { return c & 0x80; });
    if (strict.problems.empty() && !reads_as_utf8) {
        const qx17::ctl::ProfileCheck again = qx17::ctl::CheckProfile("p.reg", written);
        if (!again.problems.empty() || again.values != strict.values) {
            Broken("a profile qx17ctl takes is not taken again as written");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    Check(file);
    if (size > 0 && (data[0] & 1) && size < 4096) {
        Check(AsUtf16(file.substr(1)));
    }
    return 0;
}
