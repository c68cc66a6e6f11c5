// A station's CSV log as `record import` reads it: strictly by its header
// (the seven columns of a log, each once, in any order), every row with one
// field per column and an ID or nothing as id_written; and its claims file,
// whose open claims (a line killed after the claim, before the row) come in
// as `interrupted` rows, so that their IDs count as used. What a crash left
// at the end is read as the line itself would mend it: a last row torn
// after its whole id_written is an interrupted row, a shorter one is left
// out (its ID is in its claim), as is a torn last claim.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx17::ctl {

// One row of a log as an import brings it in.
struct ImportedRow {
    std::string where;  // "FILE:LINE", for messages
    std::string time;   // as the log has it
    std::string port;
    std::string id_before;
    std::string id_written;
    std::string outcome;
    std::string differences;
    std::string seconds;
};

// The rows of `log` (read from `log_name`) and then the open claims of
// `claims` (from `claims_name`; empty when there is no claims file). False,
// with `error` ("FILE:LINE: why"), for a log or claims file that cannot be
// read exactly.
bool ReadLogForImport(std::string_view log, std::string_view claims, const std::string& log_name,
                      const std::string& claims_name, std::vector<ImportedRow>& rows,
                      std::string& error);

}  // namespace qx17::ctl
