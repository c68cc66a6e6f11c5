#include "ctl/serve/summary_text.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iterator>
#include <sstream>

#include "ctl/files/csv.h"
#include "ctl/line/line_log.h"
#include "ctl/line/line_record.h"
#include "ctl/output/text_columns.h"

namespace qx17::ctl {

namespace {

using Object = nlohmann::ordered_json;

std::optional<long long> SecondsSince(const StationFigures& station,
                                      std::chrono::system_clock::time_point now) {
    if (!station.last_tracker_epoch) {
        return std::nullopt;
    }
    const long long now_epoch =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return std::max(0LL, now_epoch - *station.last_tracker_epoch);
}

bool Stopped(const StationFigures& station, const SummaryContext& context) {
    const auto since = SecondsSince(station, context.now);
    return !since || *since >= context.stopped_after.count();
}

std::optional<double> Yield(const StationFigures& station) {
    // Trackers ended: all of today's rows but the interrupted, which never ended.
    const long ended = station.today - station.interrupted_today;
    if (ended <= 0) {
        return std::nullopt;
    }
    return static_cast<double>(station.ok_today) / static_cast<double>(ended);
}

std::string Failures(const StationFigures& station) {
    std::string text;
    for (const auto& [outcome, count] : station.failures_today) {
        text += (text.empty() ? "" : ", ") + outcome + " " + std::to_string(count);
    }
    return text;
}

// A label's value in the text format: backslash, double quote and line
// feed escaped.
std::string Label(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string SummaryJson(const RecordSummary& summary, const SummaryContext& context) {
    Object json;
    json["format"] = 1;
    json["generated"] = UtcTimestamp(context.now);
    json["record"] = {{"up", context.record.up},
                      {"since", context.record.since},
                      {"why", context.record.why},
                      {"no_tables", context.record.no_tables}};
    json["day_start"] = UtcTimestamp(summary.day_start);
    json["plan_per_hour"] = context.plan_per_hour ? Object(*context.plan_per_hour) : Object();
    json["stopped_after_seconds"] = context.stopped_after.count();
    Object stations = Object::array();
    for (const StationFigures& station : summary.stations) {
        Object failures = Object::object();
        for (const auto& [outcome, count] : station.failures_today) {
            failures[outcome] = count;
        }
        const auto yield = Yield(station);
        const auto since = SecondsSince(station, context.now);
        stations.push_back({
            {"name", station.name},
            {"this_hour", station.this_hour},
            {"last_hour", station.last_hour},
            {"today", station.today},
            {"ok_today", station.ok_today},
            {"failed_today", station.today - station.ok_today},
            {"yield_today", yield ? Object(*yield) : Object()},
            {"failures_today", failures},
            {"last_tracker",
             station.last_tracker.empty() ? Object() : Object(station.last_tracker)},
            {"seconds_since_last", since ? Object(*since) : Object()},
            {"stopped", Stopped(station, context)},
            {"claims_interrupted_today", station.interrupted_today},
            {"last_id_written", station.last_id_written},
        });
    }
    json["stations"] = stations;
    Object hours = Object::array();
    for (std::size_t hour = 0; hour < summary.by_hour.size(); ++hour) {
        Object by_station = Object::object();
        for (std::size_t i = 0; i < summary.stations.size(); ++i) {
            by_station[summary.stations[i].name] =
                i < summary.by_hour[hour].size() ? summary.by_hour[hour][i] : 0;
        }
        hours.push_back({{"hour", UtcTimestamp(summary.day_start + std::chrono::hours(hour))},
                         {"by_station", by_station}});
    }
    json["hours"] = hours;
    Object pareto = Object::array();
    for (const auto& [outcome, count] : summary.pareto) {
        pareto.push_back({{"outcome", outcome}, {"count", count}});
    }
    json["pareto"] = pareto;
    Object last = Object::array();
    for (const LastTracker& row : summary.last) {
        last.push_back({{"time", row.time},
                        {"station", row.station},
                        {"port", row.port},
                        {"id_before", row.id_before},
                        {"id_written", row.id_written},
                        {"outcome", row.outcome}});
    }
    json["last_trackers"] = last;
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string MetricsText(const RecordSummary& summary, const RecordState& record,
                        const std::string& version) {
    std::ostringstream out;
    out << "# HELP qx17_trackers_total Trackers with a row in the record, by station and "
           "outcome.\n# TYPE qx17_trackers_total counter\n";
    for (const StationFigures& station : summary.stations) {
        if (station.all_time.empty()) {
            continue;  // no row yet
        }
        // Every outcome from the station's first row on, so that a rate of
        // failures exists before the first failure.
        for (const char* outcome : kOutcomes) {
            const auto found = station.all_time.find(outcome);
            out << "qx17_trackers_total{station=\"" << Label(station.name) << "\",outcome=\""
                << outcome << "\"} " << (found == station.all_time.end() ? 0 : found->second)
                << "\n";
        }
    }
    out << "# HELP qx17_claims_interrupted_total Claims whose tracker was never ended (the "
           "station stopped while writing it), by station.\n"
           "# TYPE qx17_claims_interrupted_total counter\n";
    for (const StationFigures& station : summary.stations) {
        if (!station.all_time.empty()) {
            const auto found = station.all_time.find("interrupted");
            out << "qx17_claims_interrupted_total{station=\"" << Label(station.name) << "\"} "
                << (found == station.all_time.end() ? 0 : found->second) << "\n";
        }
    }
    out << "# HELP qx17_station_last_tracker_timestamp_seconds When the station's last tracker "
           "ended, in seconds since the epoch.\n"
           "# TYPE qx17_station_last_tracker_timestamp_seconds gauge\n";
    for (const StationFigures& station : summary.stations) {
        if (station.last_tracker_epoch) {
            out << "qx17_station_last_tracker_timestamp_seconds{station=\"" << Label(station.name)
                << "\"} " << *station.last_tracker_epoch << "\n";
        }
    }
    out << "# HELP qx17_record_up Whether the record answered the last query round (1) or "
           "not (0).\n# TYPE qx17_record_up gauge\nqx17_record_up "
        << (record.up ? 1 : 0) << "\n";
    out << "# HELP qx17_build_info The qx17ctl that serves these metrics.\n"
           "# TYPE qx17_build_info gauge\nqx17_build_info{version=\""
        << Label(version) << "\"} 1\n";
    return out.str();
}

std::string SummaryTable(const RecordSummary& summary, const SummaryContext& context, bool csv) {
    std::vector<std::vector<std::string>> rows = {{"STATION", "THIS HOUR", "LAST HOUR", "TODAY",
                                                   "OK", "FAILED", "YIELD", "INTERRUPTED",
                                                   "LAST TRACKER", "STATE", "LAST ID", "FAILURES"}};
    if (csv) {
        rows[0] = {"station", "this_hour",   "last_hour",    "today",   "ok",      "failed",
                   "yield",   "interrupted", "last_tracker", "stopped", "last_id", "failures"};
    }
    for (const StationFigures& station : summary.stations) {
        const auto yield = Yield(station);
        char percent[32] = "";
        if (yield) {
            std::snprintf(percent, sizeof percent, csv ? "%.4f" : "%.1f %%",
                          csv ? *yield : 100 * *yield);
        }
        const bool stopped = Stopped(station, context);
        rows.push_back({station.name, std::to_string(station.this_hour),
                        std::to_string(station.last_hour), std::to_string(station.today),
                        std::to_string(station.ok_today),
                        std::to_string(station.today - station.ok_today), percent,
                        std::to_string(station.interrupted_today), station.last_tracker,
                        csv ? (stopped ? "true" : "false") : (stopped ? "stopped" : "running"),
                        station.last_id_written, Failures(station)});
    }
    std::ostringstream out;
    if (csv) {
        for (const auto& row : rows) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                out << (i == 0 ? "" : ",") << CsvField(row[i]);
            }
            out << "\n";
        }
    } else {
        PrintColumns(out, rows);
    }
    return out.str();
}

}  // namespace qx17::ctl
