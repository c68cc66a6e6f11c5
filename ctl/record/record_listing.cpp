// What `qx17ctl record` reads of the shared record: the rows, the IDs
// verified, the stations' names.
#include "ctl/line/id_sequence.h"
#include "ctl/record/odbc.h"
#include "ctl/record/record_sql.h"
#include "ctl/record/shared_record.h"

namespace qx17::ctl {

namespace {

using odbc::Value;

constexpr const char* kUtc = "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'";

Value Optional(const std::optional<std::string>& text) {
    return text ? Value::Text(*text) : Value::Null();
}

}  // namespace

std::vector<RecordRow> SharedRecord::Rows(const RecordFilter& filter, bool dead_claims) {
    std::lock_guard lock(mutex_);
    const std::optional<std::string> id =
        filter.id ? std::optional<std::string>(std::to_string(IdNumber(*filter.id).value_or(0)))
                  : std::nullopt;
    const std::string utc = kUtc;
    // The rows; and, for a role that may not settle them, the claims whose
    // process is gone (no session holds their owner's lock), as the
    // interrupted rows they will become.
    std::string sql =
        "SELECT s.name, t.port, to_char(t.started, " + utc + "), to_char(t.finished, " + utc +
        "), t.id_before, t.id_written, t.outcome, t.differences, t.seconds, t.profile_sha256, "
        "t.started, t.row_id FROM trackers t JOIN stations s USING (station_id)";
    if (dead_claims) {
        sql += " UNION ALL SELECT s.name, c.port, to_char(c.claimed_at, " + utc +
               "), NULL, c.id_before, c.id_written, 'interrupted', '', NULL, c.profile_sha256, "
               "c.claimed_at, NULL FROM claims c JOIN stations s USING (station_id) WHERE NOT "
               "c.settled AND NOT EXISTS (SELECT 1 FROM trackers x WHERE x.claim_id = "
               "c.claim_id) AND NOT EXISTS (SELECT 1 FROM pg_locks l WHERE l.locktype = "
               "'advisory' AND l.granted AND l.objsubid = 1 AND (l.classid::bigint << 32 | "
               "l.objid::bigint) = c.owner_key)";
    }
    odbc::Statement select(
        Db(), "SELECT * FROM (" + sql +
                  ") r (station, port, started, finished, id_before, id_written, outcome, "
                  "differences, seconds, profile, at, row_id) WHERE "
                  "(?::bigint IS NULL OR " +
                  std::string(kIdNumberOf) +
                  " = ?::bigint) AND (?::text IS NULL OR station = ?) AND "
                  "(?::text IS NULL OR outcome = ?) AND "
                  "(?::timestamptz IS NULL OR at >= ?::timestamptz) "
                  "ORDER BY at, row_id NULLS LAST");
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

std::vector<std::string> SharedRecord::Stations() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& name :
         odbc::Query(Db(), "SELECT name FROM stations ORDER BY first_seen, station_id")) {
        names.push_back(name.value_or(""));
    }
    Db().Commit();
    return names;
}

bool SharedRecord::IsTime(const std::string& text) {
    std::lock_guard lock(mutex_);
    odbc::Connection& db = Db();
    try {
        FirstValue(db, "SELECT ?::timestamptz", {Value::Text(text)});
        db.Commit();
        return true;
    } catch (const odbc::Error& e) {
        db.Rollback();
        // 22xxx: data the server cannot take as a time.
        if (e.State().rfind("22", 0) != 0) {
            throw;
        }
        return false;
    }
}

}  // namespace qx17::ctl
