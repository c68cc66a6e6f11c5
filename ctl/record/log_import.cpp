#include "ctl/record/log_import.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "ctl/files/csv.h"
#include "ctl/line/id_sequence.h"
#include "ctl/line/line_log.h"

namespace qx17::ctl {

namespace {

// Columns in kLogColumns' order.
constexpr std::size_t kTime = 0;
constexpr std::size_t kPort = 1;
constexpr std::size_t kIdBefore = 2;
constexpr std::size_t kIdWritten = 3;
constexpr std::size_t kOutcome = 4;
constexpr std::size_t kDifferences = 5;
constexpr std::size_t kSeconds = 6;

std::string Key(const std::string& time, const std::string& port, const std::string& id_before,
                const std::string& id_written) {
    return time + '\n' + port + '\n' + id_before + '\n' + id_written;
}

bool IsIdOrEmpty(const std::string& id) {
    return id.empty() || IdNumber(id).has_value();
}

}  // namespace

bool ReadLogForImport(std::string_view log, std::string_view claims, const std::string& log_name,
                      const std::string& claims_name, std::vector<ImportedRow>& rows,
                      std::string& error) {
    rows.clear();
    const auto where = [](const std::string& name, std::size_t line) {
        return name + ":" + std::to_string(line);
    };
    const std::vector<CsvRecord> records = ParseCsv(log);
    if (records.empty()) {
        error = log_name + ": no header";
        return false;
    }
    // The columns by the header's names, each once.
    std::array<std::size_t, kLogColumns.size()> at{};
    const auto& names = records[0].fields;
    for (std::size_t column = 0; column < kLogColumns.size(); ++column) {
        const auto found = std::find(names.begin(), names.end(), kLogColumns[column]);
        if (found == names.end() || std::count(names.begin(), names.end(), *found) != 1 ||
            names.size() != kLogColumns.size()) {
            error = where(log_name, records[0].line) +
                    ": not a log's header (time, port, id_before, id_written, outcome, "
                    "differences and seconds, each once)";
            return false;
        }
        at[column] = static_cast<std::size_t>(found - names.begin());
    }
    std::set<std::string> keys;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const CsvRecord& record = records[i];
        const auto field = [&](std::size_t column) {
            const std::size_t k = at[column];
            return k < record.fields.size() ? record.fields[k] : std::string();
        };
        ImportedRow row{where(log_name, record.line),
                        field(kTime),
                        field(kPort),
                        field(kIdBefore),
                        field(kIdWritten),
                        field(kOutcome),
                        field(kDifferences),
                        field(kSeconds)};
        // A crash tears the last line of a row: a record that holds a line
        // end is not what it left, and one whose quote is open is torn
        // inside that quote.
        const bool open_quote =
            !record.ended && !ParseCsv(std::string(log.substr(record.begin)) + "\n").back().ended;
        if (!record.ended && log.find_first_of("\r\n", record.begin) != std::string_view::npos) {
            error = row.where +
                    ": the log ends inside this record, which is not a row a crash "
                    "tore (a quote left open?)";
            return false;
        }
        if (!record.ended && (record.fields.size() < kLogColumns.size() || open_quote)) {
            // Torn by a crash: with its whole id_written it is the tracker's
            // interrupted row, as the line makes it; a shorter one is left to
            // its claim.
            // Its time, port and IDs are whole when the row went on past them.
            const std::size_t needed =
                std::max({at[kTime], at[kPort], at[kIdBefore], at[kIdWritten]});
            if (record.fields.size() > needed + 1 && IdNumber(row.id_written)) {
                row.outcome = "interrupted";
                row.differences.clear();
                row.seconds.clear();
                keys.insert(Key(row.time, row.port, row.id_before, row.id_written));
                rows.push_back(std::move(row));
            }
            break;
        }
        if (record.fields.size() != kLogColumns.size()) {
            error = row.where + ": not " + std::to_string(kLogColumns.size()) + " fields";
            return false;
        }
        if (!IsIdOrEmpty(row.id_written)) {
            error = row.where + ": the id_written \"" + row.id_written + "\" is not 1 to 14 digits";
            return false;
        }
        keys.insert(Key(row.time, row.port, row.id_before, row.id_written));
        rows.push_back(std::move(row));
    }

    // The claims: "claim,NAME,TIME,PORT,ID_BEFORE,ID_WRITTEN" and "done,NAME".
    struct Claim {
        ImportedRow row;
        bool done = false;
    };
    std::map<std::string, Claim> open;
    std::vector<std::string> order;
    for (const CsvRecord& record : ParseCsv(claims)) {
        if (!record.ended) {
            if (claims.find_first_of("\r\n", record.begin) != std::string_view::npos) {
                error = where(claims_name, record.line) + ": not a claim of this program";
                return false;
            }
            break;  // a claim whose write never ended: its tracker was never sent it
        }
        const std::vector<std::string>& f = record.fields;
        // Every claim this program writes has its time, and an ID or nothing.
        if (f.size() == 6 && f[0] == "claim" && !f[2].empty() && IsIdOrEmpty(f[5])) {
            Claim& claim = open[f[1]];
            if (claim.row.where.empty()) {
                order.push_back(f[1]);
            }
            claim.row = {
                where(claims_name, record.line), f[2], f[3], f[4], f[5], "interrupted", "", ""};
        } else if (f.size() == 2 && f[0] == "done") {
            open[f[1]].done = true;
        } else {
            error = where(claims_name, record.line) + ": not a claim of this program";
            return false;
        }
    }
    for (const std::string& name : order) {
        Claim& claim = open[name];
        const ImportedRow& row = claim.row;
        if (!claim.done &&
            keys.insert(Key(row.time, row.port, row.id_before, row.id_written)).second) {
            rows.push_back(row);
        }
    }
    return true;
}

}  // namespace qx17::ctl
