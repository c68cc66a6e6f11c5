#include "ctl/record/record_sql.h"

namespace qx17::ctl {

std::string FirstValue(odbc::Connection& db, std::string_view sql,
                       const std::vector<odbc::Value>& values) {
    const auto column = odbc::Query(db, sql, values);
    return column.empty() ? std::string() : column[0].value_or("");
}

}  // namespace qx17::ctl
