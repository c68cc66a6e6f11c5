// The record that every station of a factory shares, in PostgreSQL through
// ODBC (schema: ctl/record/schema.h). One ID sequence for all of them: an ID
// is claimed in a committed transaction under a unique constraint before
// the first frame that carries it is sent, so no two stations are ever
// given one ID, whatever their timing. A process holds a session lock of its
// own while it lives; a claim whose process is gone (its lock free) becomes
// an `interrupted` row, at its station's next start and whenever the record
// is listed, and its ID stays used.
//
// When the server goes away (restarted, the network lost), a claim is
// refused for now (kUnavailable: no tracker is written without one), a
// finished tracker's row waits in the station's outbox on its disk, and the
// connection is tried again, less often each time up to every 10 s; once it
// is back, what waited is sent first.
#pragma once

#include <chrono>
#include <filesystem>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ctl/line_record.h"

namespace qx17::ctl {

namespace odbc {
class Connection;
}

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

class SharedRecord final : public LineRecord {
  public:
    // Connects with `connection` (an ODBC connection string), brings the
    // tables up to date and, when `station` is given, registers it, keeps
    // `profile` (the profile file's bytes) by its SHA-256, and settles the
    // station's claims whose process is gone. Null with `error` (the
    // server's reason, never the password) when it cannot.
    // `outbox`, when given, is where rows wait while the record is away; what
    // waits there from an earlier run is sent now.
    static std::unique_ptr<SharedRecord> Open(const std::string& connection,
                                              const std::string& station,
                                              const std::string& profile, std::string& error,
                                              const std::filesystem::path& outbox = {});
    ~SharedRecord() override;

    bool GiveIds(const std::string& start, bool new_series, std::string& error) override;
    bool HasFreeIds(std::size_t n) override;
    ClaimResult Claim(LogRow& row, std::string& claim, std::string& error) override;
    bool Append(const LogRow& row, const std::string& claim, std::string& error) override;
    bool Reachable(std::string& why) override;
    bool Finish(std::string& error) override;

    // Brings a station's CSV log (`content`, read from `file_name`) into the
    // record under this record's station, so that the IDs it used count as
    // used. A row already there (the same station, time, port and IDs) is
    // not added again. False with `error` (the file and line) for a log that
    // cannot be read exactly, and then nothing is added.
    bool Import(const std::string& content, const std::string& file_name, std::size_t& added,
                std::size_t& rows, std::string& error);

    // Every claim whose process is gone becomes an `interrupted` row.
    void SettleDeadClaims();
    // The rows that match, oldest first.
    std::vector<RecordRow> Rows(const RecordFilter& filter);
    // The IDs written and verified (outcome ok), each once, in their order.
    std::vector<std::string> VerifiedIds();

    const std::string& ProfileHash() const { return profile_sha256_; }

  private:
    using Clock = std::chrono::steady_clock;

    explicit SharedRecord(std::string connection);
    void SettleDeadClaims(const std::optional<std::string>& station_id);
    // The connection, made again when it was lost (not before its next try is
    // due); Away when it cannot be had. Holds mutex_.
    odbc::Connection& Db();
    // Runs `work` on the connection; a connection lost meanwhile is Away.
    template <typename Work>
    auto Guarded(Work&& work);
    void AppendOn(odbc::Connection& db, const LogRow& row, const std::string& claim);
    // What waits in the outbox, into the record. Holds mutex_.
    void SendWaiting(odbc::Connection& db);

    std::mutex mutex_;  // one statement at a time on the connection
    const std::string connection_;
    std::unique_ptr<odbc::Connection> db_;  // null while the record is away
    std::string away_;                      // why, while it is
    Clock::time_point next_try_;
    std::chrono::milliseconds backoff_{500};
    std::unique_ptr<class Outbox> outbox_;
    std::string station_id_;
    std::string profile_sha256_;
    std::int64_t owner_key_ = 0;
    std::optional<std::uint64_t> start_;
    std::size_t width_ = 0;
};

}  // namespace qx17::ctl
