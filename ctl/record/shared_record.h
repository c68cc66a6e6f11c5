// The record that every station of a factory shares, in PostgreSQL through
// ODBC (schema: ctl/record/schema.h). One ID sequence for all of them: an ID
// is claimed in a committed transaction under a unique constraint before
// the first frame that carries it is sent, so no two stations are ever
// given one ID, whatever their timing. A process holds a session lock of its
// own while it lives; a claim whose process is gone (its lock free) becomes
// an `interrupted` row, at its station's next start and whenever the record
// is listed, and its ID stays used.
//
// When the server goes away (restarted, the network lost or silent), a
// claim is refused for now (kUnavailable: no tracker is written without
// one), a finished tracker's row waits in the station's outbox on its disk,
// and the connection is tried again, less often each time up to every 10 s;
// once it is back, what waited is sent first. The connection's keepalives,
// its TCP user time-out and a statement time-out end a call on a network
// that went silent within seconds (RecordTimes), on both ends: the server
// lets go of a dead station's locks as soon.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ctl/line/line_record.h"
#include "ctl/record/log_import.h"
#include "ctl/record/record_errors.h"

namespace qx17::ctl {

namespace odbc {
class Connection;
}
class Outbox;
struct WaitingRow;

// A tracker's row as the record keeps it.
struct RecordRow {
    std::string station;
    std::string port;
    std::string started;   // UTC, "2026-12-09T10:11:12Z"
    std::string finished;  // empty for an interrupted tracker
    std::string id_before;
    std::string id_written;
    std::string outcome;
    std::string differences;  // field names, ';' between them
    std::string seconds;      // empty when unknown
    std::string profile_sha256;
};

// Which rows `record` lists; each set filter must match.
struct RecordFilter {
    std::optional<std::string> id;  // the ID written, as a number ("0099" is 99)
    std::optional<std::string> station;
    std::optional<std::string> outcome;
    std::optional<std::string> since;  // an ISO 8601 time: started at or after it
};

// How long a network that went silent may hold a call.
struct RecordTimes {
    std::chrono::seconds keepalive_idle{5};  // then a probe every interval, `count` times
    std::chrono::seconds keepalive_interval{2};
    int keepalive_count = 3;
    std::chrono::milliseconds user_timeout{10000};  // data sent and never acknowledged
    std::chrono::milliseconds statement_timeout{10000};
    std::chrono::seconds login_timeout{10};
};

// `connection` with what ends a call on a dead network within seconds
// (keepalives, a TCP user time-out, a statement time-out), on both ends.
std::string WithTimes(std::string connection, const RecordTimes& times);

struct RecordOptions {
    std::string connection;  // an ODBC connection string
    // This station's name: registered, its dead claims settled. Empty for a
    // reader of the record.
    std::string station;
    RecordUse use = RecordUse::kList;
    std::string profile;  // the profile file's bytes, kept by its SHA-256
    // Where rows wait while the record is away; what waits there from an
    // earlier run is sent at the start.
    std::filesystem::path outbox;
    RecordTimes times;
    // Told what the user should know that is no failure (a waiting row that
    // cannot be sent as it was). Called from the thread that uses the record.
    std::function<void(const std::string&)> notice;
};

class SharedRecord final : public LineRecord {
  public:
    // Connects, brings the tables up to date and, for a station, registers
    // it; a line (RecordUse::kLine) refuses to run a station that runs
    // already (here, or on another host), keeps `profile`, settles the
    // station's claims whose process is gone and sends what waits in the
    // outbox. Null with `error` (never a password) and `failure` when it
    // cannot.
    static std::unique_ptr<SharedRecord> Open(const RecordOptions& options, std::string& error,
                                              RecordFailure& failure);
    // The same, for a station's line with the default times.
    static std::unique_ptr<SharedRecord> Open(const std::string& connection,
                                              const std::string& station,
                                              const std::string& profile, std::string& error,
                                              const std::filesystem::path& outbox = {});
    ~SharedRecord() override;

    // Throws RecordUnavailable when the record cannot be read.
    bool GiveIds(const std::string& start, bool new_series, std::string& error) override;
    bool HasFreeIds(std::size_t n) override;
    ClaimResult Claim(LogRow& row, std::string& claim, std::string& error) override;
    bool Append(const LogRow& row, const std::string& claim, std::string& error) override;
    bool Reachable(std::string& why) override;
    bool Finish(std::string& error) override;
    long RowsWaiting() override;

    // Keeps `row` in the outbox without a word to the server: for a line
    // that stops while the record does not answer. Safe beside any other
    // call. False when there is no outbox.
    bool KeepForLater(const LogRow& row, const std::string& claim, std::string& error);
    // "2 tracker row(s) wait in FILE ...", or empty; from the disk alone.
    std::string WaitingOnDisk();

    // Brings the rows read from a station's log (ReadLogForImport) into the
    // record under this record's station, so that the IDs they used count
    // as used. A row already there (the same station, time, port and IDs,
    // whatever brought it in) is not added again. `conflicts` names each
    // imported ID that the record holds for another tracker, with both
    // trackers. False with `error` when the server refuses; nothing is added
    // then.
    bool Import(const std::vector<ImportedRow>& rows, std::size_t& added,
                std::vector<std::string>& conflicts, std::string& error);

    // Every claim whose process is gone becomes an `interrupted` row.
    // odbc::Error (42501) when the role may not.
    void SettleDeadClaims();
    // The rows that match, oldest first; with `dead_claims`, also the claims
    // whose process is gone and which are no rows yet, as `interrupted`.
    std::vector<RecordRow> Rows(const RecordFilter& filter, bool dead_claims = false);
    // The IDs written and verified (outcome ok), each once, in their order.
    std::vector<std::string> VerifiedIds();
    // The stations' names, in the order they were first seen.
    std::vector<std::string> Stations();
    // Whether the server reads `text` as a time.
    bool IsTime(const std::string& text);

    const std::string& ProfileHash() const { return profile_sha256_; }
    // The role connected as.
    const std::string& Role() const { return role_; }

  private:
    using Clock = std::chrono::steady_clock;

    explicit SharedRecord(RecordOptions options);
    void OpenOn(odbc::Connection& db);
    void CheckNoOtherLine(odbc::Connection& db);
    void SettleDeadClaims(const std::optional<std::string>& station_id);
    void SettleInDoubt(odbc::Connection& db);
    // Takes this process's session lock on a new connection; a session of
    // its own that the server still keeps from before (a network cut) is
    // ended first: the process never waits on itself.
    void TakeOwnerLock(odbc::Connection& db);
    // The connection, made again when it was lost (not before its next try is
    // due); Away when it cannot be had. Holds mutex_.
    odbc::Connection& Db();
    // Runs `work` on the connection; a connection lost meanwhile is Away.
    template <typename Work>
    auto Guarded(Work&& work);
    void AppendOn(odbc::Connection& db, const WaitingRow& row);
    // What waits in the outbox, into the record. Holds mutex_.
    void SendWaiting(odbc::Connection& db);
    std::string NextFree(odbc::Connection& db, std::uint64_t start);
    void Notice(const std::string& text);

    const RecordOptions options_;
    std::mutex mutex_;                      // one statement at a time on the connection
    std::unique_ptr<odbc::Connection> db_;  // null while the record is away
    std::string away_;                      // why, while it is
    Clock::time_point next_try_;
    std::chrono::milliseconds backoff_{500};
    std::unique_ptr<Outbox> outbox_;
    std::string station_id_;
    std::string profile_sha256_;
    std::string role_;
    std::int64_t owner_key_ = 0;
    std::vector<std::string> in_doubt_;  // claims whose commit went unanswered
    std::optional<std::uint64_t> start_;
    std::size_t width_ = 0;
};

}  // namespace qx17::ctl
