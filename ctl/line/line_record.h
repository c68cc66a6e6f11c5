// Where the production line takes its IDs from and puts a row per tracker:
// the CSV log of one station (LineLog), or the record that several stations
// share on a database server (SharedRecord). The line does not care which.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qx17::ctl {

// A tracker's outcomes, as rows hold them.
inline constexpr const char* kOutcomes[] = {"ok",        "verify-failed", "refused",     "timeout",
                                            "port-lost", "replaced",      "interrupted", "error"};

struct LogRow {
    std::chrono::system_clock::time_point time;
    std::string port;
    std::string id_before;
    std::string id_written;
    // ok, verify-failed, refused, timeout, port-lost, replaced, interrupted, error
    std::string outcome;
    std::vector<std::string> differences;  // the names of the fields that differed
    std::optional<double> seconds;         // unknown for a tracker found interrupted
    // The row's own key in a shared record; chosen there when empty.
    std::string key;
    // For the claim: the tracker holds what the profile writes, with the ID
    // it came with. Only such a tracker keeps an ID a row gave it (a tracker
    // plugged in again); any other gets an ID of its own, even one whose
    // factory ID happens to equal an ID given out before.
    bool holds_profile = false;
};

// Whether the tracker of `row` was given an ID out of the sequence: not one
// it kept, nor one it was never sent.
inline bool GaveNewId(const LogRow& row) {
    return !row.id_written.empty() && row.id_written != row.id_before &&
           std::find(row.differences.begin(), row.differences.end(), "ID") == row.differences.end();
}

// Equal lengths compare as their numbers do; a shorter ID is lower.
inline bool IdBelow(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

class LineRecord {
  public:
    virtual ~LineRecord() = default;

    // Gives out IDs from `start` on. False, with `error`, when it cannot, or
    // when `start` does not continue the IDs it gave out before (see
    // SeriesProblem) and `new_series` is not set. A shared record that
    // cannot be read throws RecordUnavailable.
    virtual bool GiveIds(const std::string& start, bool new_series, std::string& error) = 0;

    // Whether `n` more IDs can be given out.
    virtual bool HasFreeIds(std::size_t n) = 0;

    // kUnavailable: the record is away for now (its server restarted, the
    // network went); nothing was claimed, and a later try may succeed.
    enum class ClaimResult { kClaimed, kNoIdLeft, kFailed, kUnavailable };
    // Claims `row`'s ID (its time, port and id_before are set) durably: once
    // this returns kClaimed, no other claim anywhere gets that ID. Giving
    // out IDs, `row.id_written` is chosen here: the first one free. `claim`
    // names the claim for Append; `error` says why it failed.
    virtual ClaimResult Claim(LogRow& row, std::string& claim, std::string& error) = 0;

    // Appends the tracker's row and, with `claim`, ends that claim. A record
    // that is away keeps the row on this station's disk until it is back.
    virtual bool Append(const LogRow& row, const std::string& claim, std::string& error) = 0;

    // Whether the record can take claims now; `why` says why not.
    virtual bool Reachable(std::string& why) {
        (void)why;
        return true;
    }

    // The rows kept on this station's disk until the record takes them.
    // Answers at once, also while a call waits for the record.
    virtual long RowsWaiting() { return 0; }

    // At the line's end: what waits on this station's disk for the record is
    // sent. False, with `error`, when some still waits.
    virtual bool Finish(std::string& error) {
        (void)error;
        return true;
    }
};

}  // namespace qx17::ctl
