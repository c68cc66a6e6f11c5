// CSV as the production line's files hold it: a field is quoted when it has
// to be, and a record ends at LF, CRLF or a lone CR, whichever the editor
// that last saved the file used.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qx17::ctl {

// `text` as one CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text);

struct CsvRecord {
    std::vector<std::string> fields;  // unquoted fields lose the blanks around them
    std::size_t line = 0;             // where the record begins, from 1
    std::size_t begin = 0;            // its offset in the content
    bool ended = false;               // false: the content stops inside it
};

// The records of `content`, blank lines left out. Only the last can be
// without its end.
std::vector<CsvRecord> ParseCsv(std::string_view content, std::size_t first_line = 1);

// The line end the content uses (its first one), LF when it has none.
std::string LineEndOf(std::string_view content);

}  // namespace qx17::ctl
