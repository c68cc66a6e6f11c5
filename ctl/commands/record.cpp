// qx17ctl record CONNECTION [--id DIGITS] [--station NAME] [--outcome OUTCOME]
// [--since ISO-TIME] [--json | --csv] [--ids]: what the shared record holds;
// qx17ctl record import CONNECTION FILE.csv [--station NAME]: a station's
// CSV log into it.
#include <nlohmann/json.hpp>

#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/csv.h"
#include "ctl/exit_codes.h"
#include "ctl/progress.h"
#include "ctl/record/connection_string.h"
#include "ctl/record/odbc.h"
#include "ctl/record/shared_record.h"
#include "ctl/station.h"
#include "ctl/text_columns.h"

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

void PrintJson(const std::vector<RecordRow>& rows, std::ostream& out) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RecordRow& row : rows) {
        nlohmann::ordered_json object;
        const std::vector<std::string> fields = Fields(row);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            object[kColumns[i]] = fields[i];
        }
        list.push_back(object);
    }
    out << list.dump(2) << "\n";
}

// Aligned columns; the profile's hash cut to 12 digits.
void PrintTable(const std::vector<RecordRow>& rows, std::ostream& out) {
    std::vector<std::vector<std::string>> lines;
    lines.emplace_back(std::begin(kColumns), std::end(kColumns));
    lines.back().back() = "profile";
    for (const RecordRow& row : rows) {
        lines.push_back(Fields(row));
        lines.back().back() = row.profile_sha256.substr(0, 12);
    }
    PrintColumns(out, lines);
}

// The record, or the exit code when it cannot be reached.
std::unique_ptr<SharedRecord> OpenRecord(const std::string& connection, const std::string& station,
                                         Progress& progress, int& exit_code) {
    std::string error;
    const std::optional<std::string> odbc_string =
        OdbcConnectionString(connection, odbc::InstalledDrivers(), error);
    if (!odbc_string) {
        progress.Message(error + ".");
        exit_code = kExitUsage;
        return nullptr;
    }
    std::unique_ptr<SharedRecord> record = SharedRecord::Open(*odbc_string, station, "", error);
    if (!record) {
        progress.Message("the record cannot be reached: " + error + ".");
        exit_code = kExitRecord;
    }
    return record;
}

}  // namespace

int RecordCommand(const std::string& connection, const RecordFilter& filter, RecordFormat format,
                  Progress& progress, std::ostream& out) {
    int exit_code = kExitDone;
    std::unique_ptr<SharedRecord> record = OpenRecord(connection, "", progress, exit_code);
    if (!record) {
        return exit_code;
    }
    try {
        record->SettleDeadClaims();
        if (format == RecordFormat::kIds) {
            for (const std::string& id : record->VerifiedIds()) {
                out << id << "\n";
            }
            return kExitDone;
        }
        const std::vector<RecordRow> rows = record->Rows(filter);
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
    } catch (const std::exception& e) {
        progress.Message("the record cannot be read: " + std::string(e.what()) + ".");
        return kExitRecord;
    }
}

int RecordImportCommand(const std::string& connection, const std::filesystem::path& log,
                        const std::string& station, Progress& progress, std::ostream& out) {
    std::ifstream in(log, std::ios::binary);
    if (!in) {
        progress.Message(log.string() + ": cannot read the log.");
        return kExitUsage;
    }
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    int exit_code = kExitDone;
    std::unique_ptr<SharedRecord> record = OpenRecord(connection, station, progress, exit_code);
    if (!record) {
        return exit_code;
    }
    std::size_t added = 0;
    std::size_t rows = 0;
    std::string error;
    if (!record->Import(content, log.string(), added, rows, error)) {
        progress.Message(error + "; nothing was imported.");
        return error.rfind(log.string(), 0) == 0 ? kExitUsage : kExitRecord;
    }
    out << log.string() << ": " << rows << " rows, " << added << " added, " << rows - added
        << " already in the record\n";
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

    return {command, [options, command, import] {
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
