// `qx17ctl record serve` and `qx17ctl record summary`: the record's figures
// for the people around the line, served live over HTTP or printed once.
#include <iostream>

#include "ctl/commands/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/line/stop_request.h"
#include "ctl/output/progress.h"
#include "ctl/record/connection_string.h"
#include "ctl/record/odbc.h"
#include "ctl/serve/summary_server.h"

namespace qx17::ctl {

namespace {

// "HH:MM" as hours and minutes; false when it is not a time of day.
bool TimeOfDay(const std::string& text, int& hour, int& minute) {
    if (text.size() != 5 || text[2] != ':') {
        return false;
    }
    for (const std::size_t i : {0u, 1u, 3u, 4u}) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    hour = std::stoi(text.substr(0, 2));
    minute = std::stoi(text.substr(3, 2));
    return hour < 24 && minute < 60;
}

// "HOST:PORT", "[v6]:PORT" or ":PORT" (every address); port 0 takes any
// free port, which the server tells.
bool ListenAddress(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size() || colon + 6 < text.size()) {
        return false;
    }
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    port = std::stoi(text.substr(colon + 1));
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) {
        host = "0.0.0.0";
    }
    return port < 65536;
}

}  // namespace

int RecordServeCommand(const RecordServeOptions& given) {
    std::string error;
    if (!CanServe(error)) {
        std::cerr << "qx17ctl: " << error << ".\n";
        return kExitUsage;
    }
    const std::optional<std::string> odbc_string =
        OdbcConnectionString(given.connection, odbc::InstalledDrivers(), error);
    if (!odbc_string) {
        std::cerr << "qx17ctl: " << error << ".\n";
        return kExitUsage;
    }
    ServeOptions options;
    if (!ListenAddress(given.listen, options.host, options.port)) {
        std::cerr << "qx17ctl: --listen " << given.listen
                  << ": not HOST:PORT (127.0.0.1:8017, [::1]:8017, :8017 for every address).\n";
        return kExitUsage;
    }
    if (!TimeOfDay(given.day_start, options.feed.day_hour, options.feed.day_minute)) {
        std::cerr << "qx17ctl: --day-start " << given.day_start << ": not a time of day (06:00).\n";
        return kExitUsage;
    }
    options.feed.connection = *odbc_string;
    options.feed.interval = std::chrono::milliseconds(static_cast<long>(given.interval * 1000));
    options.feed.plan_per_hour = given.plan;
    options.feed.version = QX17_VERSION;
    options.feed.say = [](const std::string& text) { std::cerr << "qx17ctl: " << text << "\n"; };
    options.max_viewers = given.max_viewers;
    options.listening = given.listening;
    InstallStopHandlers();
    return ServeRecord(options);
}

int RecordSummaryCommand(const std::string& connection, const std::string& since, bool json,
                         std::ostream& out) {
    std::string error;
    const std::optional<std::string> odbc_string =
        OdbcConnectionString(connection, odbc::InstalledDrivers(), error);
    if (!odbc_string) {
        std::cerr << "qx17ctl: " << error << ".\n";
        return kExitUsage;
    }
    const auto now = std::chrono::system_clock::now();
    auto start = DayStart(now);
    int hour = 0;
    int minute = 0;
    RecordTimes times;
    times.statement_timeout = std::chrono::minutes(5);
    try {
        odbc::Connection db(WithTimes(*odbc_string, times));
        if (TimeOfDay(since, hour, minute)) {
            start = DayStart(now, hour, minute);
        } else if (!since.empty()) {
            try {
                const auto epoch = odbc::Query(db, "SELECT extract(epoch FROM ?::timestamptz)",
                                               {odbc::Value::Text(since)});
                start = std::chrono::system_clock::time_point(
                    std::chrono::seconds(std::stoll(epoch.at(0).value_or("0"))));
            } catch (const odbc::Error& e) {
                if (e.State().rfind("22", 0) != 0) {
                    throw;
                }
                std::cerr << "qx17ctl: --since " << since
                          << ": not a time (HH:MM today, or 2026-12-11T06:00:00Z).\n";
                return kExitUsage;
            }
            db.Rollback();
        }
        SummaryContext context;
        context.now = now;
        if (!RecordHasTables(db)) {
            std::cerr << "qx17ctl: the record has no tables yet: a station's first `qx17ctl "
                         "line` or `qx17ctl record CONNECTION` makes them.\n";
            return kExitRecord;
        }
        context.record = {true, false, "", ""};
        UseSnapshots(db);
        SummaryReader reader;
        const RecordSummary summary = reader.Read(db, start, now);
        const bool terminal = StdoutIsTerminal();
        out << (json ? SummaryJson(summary, context) + "\n"
                     : SummaryTable(summary, context, !terminal));
        return kExitDone;
    } catch (const std::exception& e) {
        std::cerr << "qx17ctl: the record cannot be read: " << e.what() << "\n";
        return kExitRecord;
    }
}

}  // namespace qx17::ctl
