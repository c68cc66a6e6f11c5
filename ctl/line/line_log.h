// The production line's record: a CSV file with a header and one row per
// tracker, and beside it the claims of the IDs being written (FILE.csv.claims).
//
// Before the first frame that carries an ID is sent, the ID is claimed: the
// claim is on the disk before Claim returns. When the tracker's row is
// appended, its claim is done. A claim left without its row (a crash, a
// pulled plug, a power cut) becomes a row with the outcome `interrupted`
// when a process next finds itself alone on the log, at its start or its
// end; until then its ID counts as used like the IDs of the rows.
//
// Every read and append happens under the file's lock, which goes with the
// file itself (not its name), so that processes and ports never interleave
// their rows and each claim sees every ID used so far. The log is read by
// its header's column names and strictly: what cannot be read exactly is
// refused with its line rather than skipped.
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ctl/line/id_sequence.h"
#include "ctl/line/line_record.h"

namespace qx17::ctl {

class AppendFile;
struct CsvRecord;

inline constexpr std::array<const char*, 7> kLogColumns = {
    "time", "port", "id_before", "id_written", "outcome", "differences", "seconds"};
inline constexpr const char* kLogHeader =
    "time,port,id_before,id_written,outcome,differences,seconds\n";

// Where the claims of the log `file` are: beside the file its name leads
// to, so that every name of one log finds the same claims.
std::filesystem::path ClaimsPathOf(const std::filesystem::path& file);

// "2026-12-08T13:45:12Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

class LineLog final : public LineRecord {
  public:
    enum class Failure {
        kRefused,      // not a log, or a log that cannot be read exactly: nothing was sent
        kCannotWrite,  // the record cannot be made durable
    };

    // Opens or creates the log, writes the header into an empty one and
    // brings in what a crash left: a last row without its line end is
    // ended, a torn row that holds its whole id_written becomes an
    // `interrupted` row, a shorter one is cut off. Null with `error` (the
    // file and line where it applies) and `failure` set when it cannot.
    static std::unique_ptr<LineLog> Open(const std::filesystem::path& file, std::string& error,
                                         Failure& failure);
    // The same on files already open: `log` and `claims` (its claims file);
    // `file` names the log in messages.
    static std::unique_ptr<LineLog> OpenOn(const std::filesystem::path& file,
                                           std::unique_ptr<AppendFile> log,
                                           std::unique_ptr<AppendFile> claims, std::string& error,
                                           Failure& failure);
    ~LineLog();

    // Gives out IDs from `start` on. False when another process gives out
    // IDs from this file (whatever name it opened it by).
    bool GiveIds(const std::string& start, bool new_series, std::string& error) override;

    // Whether `n` more IDs can be given out, as far as the file was last read.
    bool HasFreeIds(std::size_t n) override;

    // The claim is on the disk before this returns; giving out IDs, the ID
    // is chosen under the file's lock: a tracker that holds an ID a row of
    // this log gave it (not one a tracker kept), and what this line's
    // profile writes, keeps it (a tracker plugged in again); any other gets
    // the next free one.
    ClaimResult Claim(LogRow& row, std::string& claim, std::string& error) override;

    bool Append(const LogRow& row, const std::string& claim, std::string& error) override;

    // The IDs in the rows and claims, each once, as far as the file was last read.
    std::vector<std::string> WrittenIds() {
        std::lock_guard lock(mutex_);
        return ids_;
    }

  private:
    using Fields = std::array<std::string, kLogColumns.size()>;  // in kLogColumns' order
    struct PendingClaim {
        Fields fields;
        bool done = false;
    };

    LineLog(std::filesystem::path path, std::unique_ptr<AppendFile> log,
            std::unique_ptr<AppendFile> claims);
    // Under the append lock: reads what came into both files since the last
    // look, mending a torn end. Sets `failure` for a refusal.
    bool CatchUp(std::string& error, Failure& failure);
    bool CatchUpLog(std::string& error, Failure& failure);
    bool CatchUpClaims(std::string& error, Failure& failure);
    void TakeRow(const Fields& fields);
    // A row of the file as it must be: one field per column, an ID or nothing
    // in id_written.
    bool CheckRow(const CsvRecord& record, const Fields& fields, std::string& error) const;
    void UseId(const std::string& id);
    // `taken` bytes of `content` read for good: where the next look begins.
    void Advance(const std::string& content, std::size_t taken);
    // Alone on the file: every claim without its row gets an `interrupted` one.
    bool SettleClaims(std::string& error);
    bool AppendRow(const Fields& fields, std::string& error);
    std::string Where(std::size_t line) const;

    // The ports' threads one at a time: the file's locks keep processes
    // apart, not the threads of one.
    std::mutex mutex_;
    const std::filesystem::path path_;
    const std::unique_ptr<AppendFile> log_;
    const std::unique_ptr<AppendFile> claims_;
    std::vector<std::size_t> order_;  // the file's columns, as kLogColumns indexes
    std::string line_end_ = "\n";
    std::uint64_t log_read_ = 0;
    std::size_t log_line_ = 1;
    std::uint64_t claims_read_ = 0;
    std::size_t claims_line_ = 1;
    std::vector<std::string> ids_;
    std::set<std::string> ids_seen_;
    std::set<std::string> row_keys_;  // time, port and both IDs of each row
    std::set<std::string> written_;   // the IDs rows gave their trackers
    GivenIds given_;                  // the IDs rows and claims gave out
    std::map<std::string, PendingClaim> claims_seen_;
    std::optional<IdSequence> sequence_;
};

}  // namespace qx17::ctl
