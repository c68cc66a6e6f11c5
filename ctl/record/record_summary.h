// The record in figures, for the people around the line: each station's
// trackers today and this hour, its yield and failures, the time of its last
// tracker; the factory's trackers hour by hour, the failures by outcome, the
// last trackers; and every station's trackers by outcome since the record
// began (for metrics). Read with SELECT alone, never a profile's content.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qx17::ctl {

namespace odbc {
class Connection;
}

struct StationFigures {
    std::string name;
    long this_hour = 0;
    long last_hour = 0;
    long today = 0;
    long ok_today = 0;
    std::map<std::string, long> failures_today;  // by outcome, ok left out
    long interrupted_today = 0;
    // Its last tracker (its end, or its start when it has none): UTC text
    // and seconds since the epoch; empty for a station without trackers.
    std::string last_tracker;
    std::optional<std::int64_t> last_tracker_epoch;
    std::string last_id_written;  // the ID of its last tracker ended ok
    // Since the record began, by outcome.
    std::map<std::string, long> all_time;
};

struct LastTracker {
    std::string time;  // its start, UTC
    std::string station;
    std::string port;
    std::string id_before;
    std::string id_written;
    std::string outcome;
};

struct RecordSummary {
    std::chrono::system_clock::time_point day_start;
    int hours = 0;                         // the day's hours so far, the present one included
    std::vector<StationFigures> stations;  // in the order they first came
    // [hour from the day's start][station's index]
    std::vector<std::vector<long>> by_hour;
    std::vector<std::pair<std::string, long>> pareto;  // today's failures, most first
    std::vector<LastTracker> last;                     // newest first
};

// What is read of the record, round after round: the counts since the record
// began are read whole now and then, and in between only from the rows
// added since, so that a round stays quick on a record of millions.
class SummaryReader {
  public:
    // `day_start`: where today began; `now`: the present.
    RecordSummary Read(odbc::Connection& db, std::chrono::system_clock::time_point day_start,
                       std::chrono::system_clock::time_point now);

  private:
    // name -> outcome -> count, for the rows up to row_id `counted_to_`.
    std::map<std::string, std::map<std::string, long>> counted_;
    std::int64_t counted_to_ = -1;
    std::chrono::steady_clock::time_point counted_at_;
};

// Makes each transaction of `db` from now on read one snapshot of the record
// (REPEATABLE READ), and only read: a round's figures agree with each other.
void UseSnapshots(odbc::Connection& db);

// Whether the record has its tables: false for a database that no station
// or `qx17ctl record` has used yet.
bool RecordHasTables(odbc::Connection& db);

// The start of the day that holds `now`, in this computer's time zone: the
// last `hour`:`minute` at or before it (a shift's day may begin at 06:00).
std::chrono::system_clock::time_point DayStart(std::chrono::system_clock::time_point now,
                                               int hour = 0, int minute = 0);

}  // namespace qx17::ctl
