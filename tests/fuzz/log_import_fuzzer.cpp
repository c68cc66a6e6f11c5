// What `record import` reads of a station's log and its claims file, under
// any text: headers in any order, CR, LF and CRLF, quoted fields, torn rows
// and claims. It checks:
// - a refusal's message begins with the file it is about;
// - every row comes from a line of one of the files, its id_written is
//   empty or 1 to 14 digits; an open claim's row is `interrupted` (a log's
//   row has the outcome the log gives it);
// - nothing crashes or reads outside a buffer (AddressSanitizer).
//
// The input: the log, then after the first NUL the claims file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/line/id_sequence.h"
#include "ctl/record/log_import.h"

namespace {

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "log_import_fuzzer: %s\n", what.c_str());
    std::abort();
}

// The lines of `text`, however they end.
std::size_t Lines(std::string_view text) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
            ++lines;
        }
    }
    return lines;
}

// Whether `where` is "NAME:LINE" with a line of `text`.
bool IsLineOf(const std::string& where, const std::string& name, std::string_view text) {
    if (where.size() <= name.size() + 1 || where.compare(0, name.size() + 1, name + ":") != 0) {
        return false;
    }
    const std::string digits = where.substr(name.size() + 1);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::size_t line = std::stoul(digits);
    return line >= 1 && line <= Lines(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = std::min(input.find('\0'), input.size());
    const std::string_view log = input.substr(0, split);
    const std::string_view claims = input.substr(std::min(split + 1, input.size()));

    std::vector<qx17::ctl::ImportedRow> rows;
    std::string error;
    if (!qx17::ctl::ReadLogForImport(log, claims, "line.csv", "line.csv.claims", rows, error)) {
        if (error.rfind("line.csv:", 0) != 0 && error.rfind("line.csv.claims:", 0) != 0) {
            Broken("a refusal that does not begin with its file: " + error);
        }
        return 0;
    }
    for (const qx17::ctl::ImportedRow& row : rows) {
        const bool claimed = IsLineOf(row.where, "line.csv.claims", claims);
        if (!claimed && !IsLineOf(row.where, "line.csv", log)) {
            Broken("a row from no line of either file: " + row.where);
        }
        if (!row.id_written.empty() && !qx17::ctl::IdNumber(row.id_written)) {
            Broken("a row whose id_written is not an ID: " + row.where);
        }
        if (claimed && row.outcome != "interrupted") {
            Broken("an open claim's row is not interrupted: " + row.where);
        }
    }
    return 0;
}
