#include "ctl/record/shared_record.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "ctl/line/id_sequence.h"
#include "ctl/line/line_log.h"
#include "ctl/line/station.h"
#include "ctl/line/stop_request.h"
#include "ctl/record/odbc.h"
#include "ctl/record/outbox.h"
#include "ctl/record/record_sql.h"
#include "ctl/record/schema.h"

namespace qx17::ctl {

namespace {

using odbc::Value;
using namespace std::chrono_literals;

constexpr std::uint64_t kIdLimit = 99999999999999ULL;  // 14 digits
// Tries at an ID before a claim gives up: each lost try is another writer
// (an import) taking that ID at the same moment.
constexpr int kClaimTries = 50;
constexpr const char* kClaimLock = "SELECT pg_advisory_xact_lock(7190517002)";
// How many used IDs one look past the frontier reads.
constexpr std::uint64_t kFrontierStep = 64;
// A series' frontier moves only forward: every ID below it is used for good.
constexpr const char* kMoveFrontier =
    "INSERT INTO id_frontier (start_number, free_from) VALUES (?::bigint, ?::bigint) "
    "ON CONFLICT (start_number) DO UPDATE SET free_from = "
    "greatest(id_frontier.free_from, excluded.free_from)";

std::string Joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += (out.empty() ? "" : ";") + name;
    }
    return out;
}

std::int64_t NewOwnerKey() {
    std::random_device random;
    const std::uint64_t key = (std::uint64_t{random()} << 32 | random()) & 0x3FFFFFFFFFFFFFFFULL;
    return static_cast<std::int64_t>(key | 1);
}

Value TextOrNull(const std::string& text) {
    return text.empty() ? Value::Null() : Value::Text(text);
}

Value Number(std::uint64_t n) {
    return Value::Integer(static_cast<std::int64_t>(n));
}

// When the tracker's exchange ended: its start and its seconds. A row sent
// from the outbox after the record was away keeps that time, not the time it
// reached the record; without its seconds the row takes the time it is
// written.
Value Finished(const LogRow& row) {
    if (!row.seconds) {
        return Value::Null();
    }
    const auto took = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(*row.seconds));
    return Value::Text(UtcTimestamp(row.time + took));
}

long long Millis(std::chrono::milliseconds time) {
    return static_cast<long long>(time.count());
}

// A connection that reads and shows times in UTC, whatever the server's
// own zone: a --since given without a zone is a UTC time.
std::unique_ptr<odbc::Connection> Connect(const RecordOptions& options) {
    auto db = std::make_unique<odbc::Connection>(WithTimes(options.connection, options.times));
    odbc::Statement(*db, "SET TIME ZONE 'UTC'").Execute();
    db->Commit();
    return db;
}

// A statement that the server ended for taking too long (a lock that a
// station cut off still held, a server under load): the record is busy,
// which a later try may get past.
bool Busy(const odbc::Error& e) {
    return e.Retryable() || e.State() == "57014" || e.State() == "55P03";
}

}  // namespace

// `connection` with what ends a call on a dead network within seconds: on
// this end, TCP keepalives and a TCP user time-out; on the server's end,
// the same for this session, so that it lets go of a dead station's locks as
// soon, and a statement time-out. The driver's logs stay off. Attributes of
// the connection string come before those of a data source.
std::string WithTimes(std::string connection, const RecordTimes& times) {
    while (!connection.empty() && (connection.back() == ';' || connection.back() == ' ')) {
        connection.pop_back();
    }
    const long long idle = times.keepalive_idle.count();
    const long long interval = times.keepalive_interval.count();
    char text[640];
    std::snprintf(text, sizeof text,
                  ";KeepaliveTime=%lld;KeepaliveInterval=%lld;pqopt={keepalives=1 "
                  "keepalives_idle=%lld keepalives_interval=%lld keepalives_count=%d "
                  "tcp_user_timeout=%lld options='-c statement_timeout=%lld "
                  "-c tcp_keepalives_idle=%lld -c tcp_keepalives_interval=%lld "
                  "-c tcp_keepalives_count=%d -c tcp_user_timeout=%lld'}",
                  idle, interval, idle, interval, times.keepalive_count, Millis(times.user_timeout),
                  Millis(times.statement_timeout), idle, interval, times.keepalive_count,
                  Millis(times.user_timeout));
    return connection + text;
}

// The record is away, or too busy to answer now: why, as far as it is known.
class Away : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

SharedRecord::SharedRecord(RecordOptions options) : options_(std::move(options)) {}

SharedRecord::~SharedRecord() = default;

void SharedRecord::Notice(const std::string& text) {
    if (options_.notice) {
        options_.notice(text);
    }
}

std::unique_ptr<SharedRecord> SharedRecord::Open(const std::string& connection,
                                                 const std::string& station,
                                                 const std::string& profile, std::string& error,
                                                 const std::filesystem::path& outbox) {
    RecordOptions options;
    options.connection = connection;
    options.station = station;
    options.use = station.empty() ? RecordUse::kList : RecordUse::kLine;
    options.profile = profile;
    options.outbox = outbox;
    RecordFailure failure;
    return Open(options, error, failure);
}

std::unique_ptr<SharedRecord> SharedRecord::Open(const RecordOptions& options, std::string& error,
                                                 RecordFailure& failure) {
    std::unique_ptr<SharedRecord> record(new SharedRecord(options));
    try {
        record->db_ = Connect(options);
        record->OpenOn(*record->db_);
        return record;
    } catch (const RecordUnavailable& e) {
        error = e.what();
        failure = e.Failure();
    } catch (const odbc::Error& e) {
        error = DescribeRecordError(e, options.use, record->role_, failure);
    } catch (const std::exception& e) {
        error = e.what();
        failure = RecordFailure::kRefused;
    }
    return nullptr;
}

void SharedRecord::OpenOn(odbc::Connection& db) {
    role_ = FirstValue(db, "SELECT current_user", {});
    MigrateRecord(db);
    owner_key_ = NewOwnerKey();
    odbc::Query(db, "SELECT pg_advisory_lock(?::bigint)", {Value::Integer(owner_key_)});
    const std::string& station = options_.station;
    if (!station.empty()) {
        db.Prepared("INSERT INTO stations (name) VALUES (?) ON CONFLICT DO NOTHING")
            .Execute({Value::Text(station)});
        station_id_ = FirstValue(db, "SELECT station_id FROM stations WHERE name = ?",
                                 {Value::Text(station)});
    }
    if (!station.empty() && !options_.profile.empty()) {
        db.Prepared(
              "INSERT INTO profiles (sha256, content) VALUES "
              "(encode(sha256(?), 'hex'), ?) ON CONFLICT DO NOTHING")
            .Execute({Value::Bytes(options_.profile), Value::Bytes(options_.profile)});
        profile_sha256_ =
            FirstValue(db, "SELECT encode(sha256(?), 'hex')", {Value::Bytes(options_.profile)});
    }
    db.Commit();
    if (options_.use == RecordUse::kLine && !station.empty()) {
        CheckNoOtherLine(db);
        db.Prepared(
              "INSERT INTO sessions (owner_key, station_id, host, pid, boot) VALUES "
              "(?::bigint, ?::integer, ?, ?::bigint, ?)")
            .Execute({Value::Integer(owner_key_), Value::Text(station_id_), Value::Text(HostName()),
                      Value::Integer(ProcessId()), Value::Text(BootId())});
        db.Commit();
    }
    if (!options_.outbox.empty()) {
        std::string error;
        outbox_ = Outbox::Open(options_.outbox, error);
        if (!outbox_) {
            throw RecordUnavailable(error, RecordFailure::kUsage);
        }
    }
    if (!station.empty()) {
        {
            std::lock_guard lock(mutex_);
            SendWaiting(db);
        }
        SettleDeadClaims(station_id_);
    }
}

// The other line processes of this station that hold their session lock:
// one on another host, or a live one here, means this station runs already;
// one here whose process is gone (the computer was cut off from the server,
// then switched off or the process killed) is a stale session that the
// server has not noticed yet: it is ended, and its claims settled.
void SharedRecord::CheckNoOtherLine(odbc::Connection& db) {
    odbc::Statement others(
        db,
        "SELECT s.owner_key, s.host, s.pid, s.boot, to_char(s.started, 'YYYY-MM-DD HH24:MI:SS'), "
        "(SELECT l.pid FROM pg_locks l WHERE l.locktype = 'advisory' AND l.granted AND "
        "l.objsubid = 1 AND (l.classid::bigint << 32 | l.objid::bigint) = s.owner_key LIMIT 1) "
        "FROM sessions s WHERE s.station_id = ?::integer AND NOT s.ended AND s.owner_key <> "
        "?::bigint ORDER BY s.started");
    others.Execute({Value::Text(station_id_), Value::Integer(owner_key_)});
    struct Other {
        std::string owner, host, pid, boot, started, backend;
    };
    std::vector<Other> found;
    while (others.Fetch()) {
        found.push_back({others.Column(1).value_or(""), others.Column(2).value_or(""),
                         others.Column(3).value_or(""), others.Column(4).value_or(""),
                         others.Column(5).value_or(""), others.Column(6).value_or("")});
    }
    db.Commit();
    const std::string& station = options_.station;
    for (const Other& other : found) {
        const bool here = other.host == HostName();
        const long pid = std::atol(other.pid.c_str());
        if (!other.backend.empty()) {
            if (!here) {
                throw RecordUnavailable(
                    "station " + station + " runs on host " + other.host + " (since " +
                        other.started +
                        " UTC): stop it there, or name this one with another --station (a host "
                        "cut off from the server is let go by it within a minute)",
                    RecordFailure::kUsage);
            }
            if (pid == ProcessId() && SameBoot(other.boot, BootId())) {
                continue;  // another record of this very process
            }
            if (SameBoot(other.boot, BootId()) && ProcessAlive(pid)) {
                throw RecordUnavailable(
                    "station " + station + " already runs here (qx17ctl, pid " + other.pid + ")",
                    RecordFailure::kUsage);
            }
            // Ours, and stale: the server still keeps the session of a
            // process that is gone.
            FirstValue(db, "SELECT pg_terminate_backend(?::integer)", {Value::Text(other.backend)});
            db.Commit();
        }
        db.Prepared("UPDATE sessions SET ended = true WHERE owner_key = ?::bigint")
            .Execute({Value::Text(other.owner)});
        db.Commit();
    }
}

void SharedRecord::TakeOwnerLock(odbc::Connection& db) {
    const Value key = Value::Integer(owner_key_);
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (FirstValue(db, "SELECT pg_try_advisory_lock(?::bigint)", {key}) == "1") {
            db.Commit();
            return;
        }
        // The session this process had before the network was lost still
        // holds it on the server: never wait on it, end it.
        for (const auto& pid :
             odbc::Query(db,
                         "SELECT pid FROM pg_locks WHERE locktype = 'advisory' AND granted AND "
                         "objsubid = 1 AND (classid::bigint << 32 | objid::bigint) = ?::bigint "
                         "AND pid <> pg_backend_pid()",
                         {key})) {
            odbc::Query(db, "SELECT pg_terminate_backend(?::integer)", {Value::Text(*pid)});
        }
        db.Commit();
        std::this_thread::sleep_for(100ms);
    }
    // It could not be ended (another role's session?): a key of its own from
    // now on. The claims of the old key are settled as interrupted by the
    // next to look, and a row of this process still replaces such a row.
    owner_key_ = NewOwnerKey();
    odbc::Query(db, "SELECT pg_advisory_lock(?::bigint)", {Value::Integer(owner_key_)});
    if (!station_id_.empty() && options_.use == RecordUse::kLine) {
        db.Prepared(
              "INSERT INTO sessions (owner_key, station_id, host, pid, boot) VALUES "
              "(?::bigint, ?::integer, ?, ?::bigint, ?)")
            .Execute({Value::Integer(owner_key_), Value::Text(station_id_), Value::Text(HostName()),
                      Value::Integer(ProcessId()), Value::Text(BootId())});
    }
    db.Commit();
}

odbc::Connection& SharedRecord::Db() {
    if (db_) {
        return *db_;
    }
    if (Clock::now() < next_try_) {
        throw Away(away_);
    }
    std::unique_ptr<odbc::Connection> db;
    try {
        db = Connect(options_);
        TakeOwnerLock(*db);
        SettleInDoubt(*db);
        SendWaiting(*db);
        db_ = std::move(db);
        backoff_ = 500ms;
        away_.clear();
        return *db_;
    } catch (const odbc::Error& e) {
        if (db && !e.ConnectionLost() && !db->Dead() && !Busy(e)) {
            throw;  // the record is there and refuses a statement: not away
        }
        away_ = OneLine(e.what());
        next_try_ = Clock::now() + backoff_;
        backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(10000));
        throw Away(away_);
    }
}

template <typename Work>
auto SharedRecord::Guarded(Work&& work) {
    odbc::Connection& db = Db();
    try {
        return work(db);
    } catch (const odbc::Error& e) {
        db.Rollback();
        if (Busy(e) && !db.Dead()) {
            throw Away("the record did not answer in time (" + OneLine(e.what()) + ")");
        }
        if (!e.ConnectionLost() && !db.Dead()) {
            throw;
        }
        db_.reset();
        away_ = OneLine(e.what());
        next_try_ = Clock::now() + backoff_;
        throw Away(away_);
    }
}

// Claims whose commit went unanswered: the tracker was not written with
// their ID (the line took another claim for it, and its row says so), so
// each one that was made after all is closed without a row of its own; its
// ID stays used.
void SharedRecord::SettleInDoubt(odbc::Connection& db) {
    for (const std::string& claim : in_doubt_) {
        db.Prepared("UPDATE claims SET settled = true WHERE claim_id = ?::bigint")
            .Execute({Value::Text(claim)});
    }
    db.Commit();
    in_doubt_.clear();
}

void SharedRecord::SendWaiting(odbc::Connection& db) {
    if (!outbox_) {
        return;
    }
    std::uint64_t size = 0;
    const OutboxContent waiting = outbox_->Waiting(size);
    bool keep = false;
    if (!waiting.unreadable.empty()) {
        std::string lines;
        for (std::size_t line : waiting.unreadable) {
            lines += (lines.empty() ? "" : ", ") + std::to_string(line);
        }
        std::string error = "the file cannot be read";
        keep = waiting.unreadable_text.size() != waiting.unreadable.size() ||
               !outbox_->SetAside(waiting.unreadable_text, error);
        Notice(outbox_->Path().string() + ": line(s) " + lines + " cannot be read: " +
               (keep ? "they stay there (" + error + ")"
                     : "moved to " + outbox_->SetAsidePath().string() +
                           ", where they count as waiting until you have looked at them and "
                           "removed that file"));
    }
    for (const WaitingRow& row : waiting.rows) {
        try {
            AppendOn(db, row);
        } catch (const odbc::Error& e) {
            db.Rollback();
            if (e.ConnectionLost() || db.Dead() || Busy(e)) {
                throw;
            }
            if (e.State() != "23503" || row.claim.empty()) {
                keep = true;
                Notice(outbox_->Path().string() + ": the row of tracker " + row.row.id_before +
                       " cannot be sent (" + e.what() + "): it stays there");
                continue;
            }
            // The record no longer has the row's claim (a database restored
            // from a copy): the row goes in without it, its ID used.
            WaitingRow alone = row;
            alone.claim.clear();
            AppendOn(db, alone);
            Notice(outbox_->Path().string() + ": the row of tracker " + row.row.id_before +
                   " (ID " + row.row.id_written + ") belongs to claim " + row.claim +
                   ", which the record does not have (a database restored from a copy?): "
                   "sent without it");
        }
    }
    std::string error;
    if (!keep && !waiting.rows.empty() && !outbox_->Clear(size, error)) {
        Notice(error + ": its rows are in the record, and are sent again (once) later");
    }
}

std::string SharedRecord::WaitingOnDisk() {
    if (!outbox_) {
        return "";
    }
    std::uint64_t size = 0;
    const OutboxContent waiting = outbox_->Waiting(size);
    const std::size_t count = waiting.rows.size() + waiting.unreadable.size();
    const std::size_t aside = outbox_->LinesSetAside();
    std::string text;
    if (count > 0) {
        text = std::to_string(count) + " tracker row(s) wait in " + outbox_->Path().string();
    }
    if (aside > 0) {
        text += (text.empty() ? "" : ", and ") + std::to_string(aside) +
                " line(s) that cannot be read in " + outbox_->SetAsidePath().string();
    }
    return text;
}

long SharedRecord::RowsWaiting() {
    return outbox_ ? outbox_->Rows() : 0;  // set before the record is shared
}

bool SharedRecord::Reachable(std::string& why) {
    std::lock_guard lock(mutex_);
    try {
        Db();
        return true;
    } catch (const Away& away) {
        why = away.what();
        return false;
    }
}

bool SharedRecord::Finish(std::string& error) {
    std::lock_guard lock(mutex_);
    if (!outbox_) {
        return true;
    }
    try {
        // One more try now, unless the line was asked to stop: it does not
        // wait for another connection's time-out then.
        if (CurrentStopLevel() == StopLevel::kNone) {
            next_try_ = Clock::time_point();
        }
        Db();
    } catch (const Away&) {
    } catch (const odbc::Error&) {
    }
    const std::string waiting = WaitingOnDisk();
    if (waiting.empty()) {
        return true;
    }
    error = waiting + " for the record, which is away (" + away_ +
            "); the next qx17ctl line of this station sends them";
    return false;
}

// The first number from `start` on that no row holds, as digits without
// leading zeros: the next ID of a series. Empty when 14 digits are used up.
// It looks from the furthest frontier known below which every number is
// used, at a few used IDs through the index; past a run of used IDs (a
// series a record of an older version gave out, an import) it counts
// stretches of doubling length, then halves the stretch that has the gap:
// a claim costs the same on a record of a million IDs as on an empty one,
// and finding a frontier anew a few dozen counts.
std::string SharedRecord::NextFree(odbc::Connection& db, std::uint64_t start) {
    const std::string frontier =
        FirstValue(db,
                   "SELECT max(free_from) FROM id_frontier WHERE start_number <= ?::bigint AND "
                   "free_from > ?::bigint",
                   {Number(start), Number(start)});
    std::uint64_t from = frontier.empty() ? start : std::stoull(frontier);
    const std::uint64_t step = kFrontierStep;
    // True when the first number not used from `from` on is within `step`.
    const auto walk = [&] {
        const auto used = odbc::Query(db,
                                      "SELECT id_number FROM used_ids WHERE id_number >= ?::bigint "
                                      "ORDER BY id_number LIMIT " +
                                          std::to_string(step),
                                      {Number(from)});
        for (const auto& id : used) {
            if (std::stoull(id.value_or("0")) != from) {
                return true;
            }
            ++from;
        }
        return used.size() < step;
    };
    const auto full = [&](std::uint64_t length) {
        return FirstValue(db,
                          "SELECT count(*) FROM used_ids WHERE id_number >= ?::bigint AND "
                          "id_number < ?::bigint",
                          {Number(from), Number(from + length)}) == std::to_string(length);
    };
    if (!walk()) {
        std::uint64_t length = 2 * step;
        while (from <= kIdLimit && full(length)) {
            from += length;
            length *= 2;
        }
        while (length > step && from <= kIdLimit) {
            length /= 2;
            if (full(length)) {
                from += length;
            }
        }
        if (from <= kIdLimit) {
            walk();
        }
    }
    return from <= kIdLimit ? std::to_string(from) : "";
}

bool SharedRecord::GiveIds(const std::string& start, bool new_series, std::string& error) {
    const std::optional<std::uint64_t> number = IdNumber(start);
    if (!number) {
        error = "the ID sequence's start is not 1 to 14 digits";
        return false;
    }
    if (!new_series) {
        std::lock_guard lock(mutex_);
        GivenIds given;
        std::string first;
        try {
            Guarded([&](odbc::Connection& db) {
                // By number of digits, the lowest ID any station gave out
                // (an ID a tracker kept is no part of a series).
                odbc::Statement& lowest = db.Prepared(
                    "SELECT (SELECT min(id_written) FROM trackers WHERE id_written <> id_before "
                    "AND length(id_written) = l), (SELECT min(id_written) FROM claims WHERE "
                    "given AND length(id_written) = l) FROM generate_series(1, 14) l");
                lowest.Execute();
                while (lowest.Fetch()) {
                    for (int column : {1, 2}) {
                        NoteGiven(given, lowest.Column(column).value_or(""));
                    }
                }
                first = NextFree(db, *number);
                // Found now, at the line's start, the frontier spares the
                // first claim (under the lock every station's claim takes)
                // the search.
                if (!first.empty()) {
                    db.Prepared(kMoveFrontier).Execute({Number(*number), Value::Text(first)});
                }
                db.Commit();
                return true;
            });
        } catch (const Away& away) {
            throw RecordUnavailable(std::string("the record cannot be read: ") + away.what(),
                                    RecordFailure::kUnreachable);
        } catch (const odbc::Error& e) {
            RecordFailure failure;
            throw RecordUnavailable(DescribeRecordError(e, RecordUse::kLine, role_, failure),
                                    failure);
        }
        first = PaddedId(first, start.size());
        if (const std::string problem = SeriesProblem(start, first.empty() ? start : first, given);
            !problem.empty()) {
            error = problem;
            return false;
        }
    }
    start_ = number;
    width_ = start.size();
    return true;
}

bool SharedRecord::HasFreeIds(std::size_t n) {
    if (!start_) {
        return false;
    }
    std::lock_guard lock(mutex_);
    try {
        return Guarded([&](odbc::Connection& db) {
            // The numbers above the highest one used are all free: enough of
            // them settles it without counting.
            const Value start = Number(*start_);
            const Value limit = Number(kIdLimit);
            const std::string highest = FirstValue(
                db, "SELECT max(id_number) FROM used_ids WHERE id_number BETWEEN ? AND ?",
                {start, limit});
            const std::uint64_t above =
                highest.empty() ? kIdLimit - *start_ + 1 : kIdLimit - std::stoull(highest);
            if (above >= n) {
                db.Commit();
                return true;
            }
            const std::string used =
                FirstValue(db, "SELECT count(*) FROM used_ids WHERE id_number BETWEEN ? AND ?",
                           {start, limit});
            db.Commit();
            return kIdLimit - *start_ + 1 - std::stoull(used.empty() ? "0" : used) >= n;
        });
    } catch (const std::exception&) {
        return true;  // the claim itself finds out, and says why
    }
}

LineRecord::ClaimResult SharedRecord::Claim(LogRow& row, std::string& claim, std::string& error) {
    std::lock_guard lock(mutex_);
    std::string made;  // the claim's number once the server gave it
    try {
        return Guarded([&](odbc::Connection& db) {
            // A tracker plugged in again keeps the ID a row of the record
            // gave it, when it also holds what that row wrote: this profile
            // with that ID. No ID is used up for it.
            const bool keeps =
                start_ && row.holds_profile && IdNumber(row.id_before) &&
                !FirstValue(db,
                            "SELECT 1 FROM trackers WHERE id_written = ? AND "
                            "id_written <> id_before AND profile_sha256 IS NOT DISTINCT FROM ? "
                            "LIMIT 1",
                            {Value::Text(row.id_before), TextOrNull(profile_sha256_)})
                     .empty();
            for (int attempt = 0; attempt < kClaimTries; ++attempt) {
                if (keeps) {
                    row.id_written = row.id_before;
                } else if (start_) {
                    // Claims of given IDs one at a time, across the stations:
                    // racing for the same next ID, all but one would have to
                    // try again, and again. The lock ends with the transaction.
                    odbc::Query(db, kClaimLock);
                    const std::string next = NextFree(db, *start_);
                    if (next.empty()) {
                        db.Rollback();
                        return ClaimResult::kNoIdLeft;
                    }
                    const std::string id = PaddedId(next, width_);
                    try {
                        db.Prepared("INSERT INTO used_ids (id_number, id_text) VALUES (?, ?)")
                            .Execute({Value::Text(next), Value::Text(id)});
                    } catch (const odbc::Error& e) {
                        if (!e.UniqueViolation()) {
                            throw;
                        }
                        db.Rollback();  // another station took it this moment
                        continue;
                    }
                    db.Prepared(kMoveFrontier)
                        .Execute({Number(*start_), Number(std::stoull(next) + 1)});
                    row.id_written = id;
                } else if (const std::optional<std::uint64_t> number = IdNumber(row.id_written)) {
                    // The tracker keeps its own ID, which others may hold too.
                    db.Prepared(
                          "INSERT INTO used_ids (id_number, id_text) VALUES (?, ?) "
                          "ON CONFLICT DO NOTHING")
                        .Execute({Number(*number), Value::Text(row.id_written)});
                }
                made = FirstValue(
                    db,
                    "INSERT INTO claims (station_id, port, claimed_at, id_before, "
                    "id_written, given, owner_key, profile_sha256) VALUES "
                    "(?::integer, ?, ?::timestamptz, ?, ?, ?::boolean, ?::bigint, ?) "
                    "RETURNING claim_id",
                    {Value::Text(station_id_), Value::Text(row.port),
                     Value::Text(UtcTimestamp(row.time)), Value::Text(row.id_before),
                     Value::Text(row.id_written), Value::Text(start_ && !keeps ? "true" : "false"),
                     Value::Integer(owner_key_), TextOrNull(profile_sha256_)});
                db.Commit();
                claim = made;
                return ClaimResult::kClaimed;
            }
            error = "no ID could be claimed in " + std::to_string(kClaimTries) + " tries";
            return ClaimResult::kFailed;
        });
    } catch (const Away& away) {
        // Whether a commit that went unanswered was made is not known: its
        // ID stays used either way, and the tracker gets another. Once the
        // record is back, the claim, if it was made, becomes an interrupted
        // row.
        if (!made.empty()) {
            in_doubt_.push_back(made);
        }
        error = away.what();
        return ClaimResult::kUnavailable;
    } catch (const odbc::Error& e) {
        RecordFailure failure;
        error = DescribeRecordError(e, RecordUse::kLine, role_, failure);
        return ClaimResult::kFailed;
    } catch (const std::exception& e) {
        error = e.what();
        return ClaimResult::kFailed;
    }
}

void SharedRecord::AppendOn(odbc::Connection& db, const WaitingRow& waiting) {
    const LogRow& row = waiting.row;
    // Sent before (a crash between sending and clearing the outbox): there.
    if (!FirstValue(db, "SELECT 1 FROM trackers WHERE row_key = ?", {Value::Text(waiting.key)})
             .empty()) {
        db.Commit();
        return;
    }
    // Its ID counts as used whatever happened to its claim (a database
    // restored from a copy has lost both).
    if (const std::optional<std::uint64_t> number = IdNumber(row.id_written)) {
        db.Prepared(
              "INSERT INTO used_ids (id_number, id_text) VALUES (?, ?) ON CONFLICT DO NOTHING")
            .Execute({Number(*number), Value::Text(row.id_written)});
    }
    const std::vector<Value> values = {
        TextOrNull(waiting.claim),
        Value::Text(station_id_),
        Value::Text(row.port),
        Value::Text(UtcTimestamp(row.time)),
        Finished(row),
        Value::Text(row.id_before),
        Value::Text(row.id_written),
        Value::Text(row.outcome),
        Value::Text(Joined(row.differences)),
        row.seconds ? Value::Text(std::to_string(*row.seconds)) : Value::Null(),
        TextOrNull(waiting.claim),
        TextOrNull(waiting.profile),
        Value::Text(waiting.key)};
    // The row keeps the profile of its own tracker: its claim's, else the
    // one it was kept with.
    const std::string insert =
        "INSERT INTO trackers (claim_id, station_id, port, started, finished, id_before, "
        "id_written, outcome, differences, seconds, profile_sha256, row_key) VALUES "
        "(?::bigint, ?::integer, ?, ?::timestamptz, coalesce(?::timestamptz, now()), ?, ?, ?, "
        "?, ?::double precision, coalesce((SELECT profile_sha256 FROM claims WHERE claim_id = "
        "?::bigint), ?), ?) ";
    if (waiting.claim.empty()) {
        // Sent twice after a crash between sending and clearing: kept once.
        db.Prepared(insert + "ON CONFLICT (row_key) DO NOTHING").Execute(values);
    } else {
        // A row that another station settled as interrupted while this one
        // was away from the record takes the outcome that is known now; a
        // row sent again changes nothing.
        db.Prepared(insert +
                    "ON CONFLICT (claim_id) DO UPDATE SET finished = excluded.finished, "
                    "outcome = excluded.outcome, differences = excluded.differences, "
                    "seconds = excluded.seconds, row_key = excluded.row_key "
                    "WHERE trackers.outcome = 'interrupted' AND trackers.row_key IS NULL")
            .Execute(values);
        db.Prepared("UPDATE claims SET settled = true WHERE claim_id = ?::bigint")
            .Execute({Value::Text(waiting.claim)});
    }
    db.Commit();
}

bool SharedRecord::Append(const LogRow& row, const std::string& claim, std::string& error) {
    const WaitingRow waiting{claim, row, row.key.empty() ? NewRowKey() : row.key, profile_sha256_};
    std::lock_guard lock(mutex_);
    try {
        Guarded([&](odbc::Connection& db) { AppendOn(db, waiting); });
        return true;
    } catch (const Away& away) {
        if (!outbox_) {
            error = "the record is away (" + std::string(away.what()) +
                    ") and this station has no folder to keep the row in";
            return false;
        }
        return outbox_->Add(waiting, error);
    } catch (const odbc::Error& e) {
        RecordFailure failure;
        error = DescribeRecordError(e, RecordUse::kLine, role_, failure);
        return false;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool SharedRecord::KeepForLater(const LogRow& row, const std::string& claim, std::string& error) {
    if (!outbox_) {
        error = "this station has no folder to keep the row in";
        return false;
    }
    return outbox_->Add({claim, row, row.key.empty() ? NewRowKey() : row.key, profile_sha256_},
                        error);
}

void SharedRecord::SettleDeadClaims() {
    SettleDeadClaims(std::nullopt);
}

void SharedRecord::SettleDeadClaims(const std::optional<std::string>& station_id) {
    std::lock_guard lock(mutex_);
    odbc::Connection& db = Db();
    const auto owners = odbc::Query(
        db,
        "SELECT DISTINCT owner_key FROM claims WHERE NOT settled "
        "AND (?::integer IS NULL OR station_id = ?::integer) "
        "AND owner_key <> ?::bigint",
        {station_id ? Value::Text(*station_id) : Value::Null(),
         station_id ? Value::Text(*station_id) : Value::Null(), Value::Integer(owner_key_)});
    db.Commit();
    for (const auto& owner : owners) {
        const Value key = Value::Text(owner.value_or("0"));
        // Its process holds its lock while it lives: free, it is gone.
        if (FirstValue(db, "SELECT pg_try_advisory_lock(?::bigint)", {key}) != "1") {
            db.Commit();
            continue;
        }
        try {
            db.Prepared(
                  "INSERT INTO trackers (claim_id, station_id, port, started, id_before, "
                  "id_written, outcome, profile_sha256) SELECT claim_id, station_id, port, "
                  "claimed_at, id_before, id_written, 'interrupted', profile_sha256 "
                  "FROM claims WHERE owner_key = ?::bigint AND NOT settled "
                  "ON CONFLICT (claim_id) DO NOTHING")
                .Execute({key});
            db.Prepared(
                  "UPDATE claims SET settled = true WHERE owner_key = ?::bigint "
                  "AND NOT settled")
                .Execute({key});
            db.Prepared("UPDATE sessions SET ended = true WHERE owner_key = ?::bigint")
                .Execute({key});
        } catch (const odbc::Error&) {
            db.Rollback();
            odbc::Query(db, "SELECT pg_advisory_unlock(?::bigint)", {key});
            db.Commit();
            throw;
        }
        odbc::Query(db, "SELECT pg_advisory_unlock(?::bigint)", {key});
        db.Commit();
    }
}

}  // namespace qx17::ctl
