#include "ctl/record/shared_record.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <random>

#include "ctl/csv.h"
#include "ctl/id_sequence.h"
#include "ctl/line_log.h"
#include "ctl/record/odbc.h"
#include "ctl/record/outbox.h"
#include "ctl/record/schema.h"

namespace qx17::ctl {

namespace {

using odbc::Value;

constexpr std::uint64_t kIdLimit = 99999999999999ULL;  // 14 digits
// Tries at an ID before a claim gives up: each lost try is another writer
// (an import) taking that ID at the same moment.
constexpr int kClaimTries = 50;
constexpr const char* kClaimLock = "SELECT pg_advisory_xact_lock(7190517002)";

constexpr const char* kUtc = "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'";

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

std::string First(odbc::Connection& db, const char* sql, const std::vector<Value>& values) {
    const auto column = odbc::Query(db, sql, values);
    return column.empty() ? std::string() : column[0].value_or("");
}

// The first number from `start` on that no row holds, as digits without
// leading zeros: the next ID of a sequence. Empty when 14 digits are used up.
std::string FirstFree(odbc::Connection& db, std::uint64_t start) {
    const Value from = Value::Integer(static_cast<std::int64_t>(start));
    return First(db,
                 "SELECT n FROM (SELECT ?::bigint AS n UNION ALL "
                 "SELECT id_number + 1 FROM used_ids WHERE id_number >= ?) c "
                 "WHERE n <= ? AND NOT EXISTS (SELECT 1 FROM used_ids u WHERE "
                 "u.id_number = c.n) ORDER BY n LIMIT 1",
                 {from, from, Value::Integer(static_cast<std::int64_t>(kIdLimit))});
}

Value Optional(const std::optional<std::string>& text) {
    return text ? Value::Text(*text) : Value::Null();
}

Value TextOrNull(const std::string& text) {
    return text.empty() ? Value::Null() : Value::Text(text);
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

// A connection that reads and shows times in UTC, whatever the server's
// own zone: a --since given without a zone is a UTC time.
std::unique_ptr<odbc::Connection> Connect(const std::string& connection) {
    auto db = std::make_unique<odbc::Connection>(connection);
    odbc::Statement(*db, "SET TIME ZONE 'UTC'").Execute();
    db->Commit();
    return db;
}

}  // namespace

// The record is away: why, as far as it is known.
class Away : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

SharedRecord::SharedRecord(std::string connection) : connection_(std::move(connection)) {}

SharedRecord::~SharedRecord() = default;

std::unique_ptr<SharedRecord> SharedRecord::Open(const std::string& connection,
                                                 const std::string& station,
                                                 const std::string& profile, std::string& error,
                                                 const std::filesystem::path& outbox) {
    try {
        std::unique_ptr<SharedRecord> record(new SharedRecord(connection));
        if (!outbox.empty()) {
            record->outbox_ = Outbox::Open(outbox, error);
            if (!record->outbox_) {
                return nullptr;
            }
        }
        record->db_ = Connect(connection);
        odbc::Connection& db = *record->db_;
        MigrateRecord(db);
        record->owner_key_ = NewOwnerKey();
        odbc::Query(db, "SELECT pg_advisory_lock(?::bigint)", {Value::Integer(record->owner_key_)});
        if (!station.empty()) {
            db.Prepared("INSERT INTO stations (name) VALUES (?) ON CONFLICT DO NOTHING")
                .Execute({Value::Text(station)});
            record->station_id_ =
                First(db, "SELECT station_id FROM stations WHERE name = ?", {Value::Text(station)});
        }
        if (!station.empty() && !profile.empty()) {
            db.Prepared(
                  "INSERT INTO profiles (sha256, content) VALUES "
                  "(encode(sha256(?), 'hex'), ?) ON CONFLICT DO NOTHING")
                .Execute({Value::Bytes(profile), Value::Bytes(profile)});
            record->profile_sha256_ =
                First(db, "SELECT encode(sha256(?), 'hex')", {Value::Bytes(profile)});
        }
        db.Commit();
        if (!station.empty()) {
            {
                std::lock_guard lock(record->mutex_);
                record->SendWaiting(db);
            }
            record->SettleDeadClaims(record->station_id_);
        }
        return record;
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
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
        db = Connect(connection_);
        // The same lock as before: this process's claims are its own again.
        odbc::Query(*db, "SELECT pg_advisory_lock(?::bigint)", {Value::Integer(owner_key_)});
        db->Commit();
        SendWaiting(*db);
        db_ = std::move(db);
        backoff_ = std::chrono::milliseconds(500);
        away_.clear();
        return *db_;
    } catch (const odbc::Error& e) {
        if (db && !e.ConnectionLost() && !db->Dead()) {
            throw;  // the record is there and refuses a statement: not away
        }
        away_ = e.what();
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
        if (!e.ConnectionLost() && !db.Dead()) {
            throw;
        }
        db_.reset();
        away_ = e.what();
        next_try_ = Clock::now() + backoff_;
        throw Away(away_);
    }
}

void SharedRecord::SendWaiting(odbc::Connection& db) {
    if (!outbox_) {
        return;
    }
    const auto waiting = outbox_->Waiting();
    for (const auto& [claim, row] : waiting) {
        AppendOn(db, row, claim);
    }
    if (!waiting.empty()) {
        outbox_->Clear();
    }
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
        next_try_ = Clock::time_point();  // one more try now
        Db();
    } catch (const Away&) {
    } catch (const odbc::Error&) {
    }
    const std::size_t waiting = outbox_->Waiting().size();
    if (waiting == 0) {
        return true;
    }
    error = std::to_string(waiting) + " tracker row(s) wait in " + outbox_->Path().string() +
            " for the record, which is away (" + away_ +
            "); the next qx17ctl line of this station sends them";
    return false;
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
                for (const auto& row : odbc::Query(
                         db,
                         "SELECT min(id_written) FROM (SELECT id_written FROM trackers WHERE "
                         "id_written <> id_before UNION ALL SELECT id_written FROM claims WHERE "
                         "given) g WHERE id_written <> '' GROUP BY length(id_written)")) {
                    NoteGiven(given, row.value_or(""));
                }
                first = FirstFree(db, *number);
                db.Commit();
                return true;
            });
        } catch (const std::exception& e) {
            error = std::string("the record cannot be read: ") + e.what();
            return false;
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
            const std::string used =
                First(db, "SELECT count(*) FROM used_ids WHERE id_number BETWEEN ? AND ?",
                      {Value::Integer(static_cast<std::int64_t>(*start_)),
                       Value::Integer(static_cast<std::int64_t>(kIdLimit))});
            db.Commit();
            return kIdLimit - *start_ + 1 - std::stoull(used.empty() ? "0" : used) >= n;
        });
    } catch (const std::exception&) {
        return true;  // the claim itself finds out, and says why
    }
}

LineRecord::ClaimResult SharedRecord::Claim(LogRow& row, std::string& claim, std::string& error) {
    std::lock_guard lock(mutex_);
    try {
        return Guarded([&](odbc::Connection& db) {
            // A tracker plugged in again, holding an ID a row of the record
            // gave it, keeps that ID: none is used up for it.
            const bool keeps = start_ && IdNumber(row.id_before) &&
                               !First(db,
                                      "SELECT 1 FROM trackers WHERE id_written = ? AND "
                                      "id_written <> id_before LIMIT 1",
                                      {Value::Text(row.id_before)})
                                    .empty();
            for (int attempt = 0; attempt < kClaimTries; ++attempt) {
                if (keeps) {
                    row.id_written = row.id_before;
                } else if (start_) {
                    // Claims of given IDs one at a time, across the stations:
                    // racing for the same next ID, all but one would have to
                    // try again, and again. The lock ends with the transaction.
                    odbc::Query(db, kClaimLock);
                    // The first number from the start on that no row holds.
                    const std::string next = FirstFree(db, *start_);
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
                    row.id_written = id;
                } else if (const std::optional<std::uint64_t> number = IdNumber(row.id_written)) {
                    // The tracker keeps its own ID, which others may hold too.
                    db.Prepared(
                          "INSERT INTO used_ids (id_number, id_text) VALUES (?, ?) "
                          "ON CONFLICT DO NOTHING")
                        .Execute({Value::Integer(static_cast<std::int64_t>(*number)),
                                  Value::Text(row.id_written)});
                }
                claim = First(
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
                return ClaimResult::kClaimed;
            }
            error = "no ID could be claimed in " + std::to_string(kClaimTries) + " tries";
            return ClaimResult::kFailed;
        });
    } catch (const Away& away) {
        // Whether a commit that went unanswered was made is not known: its
        // ID stays used either way, and the tracker gets another.
        error = away.what();
        return ClaimResult::kUnavailable;
    } catch (const std::exception& e) {
        error = e.what();
        return ClaimResult::kFailed;
    }
}

void SharedRecord::AppendOn(odbc::Connection& db, const LogRow& row, const std::string& claim) {
    // A row that another station settled as interrupted while this one
    // was away from the record takes the outcome that is known now; a row
    // sent again after a commit that went unanswered changes nothing.
    db.Prepared(
          "INSERT INTO trackers (claim_id, station_id, port, started, finished, id_before, "
          "id_written, outcome, differences, seconds, profile_sha256) VALUES "
          "(?::bigint, ?::integer, ?, ?::timestamptz, coalesce(?::timestamptz, now()), ?, ?, ?, "
          "?, ?::double precision, ?) "
          "ON CONFLICT (claim_id) DO UPDATE SET finished = excluded.finished, "
          "outcome = excluded.outcome, differences = excluded.differences, "
          "seconds = excluded.seconds WHERE trackers.outcome = 'interrupted'")
        .Execute({claim.empty() ? Value::Null() : Value::Text(claim), Value::Text(station_id_),
                  Value::Text(row.port), Value::Text(UtcTimestamp(row.time)), Finished(row),
                  Value::Text(row.id_before), Value::Text(row.id_written), Value::Text(row.outcome),
                  Value::Text(Joined(row.differences)),
                  row.seconds ? Value::Text(std::to_string(*row.seconds)) : Value::Null(),
                  TextOrNull(profile_sha256_)});
    if (!claim.empty()) {
        db.Prepared("UPDATE claims SET settled = true WHERE claim_id = ?::bigint")
            .Execute({Value::Text(claim)});
    }
    db.Commit();
}

bool SharedRecord::Append(const LogRow& row, const std::string& claim, std::string& error) {
    std::lock_guard lock(mutex_);
    try {
        Guarded([&](odbc::Connection& db) { AppendOn(db, row, claim); });
        return true;
    } catch (const Away& away) {
        if (!outbox_) {
            error = "the record is away (" + std::string(away.what()) +
                    ") and this station has no folder to keep the row in";
            return false;
        }
        return outbox_->Add(claim, row, error);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool SharedRecord::Import(const std::string& content, const std::string& file_name,
                          std::size_t& added, std::size_t& rows, std::string& error) {
    const std::vector<CsvRecord> records = ParseCsv(content);
    const auto where = [&](std::size_t line) { return file_name + ":" + std::to_string(line); };
    if (records.empty()) {
        error = file_name + ": no header";
        return false;
    }
    // The columns by the header's names, each once.
    std::array<std::size_t, kLogColumns.size()> at{};
    for (std::size_t column = 0; column < kLogColumns.size(); ++column) {
        const auto& names = records[0].fields;
        const auto found = std::find(names.begin(), names.end(), kLogColumns[column]);
        if (found == names.end() || std::count(names.begin(), names.end(), *found) != 1 ||
            names.size() != kLogColumns.size()) {
            error = where(records[0].line) +
                    ": not a log's header (time, port, id_before, id_written, outcome, "
                    "differences and seconds, each once)";
            return false;
        }
        at[column] = static_cast<std::size_t>(found - names.begin());
    }
    std::lock_guard lock(mutex_);
    odbc::Connection& db = Db();
    try {
        odbc::Statement use(db,
                            "INSERT INTO used_ids (id_number, id_text) VALUES (?::bigint, ?) "
                            "ON CONFLICT DO NOTHING");
        odbc::Statement insert(
            db,
            "INSERT INTO trackers (station_id, port, started, finished, id_before, id_written, "
            "outcome, differences, seconds, import_key) VALUES (?::integer, ?, ?::timestamptz, "
            "?::timestamptz + ?::double precision * interval '1 second', ?, ?, ?, ?, "
            "?::double precision, ?) ON CONFLICT (import_key) DO NOTHING");
        added = 0;
        rows = 0;
        for (std::size_t i = 1; i < records.size(); ++i) {
            const CsvRecord& record = records[i];
            if (record.fields.size() != kLogColumns.size()) {
                throw std::runtime_error(where(record.line) + ": not " +
                                         std::to_string(kLogColumns.size()) + " fields");
            }
            const auto field = [&](std::size_t column) { return record.fields[at[column]]; };
            const std::string& id = field(3);
            const std::optional<std::uint64_t> number = IdNumber(id);
            if (!id.empty() && !number) {
                throw std::runtime_error(where(record.line) + ": the id_written \"" + id +
                                         "\" is not 1 to 14 digits");
            }
            if (number) {
                use.Execute({Value::Integer(static_cast<std::int64_t>(*number)), Value::Text(id)});
            }
            const std::string key =
                station_id_ + '\n' + field(0) + '\n' + field(1) + '\n' + field(2) + '\n' + id;
            try {
                insert.Execute({Value::Text(station_id_), Value::Text(field(1)),
                                Value::Text(field(0)), Value::Text(field(0)), TextOrNull(field(6)),
                                Value::Text(field(2)), Value::Text(id), Value::Text(field(4)),
                                Value::Text(field(5)), TextOrNull(field(6)), Value::Text(key)});
            } catch (const odbc::Error& e) {
                throw std::runtime_error(where(record.line) + ": " + e.what());
            }
            added += static_cast<std::size_t>(insert.RowsChanged());
            ++rows;
        }
        db.Commit();
        return true;
    } catch (const std::exception& e) {
        db.Rollback();
        error = e.what();
        return false;
    }
}

void SharedRecord::SettleDeadClaims() {
    SettleDeadClaims(std::nullopt);
}

void SharedRecord::SettleDeadClaims(const std::optional<std::string>& station_id) {
    std::lock_guard lock(mutex_);
    odbc::Connection& db = Db();
    const auto owners =
        odbc::Query(db,
                    "SELECT DISTINCT owner_key FROM claims WHERE NOT settled "
                    "AND (?::integer IS NULL OR station_id = ?::integer) "
                    "AND owner_key <> ?::bigint",
                    {Optional(station_id), Optional(station_id), Value::Integer(owner_key_)});
    db.Commit();
    for (const auto& owner : owners) {
        // Its process holds its lock while it lives: free, it is gone.
        if (First(db, "SELECT pg_try_advisory_lock(?::bigint)", {Optional(owner)}) != "1") {
            db.Commit();
            continue;
        }
        db.Prepared(
              "INSERT INTO trackers (claim_id, station_id, port, started, id_before, "
              "id_written, outcome, profile_sha256) SELECT claim_id, station_id, port, "
              "claimed_at, id_before, id_written, 'interrupted', profile_sha256 "
              "FROM claims WHERE owner_key = ?::bigint AND NOT settled "
              "ON CONFLICT (claim_id) DO NOTHING")
            .Execute({Optional(owner)});
        db.Prepared(
              "UPDATE claims SET settled = true WHERE owner_key = ?::bigint "
              "AND NOT settled")
            .Execute({Optional(owner)});
        odbc::Query(db, "SELECT pg_advisory_unlock(?::bigint)", {Optional(owner)});
        db.Commit();
    }
}

std::vector<RecordRow> SharedRecord::Rows(const RecordFilter& filter) {
    std::lock_guard lock(mutex_);
    const std::optional<std::string> id =
        filter.id ? std::optional<std::string>(std::to_string(IdNumber(*filter.id).value_or(0)))
                  : std::nullopt;
    odbc::Statement select(
        Db(), std::string("SELECT s.name, t.port, to_char(t.started AT TIME ZONE 'UTC', ") + kUtc +
                  "), to_char(t.finished AT TIME ZONE 'UTC', " + kUtc +
                  "), t.id_before, t.id_written, t.outcome, t.differences, t.seconds, "
                  "t.profile_sha256 FROM trackers t JOIN stations s USING (station_id) WHERE "
                  "(?::bigint IS NULL OR (t.id_written ~ '^[0-9]{1,14}$' AND "
                  "t.id_written::bigint = ?::bigint)) AND (?::text IS NULL OR s.name = ?) AND "
                  "(?::text IS NULL OR t.outcome = ?) AND "
                  "(?::timestamptz IS NULL OR t.started >= ?::timestamptz) "
                  "ORDER BY t.started, t.row_id");
    select.Execute({Optional(id), Optional(id), Optional(filter.station), Optional(filter.station),
                    Optional(filter.outcome), Optional(filter.outcome), Optional(filter.since),
                    Optional(filter.since)});
    std::vector<RecordRow> rows;
    while (select.Fetch()) {
        RecordRow row;
        std::string* fields[] = {&row.station,   &row.port,          &row.started, &row.finished,
                                 &row.id_before, &row.id_written,    &row.outcome, &row.differences,
                                 &row.seconds,   &row.profile_sha256};
        for (int column = 1; column <= 10; ++column) {
            *fields[column - 1] = select.Column(column).value_or("");
        }
        rows.push_back(std::move(row));
    }
    Db().Commit();
    return rows;
}

std::vector<std::string> SharedRecord::VerifiedIds() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& id : odbc::Query(Db(),
                                      "SELECT id_written FROM trackers WHERE outcome = 'ok' "
                                      "GROUP BY id_written ORDER BY min(started), id_written")) {
        ids.push_back(id.value_or(""));
    }
    Db().Commit();
    return ids;
}

}  // namespace qx17::ctl
