#include "ctl/record/schema.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "ctl/record/odbc.h"

namespace qx17::ctl {

namespace {

// Migration N brings the record from version N - 1 to N. Never change one
// that has shipped: add the next.
const std::vector<std::vector<const char*>>& Migrations() {
    static const std::vector<std::vector<const char*>> migrations = {
        {
            "CREATE TABLE stations (station_id serial PRIMARY KEY, name text NOT NULL UNIQUE, "
            "first_seen timestamptz NOT NULL DEFAULT now())",
            "CREATE TABLE profiles (sha256 text PRIMARY KEY, content bytea NOT NULL, "
            "first_used timestamptz NOT NULL DEFAULT now())",
            "CREATE TABLE used_ids (id_number bigint PRIMARY KEY, id_text text NOT NULL)",
            "CREATE TABLE claims (claim_id bigserial PRIMARY KEY, "
            "station_id integer NOT NULL REFERENCES stations, port text NOT NULL, "
            "claimed_at timestamptz NOT NULL, id_before text NOT NULL, "
            "id_written text NOT NULL, given boolean NOT NULL, owner_key bigint NOT NULL, "
            "profile_sha256 text REFERENCES profiles, settled boolean NOT NULL DEFAULT false)",
            "CREATE INDEX claims_open ON claims (owner_key) WHERE NOT settled",
            "CREATE TABLE trackers (row_id bigserial PRIMARY KEY, "
            "claim_id bigint UNIQUE REFERENCES claims, "
            "station_id integer NOT NULL REFERENCES stations, port text NOT NULL, "
            "started timestamptz NOT NULL, finished timestamptz, id_before text NOT NULL, "
            "id_written text NOT NULL, outcome text NOT NULL, "
            "differences text NOT NULL DEFAULT '', seconds double precision, "
            "profile_sha256 text REFERENCES profiles, import_key text UNIQUE)",
            "CREATE INDEX trackers_id ON trackers (id_written)",
            "CREATE INDEX trackers_started ON trackers (started)",
        },
        {
            // Every row a key of its own, so that a row sent twice is kept once,
            // with or without a claim.
            "ALTER TABLE trackers ADD COLUMN row_key text UNIQUE",
            // Rows found by the ID written as a number ("0900" is 900), and by
            // station and time, as an import matches them.
            "CREATE INDEX trackers_id_number ON trackers ((CASE WHEN id_written ~ "
            "'^[0-9]{1,14}$' THEN id_written::bigint END))",
            "CREATE INDEX trackers_station_started ON trackers (station_id, started)",
            // The lowest ID given of each length, which a line's start reads.
            "CREATE INDEX trackers_given ON trackers (length(id_written), id_written) "
            "WHERE id_written <> id_before",
            "CREATE INDEX claims_given ON claims (length(id_written), id_written) WHERE given",
            // Where the search for a series' next free ID begins: every number
            // from start_number up to free_from is used (IDs are never freed).
            "CREATE TABLE id_frontier (start_number bigint PRIMARY KEY, "
            "free_from bigint NOT NULL)",
            // The line processes: which host and process holds each owner key,
            // so that a station is never run twice at once and a station's own
            // stale session can be told from a live one.
            "CREATE TABLE sessions (owner_key bigint PRIMARY KEY, "
            "station_id integer NOT NULL REFERENCES stations, host text NOT NULL, "
            "pid bigint NOT NULL, boot text NOT NULL, "
            "started timestamptz NOT NULL DEFAULT now(), ended boolean NOT NULL DEFAULT false)",
            "CREATE INDEX sessions_open ON sessions (station_id) WHERE NOT ended",
        },
    };
    return migrations;
}

// The lock that lets one station at a time migrate: an arbitrary number
// of our own.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7190517001)";

}  // namespace

void MigrateRecord(odbc::Connection& db) {
    odbc::Statement(db, kMigrationLock).Execute();
    // Only a record that is new or behind is changed: a line's role may hold
    // no more than the rights to use the tables, and PostgreSQL checks the
    // right to create in the schema even for a CREATE ... IF NOT EXISTS of a
    // table that exists.
    const auto made =
        odbc::Query(db, "SELECT CASE WHEN to_regclass('qx17_schema') IS NULL THEN 0 ELSE 1 END");
    if (made.empty() || made[0] != "1") {
        odbc::Statement(db,
                        "CREATE TABLE qx17_schema (one boolean PRIMARY KEY DEFAULT true "
                        "CHECK (one), version integer NOT NULL)")
            .Execute();
    }
    const auto found = odbc::Query(db, "SELECT version FROM qx17_schema");
    const int version = found.empty() || !found[0] ? 0 : std::stoi(*found[0]);
    if (version > kRecordSchemaVersion) {
        db.Rollback();
        throw std::runtime_error("the record is of version " + std::to_string(version) +
                                 ", newer than this qx17ctl knows (" +
                                 std::to_string(kRecordSchemaVersion) + "): update qx17ctl");
    }
    try {
        for (int next = version + 1; next <= kRecordSchemaVersion; ++next) {
            for (const char* sql : Migrations()[static_cast<std::size_t>(next - 1)]) {
                odbc::Statement(db, sql).Execute();
            }
        }
    } catch (const odbc::Error& e) {
        if (e.State() != "42501") {
            throw;
        }
        // A role that may use the tables but not make or change them: the
        // record's owner brings them up to date once.
        db.Rollback();
        throw std::runtime_error(
            (version == 0
                 ? std::string("the record has no tables yet")
                 : "the record's tables are of version " + std::to_string(version) +
                       " and this qx17ctl needs version " + std::to_string(kRecordSchemaVersion)) +
            ", and this role may not " + (version == 0 ? "make" : "change") + " them (" + e.what() +
            "): run `qx17ctl record CONNECTION` once as the role that owns the record, "
            "which " +
            (version == 0 ? "makes" : "updates") + " them");
    }
    if (found.empty()) {
        odbc::Statement(db, "INSERT INTO qx17_schema (version) VALUES (?)")
            .Execute({odbc::Value::Integer(kRecordSchemaVersion)});
    } else if (version != kRecordSchemaVersion) {
        odbc::Statement(db, "UPDATE qx17_schema SET version = ?")
            .Execute({odbc::Value::Integer(kRecordSchemaVersion)});
    }
    db.Commit();
}

}  // namespace qx17::ctl
