// The settings and profile reader under any file: the registry export
// format in every encoding it reads (REGEDIT4, version 5 in UTF-16 with its
// byte-order mark, UTF-8 or ANSI), then the settings' rules. It checks:
// - nothing crashes or reads outside a buffer (AddressSanitizer);
// - what the document writes reads back as the same document: serializing
//   the parsed serialization gives the same bytes;
// - a profile's values, written as a profile and read again, are the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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
