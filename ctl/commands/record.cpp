// qx17ctl record CONNECTION [--id DIGITS] [--station NAME] [--outcome OUTCOME]
// [--since ISO-TIME] [--json | --csv] [--ids]: what the shared record holds;
// qx17ctl record import CONNECTION FILE.csv [--station NAME]: a station's
// CSV log into it.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/exit_codes.h"
#include "ctl/files/csv.h"
#include "ctl/files/durable_file.h"
#include "ctl/line/line_log.h"
#include "ctl/line/station.h"
#include "ctl/output/progress.h"
#include "ctl/output/text_columns.h"
#include "ctl/record/connection_string.h"
#include "ctl/record/log_import.h"
#include "ctl/record/odbc.h"
#include "ctl/record/shared_record.h"

namespace qx17::ctl {

namespace {

constexpr const char* kColumns[] = {"station",   "port",          "started", "finished",
                                    "id_before", "id_written",    "outcome", "differences",
                                    "seconds",   "profile_sha256"};

std::vector<std::string> Fields(const RecordRow& row) {
    return {row.station,    row.port,    row.started,     row.finished, row.id_before,
            row.id_written, row.outcome, row.differences, row.seconds,  row.profile_sha256};
}

void PrintCsv(const std::vector<RecordRow>& rows, std::ostream& out) {
    for (std::size_t i = 0; i < std::size(kColumns); ++i) {
        out << (i == 0 ? "" : ",") << kColumns[i];
    }
    out << "\n";
    for (const RecordRow& row : rows) {
        const std::vector<std::string> fields = Fields(row);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            out << (i == 0 ? "" : ",") << CsvField(fields[i]);
        }
        out << "\n";
    }
}

// Seconds as a number (null when unknown); everything else as text, IDs
// too, whose leading zeros count.
void PrintJson(const std::vector<RecordRow>& rows, std::ostream& out) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RecordRow& row : rows) {
        nlohmann::ordered_json object;
        const std::vector<std::string> fields = Fields(row);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            object[kColumns[i]] = fields[i];
        }
        object["seconds"] = row.seconds.empty() ? nlohmann::ordered_json(nullptr)
                                                : nlohmann::ordered_json(std::stod(row.seconds));
        list.push_back(object);
    }
    out << list.dump(2) << "\n";
}

// A row in 100 columns: the time of day (a line with the date comes first,
// and again when it changes), seconds to a tenth, the profile by the first
// 7 digits of its hash, and the fields that differed after the outcome.
void PrintTable(const std::vector<RecordRow>& rows, std::ostream& out) {
    std::vector<std::vector<std::string>> lines;
    lines.push_back(
        {"station", "port", "UTC", "id_before", "id_written", "s", "profile", "outcome"});
    for (const RecordRow& row : rows) {
        char seconds[32] = "";
        if (!row.seconds.empty()) {
            std::snprintf(seconds, sizeof seconds, "%.1f", std::stod(row.seconds));
        }
        lines.push_back({row.station, row.port, row.started.substr(11, 8), row.id_before,
                         row.id_written, seconds, row.profile_sha256.substr(0, 7),
                         row.outcome + (row.differences.empty() ? "" : ": " + row.differences)});
    }
    std::ostringstream columns;
    PrintColumns(columns, lines);
    std::istringstream printed(columns.str());
    std::string line;
    std::getline(printed, line);
    out << line << "\n";
    std::string date;
    for (const RecordRow& row : rows) {
        if (row.started.substr(0, 10) != date) {
            date = row.started.substr(0, 10);
            out << date << "\n";
        }
        std::getline(printed, line);
        out << line << "\n";
    }
}

// The record, or the exit code when it cannot be had.
std::unique_ptr<SharedRecord> OpenRecord(const std::string& connection, const std::string& station,
                                         RecordUse use, Progress& progress, int& exit_code) {
    std::string error;
    const std::optional<std::string> odbc_string =
        OdbcConnectionString(connection, odbc::InstalledDrivers(), error);
    if (!odbc_string) {
        progress.Message(error + ".");
        exit_code = kExitUsage;
        return nullptr;
    }
    RecordOptions options;
    options.connection = *odbc_string;
    options.station = station;
    options.use = use;
    // Listing or importing a large record takes longer than a claim.
    options.times.statement_timeout = std::chrono::minutes(5);
    options.notice = [&progress](const std::string& text) { progress.Message(text + "."); };
    RecordFailure failure;
    std::unique_ptr<SharedRecord> record = SharedRecord::Open(options, error, failure);
    if (!record) {
        progress.Message(error + ".");
        exit_code = failure == RecordFailure::kUsage ? kExitUsage : kExitRecord;
    }
    return record;
}

// The filter's values that the record cannot match: a usage error.
std::string FilterProblem(const RecordFilter& filter, SharedRecord& record) {
    if (filter.outcome && std::find(std::begin(kOutcomes), std::end(kOutcomes), *filter.outcome) ==
                              std::end(kOutcomes)) {
        std::string known;
        for (const char* outcome : kOutcomes) {
            known += (known.empty() ? "" : ", ") + std::string(outcome);
        }
        return "--outcome " + *filter.outcome + " is no outcome: one of " + known;
    }
    if (filter.since && !record.IsTime(*filter.since)) {
        return "--since " + *filter.since +
               " cannot be read as a time: give it as 2026-12-09T06:00:00Z (UTC), or with its "
               "offset";
    }
    if (filter.station) {
        const std::vector<std::string> stations = record.Stations();
        if (std::find(stations.begin(), stations.end(), *filter.station) == stations.end()) {
            std::string known;
            for (const std::string& name : stations) {
                known += (known.empty() ? "" : ", ") + name;
            }
            return "--station " + *filter.station + ": no such station in the record" +
                   (known.empty() ? std::string(" (it has none yet)") : " (it has " + known + ")");
        }
    }
    return "";
}

}  // namespace

int RecordCommand(const std::string& connection, const RecordFilter& filter, RecordFormat format,
                  Progress& progress, std::ostream& out) {
    int exit_code = kExitDone;
    std::unique_ptr<SharedRecord> record =
        OpenRecord(connection, "", RecordUse::kList, progress, exit_code);
    if (!record) {
        return exit_code;
    }
    try {
        if (const std::string problem = FilterProblem(filter, *record); !problem.empty()) {
            progress.Message(problem + ".");
            return kExitUsage;
        }
        bool dead_claims = false;
        try {
            record->SettleDeadClaims();
        } catch (const odbc::Error& e) {
            if (e.State() != "42501") {
                throw;
            }
            // A role that may read the record but not write it (a report's):
            // the claims of stations that are gone are shown as the rows
            // they become, and stay open for a station's next start.
            dead_claims = true;
        }
        if (format == RecordFormat::kIds) {
            for (const std::string& id : record->VerifiedIds()) {
                out << id << "\n";
            }
            return kExitDone;
        }
        const std::vector<RecordRow> rows = record->Rows(filter, dead_claims);
        switch (format) {
            case RecordFormat::kJson:
                PrintJson(rows, out);
                break;
            case RecordFormat::kCsv:
                PrintCsv(rows, out);
                break;
            case RecordFormat::kTable:
                PrintTable(rows, out);
                break;
            case RecordFormat::kIds:
                break;
        }
        return kExitDone;
    } catch (const odbc::Error& e) {
        RecordFailure failure;
        progress.Message(DescribeRecordError(e, RecordUse::kList, record->Role(), failure) + ".");
        return kExitRecord;
    } catch (const std::exception& e) {
        progress.Message("the record cannot be read: " + std::string(e.what()) + ".");
        return kExitRecord;
    }
}

namespace {

bool ReadWhole(const std::filesystem::path& file, std::string& content) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int RecordImportCommand(const std::string& connection, const std::filesystem::path& log,
                        const std::string& station, Progress& progress, std::ostream& out) {
    std::string content;
    if (!ReadWhole(log, content)) {
        progress.Message(log.string() + ": cannot read the log.");
        return kExitUsage;
    }
    // A line still at work would add rows and claims behind the import.
    std::string error;
    if (HeldByAnother(log, FileLock::kUsers, error)) {
        progress.Message(log.string() +
                         ": a qx17ctl line is using this log now: import it once that line has "
                         "ended.");
        return kExitUsage;
    }
    const std::filesystem::path claims_file = ClaimsPathOf(log);
    std::string claims;
    std::error_code missing;
    if (std::filesystem::exists(claims_file, missing) && !ReadWhole(claims_file, claims)) {
        progress.Message(claims_file.string() + ": cannot read the log's claims.");
        return kExitUsage;
    }
    std::vector<ImportedRow> rows;
    if (!ReadLogForImport(content, claims, log.string(), claims_file.string(), rows, error)) {
        progress.Message(error + "; nothing was imported.");
        return kExitUsage;
    }
    int exit_code = kExitDone;
    std::unique_ptr<SharedRecord> record =
        OpenRecord(connection, station, RecordUse::kImport, progress, exit_code);
    if (!record) {
        return exit_code;
    }
    std::size_t added = 0;
    std::vector<std::string> conflicts;
    if (!record->Import(rows, added, conflicts, error)) {
        progress.Message(error + "; nothing was imported.");
        return error.rfind(log.string(), 0) == 0 ? kExitUsage : kExitRecord;
    }
    const std::size_t from_claims = static_cast<std::size_t>(std::count_if(
        rows.begin(), rows.end(),
        [&](const ImportedRow& row) { return row.where.rfind(log.string() + ":", 0); }));
    out << log.string() << ": " << rows.size() << " rows";
    if (from_claims > 0) {
        out << " (" << from_claims << " of them open claims, as interrupted)";
    }
    out << ", " << added << " added, " << rows.size() - added << " already in the record\n";
    for (const std::string& conflict : conflicts) {
        progress.Message(conflict + ".");
    }
    if (!conflicts.empty()) {
        progress.Message(std::to_string(conflicts.size()) +
                         " ID(s) of this log are given to other trackers in the record: read "
                         "those trackers (`qx17ctl read`) and give one of each pair a new ID.");
        return kExitVerifyFailed;
    }
    return kExitDone;
}

Command AddRecordCommand(CLI::App& program) {
    struct Options {
        std::string connection;
        RecordFilter filter;
        std::string id;
        std::string station;
        std::string outcome;
        std::string since;
        bool json = false;
        bool csv = false;
        bool ids = false;
        std::string import_connection;
        std::string import_log;
        std::string import_station;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = program.add_subcommand(
        "record", "what the record shared by the stations holds, oldest first");
    command->add_option("CONNECTION", options->connection,
                        "an ODBC connection string, or a postgresql:// URI");
    command->add_option("--id", options->id, "the rows of this ID written")
        ->check([](const std::string& text) { return CheckIdDigits(text); });
    command->add_option("--station", options->station, "the rows of this station");
    command->add_option("--outcome", options->outcome, "the rows with this outcome (ok ...)");
    command->add_option("--since", options->since, "the rows started at or after this UTC time")
        ->type_name("ISO-TIME");
    auto* json = command->add_flag("--json", options->json, "the rows as JSON");
    auto* csv = command->add_flag("--csv", options->csv, "the rows as CSV");
    auto* ids =
        command->add_flag("--ids", options->ids, "only the IDs written and verified, one a line");
    json->excludes(csv)->excludes(ids);
    csv->excludes(ids);

    CLI::App* import = command->add_subcommand(
        "import", "bring a station's CSV log into the record: the IDs it used count as used");
    import->add_option("CONNECTION", options->import_connection, "the record")->required();
    import->add_option("FILE.csv", options->import_log, "the station's log")->required();
    import->add_option("--station", options->import_station,
                       "the station whose log it is (default: the host name)");

    auto serve = std::make_shared<RecordServeOptions>();
    CLI::App* serving = command->add_subcommand(
        "serve", "serve a live page, metrics and a JSON summary of the record over HTTP");
    serving->add_option("CONNECTION", serve->connection, "the record (read only)")->required();
    serving
        ->add_option("--listen", serve->listen,
                     "the address to listen on; :PORT for every address of this computer")
        ->capture_default_str()
        ->type_name("HOST:PORT");
    serving->add_option("--interval", serve->interval, "seconds between the record's queries")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 3600.0));
    serving->add_option("--plan", serve->plan, "the trackers planned per station and hour")
        ->check(CLI::PositiveNumber);
    serving->add_option("--day-start", serve->day_start, "where a day (a shift) begins, local time")
        ->capture_default_str()
        ->type_name("HH:MM");
    serving->add_option("--max-viewers", serve->max_viewers, "live pages open at once, at most")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));

    auto summary = std::make_shared<std::pair<std::string, std::string>>();
    auto summary_json = std::make_shared<bool>(false);
    CLI::App* summing = command->add_subcommand(
        "summary", "each station's trackers today: counts, yield, failures, its last tracker");
    summing->add_option("CONNECTION", summary->first, "the record")->required();
    summing->add_option("--since", summary->second, "from this time on instead of midnight")
        ->type_name("HH:MM|ISO-TIME");
    summing->add_flag("--json", *summary_json, "as JSON");

    return {command, [options, command, import, serve, serving, summary, summary_json, summing] {
                if (serving->parsed()) {
                    return RecordServeCommand(*serve);
                }
                if (summing->parsed()) {
                    return RecordSummaryCommand(summary->first, summary->second, *summary_json,
                                                std::cout);
                }
                Progress progress(false);
                if (import->parsed()) {
                    return RecordImportCommand(
                        options->import_connection, options->import_log,
                        options->import_station.empty() ? HostName() : options->import_station,
                        progress, std::cout);
                }
                if (options->connection.empty()) {
                    std::cerr << command->help();
                    return kExitUsage;
                }
                RecordFilter filter;
                const auto set = [](const std::string& text) {
                    return text.empty() ? std::nullopt : std::optional<std::string>(text);
                };
                filter.id = set(options->id);
                filter.station = set(options->station);
                filter.outcome = set(options->outcome);
                filter.since = set(options->since);
                const RecordFormat format = options->ids         ? RecordFormat::kIds
                                            : options->json      ? RecordFormat::kJson
                                            : options->csv       ? RecordFormat::kCsv
                                            : StdoutIsTerminal() ? RecordFormat::kTable
                                                                 : RecordFormat::kCsv;
                return RecordCommand(options->connection, filter, format, progress, std::cout);
            }};
}

}  // namespace qx17::ctl
