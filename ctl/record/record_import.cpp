// A station's CSV log into the shared record (`qx17ctl record import`).
#include <stdexcept>

#include "ctl/line/id_sequence.h"
#include "ctl/record/odbc.h"
#include "ctl/record/record_sql.h"
#include "ctl/record/shared_record.h"

namespace qx17::ctl {

namespace {

using odbc::Value;

constexpr const char* kImportLock = "SELECT pg_advisory_xact_lock(7190517003)";

Value TextOrNull(const std::string& text) {
    return text.empty() ? Value::Null() : Value::Text(text);
}

}  // namespace

bool SharedRecord::Import(const std::vector<ImportedRow>& rows, std::size_t& added,
                          std::vector<std::string>& conflicts, std::string& error) {
    std::lock_guard lock(mutex_);
    odbc::Connection& db = Db();
    added = 0;
    conflicts.clear();
    try {
        // Two imports of one log at once would each find the other's rows
        // missing.
        odbc::Query(db, kImportLock);
        for (const ImportedRow& row : rows) {
            const std::optional<std::uint64_t> number = IdNumber(row.id_written);
            const auto at = [&](const odbc::Error& e) {
                return std::runtime_error(row.where + ": " + e.what());
            };
            try {
                if (number) {
                    db.Prepared(
                          "INSERT INTO used_ids (id_number, id_text) VALUES (?::bigint, ?) "
                          "ON CONFLICT DO NOTHING")
                        .Execute({Value::Integer(static_cast<std::int64_t>(*number)),
                                  Value::Text(row.id_written)});
                }
                // The same tracker, whatever brought it in: a line on the
                // record, or an earlier import.
                const std::vector<Value> key = {Value::Text(station_id_), Value::Text(row.time),
                                                Value::Text(row.port), Value::Text(row.id_before),
                                                Value::Text(row.id_written)};
                if (!FirstValue(db,
                                "SELECT 1 FROM trackers WHERE station_id = ?::integer AND "
                                "started = ?::timestamptz AND port = ? AND id_before = ? AND "
                                "id_written = ? LIMIT 1",
                                key)
                         .empty()) {
                    continue;
                }
                // An ID given here that the record gives another tracker.
                if (number && row.id_written != row.id_before) {
                    odbc::Statement& other = db.Prepared(
                        "SELECT s.name, t.port, to_char(t.started, "
                        "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), t.id_before FROM trackers t JOIN "
                        "stations s USING (station_id) WHERE " +
                        std::string(kIdNumberOf) +
                        " = ?::bigint AND t.id_written <> t.id_before UNION ALL "
                        "SELECT s.name, c.port, to_char(c.claimed_at, "
                        "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), c.id_before FROM claims c JOIN "
                        "stations s USING (station_id) WHERE c.given AND NOT c.settled AND " +
                        std::string(kIdNumberOf) + " = ?::bigint LIMIT 3");
                    other.Execute({Value::Integer(static_cast<std::int64_t>(*number)),
                                   Value::Integer(static_cast<std::int64_t>(*number))});
                    while (other.Fetch()) {
                        conflicts.push_back(
                            row.where + ": ID " + row.id_written + ", given here to tracker " +
                            row.id_before + " (port " + row.port + ", " + row.time +
                            "), is held in the record by tracker " + other.Column(4).value_or("") +
                            " (station " + other.Column(1).value_or("") + ", port " +
                            other.Column(2).value_or("") + ", " + other.Column(3).value_or("") +
                            ")");
                    }
                }
                odbc::Statement& insert = db.Prepared(
                    "INSERT INTO trackers (station_id, port, started, finished, id_before, "
                    "id_written, outcome, differences, seconds, import_key) VALUES "
                    "(?::integer, ?, ?::timestamptz, ?::timestamptz + ?::double precision * "
                    "interval '1 second', ?, ?, ?, ?, ?::double precision, ?) "
                    "ON CONFLICT (import_key) DO NOTHING");
                insert.Execute({Value::Text(station_id_), Value::Text(row.port),
                                Value::Text(row.time), Value::Text(row.time),
                                TextOrNull(row.seconds), Value::Text(row.id_before),
                                Value::Text(row.id_written), Value::Text(row.outcome),
                                Value::Text(row.differences), TextOrNull(row.seconds),
                                Value::Text(station_id_ + '\n' + row.time + '\n' + row.port + '\n' +
                                            row.id_before + '\n' + row.id_written)});
                added += static_cast<std::size_t>(insert.RowsChanged());
            } catch (const odbc::Error& e) {
                if (e.ConnectionLost() || e.State() == "42501") {
                    throw;  // the record's, not the row's
                }
                throw at(e);
            }
        }
        db.Commit();
        return true;
    } catch (const odbc::Error& e) {
        db.Rollback();
        RecordFailure failure;
        error = DescribeRecordError(e, RecordUse::kImport, role_, failure);
    } catch (const std::exception& e) {
        db.Rollback();
        error = e.what();
    }
    added = 0;
    conflicts.clear();
    return false;
}

}  // namespace qx17::ctl
