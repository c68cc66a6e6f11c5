// Small helpers for the record's statements.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ctl/record/odbc.h"

namespace qx17::ctl {

// The first column of the first row `sql` gives, empty when none (or NULL).
std::string FirstValue(odbc::Connection& db, std::string_view sql,
                       const std::vector<odbc::Value>& values);

// The SQL expression of a row's ID written as a number, NULL when it is no
// ID; the record has an index on it.
inline constexpr const char* kIdNumberOf =
    "(CASE WHEN id_written ~ '^[0-9]{1,14}$' THEN id_written::bigint END)";

}  // namespace qx17::ctl
