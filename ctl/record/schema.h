// The shared record's tables in PostgreSQL, created on first use and brought
// up to date by numbered migrations, each applied once, in order, in one
// transaction under a lock of its own, so that stations starting at once do
// not race. The version reached is in qx17_schema.
//
//   stations  (station_id, name UNIQUE, first_seen)
//   profiles  (sha256 PRIMARY KEY, content: the profile file's exact bytes)
//   used_ids  (id_number PRIMARY KEY, id_text): every ID a tracker holds or
//             may hold; a given ID is one row, so no two claims get it
//   claims    (claim_id, station, port, claimed_at, id_before, id_written,
//             given, owner_key, profile, settled): made and committed before
//             the first frame that carries the ID; owner_key is the session
//             lock its process holds while it lives
//   trackers  (row_id, claim_id UNIQUE, station, port, started, finished,
//             id_before, id_written, outcome, differences, seconds, profile,
//             import_key UNIQUE, row_key UNIQUE): one row per tracker
//   id_frontier (start_number PRIMARY KEY, free_from): every ID from a
//             series' start up to free_from is used
//   sessions  (owner_key PRIMARY KEY, station, host, pid, boot, started,
//             ended): the line processes and where they run
#pragma once

namespace qx17::ctl::odbc {
class Connection;
}

namespace qx17::ctl {

// The version this program writes and reads.
inline constexpr int kRecordSchemaVersion = 2;

// Creates or updates the tables; commits. odbc::Error when the server
// refuses (the message says what); std::runtime_error, with what to do, for
// a record newer than this program or a role that may not make or update
// the tables.
void MigrateRecord(odbc::Connection& db);

}  // namespace qx17::ctl
