#include "ctl/record/record_summary.h"

#include <algorithm>
#include <ctime>
#include <string>

#include "ctl/line/line_log.h"
#include "ctl/record/odbc.h"

namespace qx17::ctl {

namespace {

using odbc::Value;
using Clock = std::chrono::system_clock;

// How often the counts since the record began are read whole again: rows
// that reach the record late with a lower row_id than one seen (a
// transaction that committed after a later one) are counted by then.
constexpr auto kRecountEvery = std::chrono::minutes(5);

constexpr const char* kUtcText = "to_char(%1 AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";

// `kUtcText` for the column `column`.
std::string Utc(const std::string& column) {
    std::string sql = kUtcText;
    sql.replace(sql.find("%1"), 2, column);
    return sql;
}

long Number(const std::optional<std::string>& text) {
    return text ? std::stol(*text) : 0;
}

std::size_t StationIndex(RecordSummary& summary, const std::string& name) {
    for (std::size_t i = 0; i < summary.stations.size(); ++i) {
        if (summary.stations[i].name == name) {
            return i;
        }
    }
    summary.stations.push_back({});
    summary.stations.back().name = name;
    return summary.stations.size() - 1;
}

}  // namespace

bool RecordHasTables(odbc::Connection& db) {
    const auto found = odbc::Query(db,
                                   "SELECT CASE WHEN to_regclass('qx17_schema') IS NULL OR "
                                   "to_regclass('trackers') IS NULL THEN 0 ELSE 1 END");
    db.Commit();
    return !found.empty() && found[0] == "1";
}

void UseSnapshots(odbc::Connection& db) {
    odbc::Statement(db,
                    "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE READ, "
                    "READ ONLY")
        .Execute();
    db.Commit();
}

Clock::time_point DayStart(Clock::time_point now, int hour, int minute) {
    const std::time_t seconds = Clock::to_time_t(now);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    const bool before = local.tm_hour < hour || (local.tm_hour == hour && local.tm_min < minute);
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = 0;
    local.tm_isdst = -1;  // whatever holds on that day
    if (before) {
        local.tm_mday -= 1;
    }
    return Clock::from_time_t(std::mktime(&local));
}

RecordSummary SummaryReader::Read(odbc::Connection& db, Clock::time_point day_start,
                                  Clock::time_point now) {
    RecordSummary summary;
    summary.day_start = day_start;
    const Value start = Value::Text(UtcTimestamp(day_start));
    const long long since_start =
        std::chrono::duration_cast<std::chrono::seconds>(now - day_start).count();
    summary.hours = static_cast<int>(std::max(0LL, since_start) / 3600 + 1);
    const int present = summary.hours - 1;

    // Every station, in the order it first came, with its last tracker and
    // the ID of its last tracker that ended ok (each found by the index on
    // the station and the start, however long the record is).
    odbc::Statement stations(
        db, "SELECT s.name, " + Utc("coalesce(l.finished, l.started)") +
                ", extract(epoch FROM coalesce(l.finished, l.started))::bigint, k.id_written "
                "FROM stations s "
                "LEFT JOIN LATERAL (SELECT started, finished FROM trackers t WHERE t.station_id "
                "= s.station_id ORDER BY started DESC, row_id DESC LIMIT 1) l ON true "
                "LEFT JOIN LATERAL (SELECT id_written FROM trackers t WHERE t.station_id = "
                "s.station_id AND t.outcome = 'ok' ORDER BY started DESC, row_id DESC LIMIT 1) k "
                "ON true ORDER BY s.first_seen, s.station_id");
    stations.Execute();
    while (stations.Fetch()) {
        StationFigures& station = summary.stations[StationIndex(summary, *stations.Column(1))];
        station.last_tracker = stations.Column(2).value_or("");
        if (const auto epoch = stations.Column(3)) {
            station.last_tracker_epoch = std::stoll(*epoch);
        }
        station.last_id_written = stations.Column(4).value_or("");
    }
    summary.by_hour.assign(static_cast<std::size_t>(summary.hours),
                           std::vector<long>(summary.stations.size(), 0));

    // Today's trackers by station, outcome and hour since the day's start.
    odbc::Statement today(
        db,
        "SELECT s.name, t.outcome, floor(extract(epoch FROM t.started - ?::timestamptz) / "
        "3600)::integer, count(*) FROM trackers t JOIN stations s USING (station_id) "
        "WHERE t.started >= ?::timestamptz AND t.started < ?::timestamptz + interval '1 day' "
        "GROUP BY 1, 2, 3");
    today.Execute({start, start, start});
    std::map<std::string, long> failures;
    while (today.Fetch()) {
        const std::size_t index = StationIndex(summary, *today.Column(1));
        StationFigures& station = summary.stations[index];
        const std::string outcome = today.Column(2).value_or("");
        const long hour = Number(today.Column(3));
        const long count = Number(today.Column(4));
        station.today += count;
        if (outcome == "ok") {
            station.ok_today += count;
        } else {
            station.failures_today[outcome] += count;
            failures[outcome] += count;
        }
        if (outcome == "interrupted") {
            station.interrupted_today += count;
        }
        station.this_hour += hour == present ? count : 0;
        station.last_hour += hour == present - 1 ? count : 0;
        if (hour >= 0 && hour < summary.hours) {
            auto& counts = summary.by_hour[static_cast<std::size_t>(hour)];
            counts.resize(summary.stations.size(), 0);
            counts[index] += count;
        }
    }
    for (auto& counts : summary.by_hour) {
        counts.resize(summary.stations.size(), 0);
    }
    summary.pareto.assign(failures.begin(), failures.end());
    std::stable_sort(summary.pareto.begin(), summary.pareto.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });

    odbc::Statement last(db, "SELECT " + Utc("t.started") +
                                 ", s.name, t.port, t.id_before, t.id_written, t.outcome "
                                 "FROM trackers t JOIN stations s USING (station_id) "
                                 "ORDER BY t.started DESC, t.row_id DESC LIMIT 20");
    last.Execute();
    while (last.Fetch()) {
        LastTracker row;
        std::string* fields[] = {&row.time,      &row.station,    &row.port,
                                 &row.id_before, &row.id_written, &row.outcome};
        for (int column = 1; column <= 6; ++column) {
            *fields[column - 1] = last.Column(column).value_or("");
        }
        summary.last.push_back(std::move(row));
    }

    // The counts since the record began: whole now and then, otherwise those
    // counted so far and the rows added since.
    const auto steady = std::chrono::steady_clock::now();
    if (counted_to_ < 0 || steady - counted_at_ >= kRecountEvery) {
        counted_.clear();
        const auto top = odbc::Query(db, "SELECT coalesce(max(row_id), 0) FROM trackers");
        counted_to_ = top.empty() || !top[0] ? 0 : std::stoll(*top[0]);
        odbc::Statement all(db,
                            "SELECT s.name, t.outcome, count(*) FROM trackers t JOIN stations s "
                            "USING (station_id) WHERE t.row_id <= ?::bigint GROUP BY 1, 2");
        all.Execute({Value::Integer(counted_to_)});
        while (all.Fetch()) {
            counted_[*all.Column(1)][all.Column(2).value_or("")] = Number(all.Column(3));
        }
        counted_at_ = steady;
    }
    odbc::Statement added(db,
                          "SELECT s.name, t.outcome, count(*) FROM trackers t JOIN stations s "
                          "USING (station_id) WHERE t.row_id > ?::bigint GROUP BY 1, 2");
    added.Execute({Value::Integer(counted_to_)});
    std::map<std::string, std::map<std::string, long>> all_time = counted_;
    while (added.Fetch()) {
        all_time[*added.Column(1)][added.Column(2).value_or("")] += Number(added.Column(3));
    }
    for (const auto& [name, outcomes] : all_time) {
        summary.stations[StationIndex(summary, name)].all_time = outcomes;
    }
    for (auto& counts : summary.by_hour) {
        counts.resize(summary.stations.size(), 0);
    }
    db.Commit();
    return summary;
}

}  // namespace qx17::ctl
