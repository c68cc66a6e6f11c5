#include "ctl/line/production_line.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "ctl/board/done_hook.h"
#include "ctl/exit_codes.h"
#include "ctl/files/sha256.h"
#include "ctl/line/line_log.h"
#include "ctl/line/station.h"
#include "ctl/line/stop_request.h"
#include "ctl/link/provisioning.h"
#include "ctl/output/progress.h"
#include "ctl/ports/port_advice.h"
#include "ctl/record/copied_record.h"
#include "ctl/record/record_worker.h"

namespace qx17::ctl {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How soon a claim is tried again while the record is away, at first and
// at most; and how often a wait looks at Ctrl-C.
constexpr std::chrono::milliseconds kFirstRetry = 500ms;
constexpr std::chrono::milliseconds kLastRetry = 10s;
constexpr std::chrono::milliseconds kSlice = 100ms;

// The record cannot take a claim or a row: the line stops taking trackers.
class RecordError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the ports share.
class Line {
  public:
    Line(const LineOptions& options, Progress& progress)
        : options_(options),
          progress_(progress),
          station_(options.station.empty() ? HostName() : options.station),
          profile_sha256_(Sha256Hex(options.profile_text)) {}

    bool Prepare(int& exit_code) {
        if (options_.id_start && !options_.log && !options_.record) {
            progress_.Message("--id-start needs --log or --record: the record of the IDs used.");
            exit_code = kExitUsage;
            return false;
        }
        if (options_.log) {
            std::string error;
            LineLog::Failure failure;
            log_ = LineLog::Open(*options_.log, error, failure);
            if (!log_) {
                progress_.Message(error + ".");
                exit_code = failure == LineLog::Failure::kRefused ? kExitUsage : kExitRecord;
                return false;
            }
        }
        std::string error;
        if (options_.record) {
            RecordOptions record;
            record.connection = *options_.record;
            record.station = options_.station;
            record.use = RecordUse::kLine;
            record.profile = options_.profile_text;
            record.outbox = options_.outbox;
            record.times = options_.record_times;
            record.notice = [this](const std::string& text) { progress_.Message(text + "."); };
            RecordFailure failure;
            std::unique_ptr<LineRecord> shared = RecordWorker::Open(record, error, failure);
            if (!shared) {
                progress_.Message(error + ".");
                exit_code = failure == RecordFailure::kUsage ? kExitUsage : kExitRecord;
                return false;
            }
            log_ = log_ ? std::make_unique<CopiedRecord>(std::move(shared), std::move(log_))
                        : std::move(shared);
        }
        try {
            if (options_.id_start &&
                !log_->GiveIds(*options_.id_start, options_.new_series, error)) {
                progress_.Message(error + ".");
                exit_code = kExitUsage;
                return false;
            }
        } catch (const RecordUnavailable& e) {
            progress_.Message(std::string(e.what()) + ".");
            exit_code = kExitRecord;
            return false;
        }
        return true;
    }

    // A tracker has announced itself: may it be taken, with the count?
    bool TakeTracker() {
        std::lock_guard lock(mutex_);
        if (stopped_ || (options_.count && taken_ >= *options_.count)) {
            return false;
        }
        ++taken_;
        return true;
    }
    void GiveBackTracker() {
        std::lock_guard lock(mutex_);
        --taken_;
    }

    // Whether an ID is left for the port's next tracker, counting one for
    // each other port that was told so and has not claimed it yet: no
    // tracker is answered that cannot be given an ID. The IDs themselves go
    // out in the order the trackers come. The record is asked outside the
    // line's lock: a record that is slow to answer holds only the ports
    // that wait for it.
    bool Reserve(const std::string& port) {
        std::lock_guard lock(reserve_mutex_);
        if (reserved_.count(port) != 0) {
            return true;
        }
        if (!log_->HasFreeIds(reserved_.size() + 1)) {
            return false;
        }
        reserved_.insert(port);
        return true;
    }
    void Release(const std::string& port) {
        std::lock_guard lock(reserve_mutex_);
        reserved_.erase(port);
    }

    enum class Claimed { kYes, kNoIdLeft, kAway };

    // Records durably that the tracker of `row` is about to be written;
    // giving out IDs, chooses its ID first. RecordError when the record
    // cannot take it; kAway (with `why`) when it is away for now.
    Claimed Claim(LogRow& row, std::string& claim, std::string& why) {
        if (!log_) {
            return Claimed::kYes;
        }
        Release(row.port);
        std::string error;
        switch (log_->Claim(row, claim, error)) {
            case LineRecord::ClaimResult::kClaimed:
                RecordIsBack();
                return Claimed::kYes;
            case LineRecord::ClaimResult::kNoIdLeft:
                return Claimed::kNoIdLeft;
            case LineRecord::ClaimResult::kUnavailable:
                why = error;
                RecordIsAway(why);
                return Claimed::kAway;
            case LineRecord::ClaimResult::kFailed:
                break;
        }
        throw RecordError(error);
    }

    // Whether the record takes claims now; `why` says why not.
    bool RecordReachable(std::string& why) {
        if (!log_) {
            return true;
        }
        const bool reachable = log_->Reachable(why);
        reachable ? RecordIsBack() : RecordIsAway(why);
        return reachable;
    }

    // The record's going away and its return are told once each, however
    // many ports notice them.
    void RecordIsAway(const std::string& why) {
        std::lock_guard lock(away_mutex_);
        if (!away_since_) {
            away_since_ = Clock::now();
            rows_sent_ = 0;
            progress_.RecordAway(why);
        }
    }
    void RecordIsBack() {
        std::lock_guard lock(away_mutex_);
        if (away_since_) {
            TellRowsWaitingLocked(log_->RowsWaiting());
            progress_.RecordBack(std::chrono::duration<double>(Clock::now() - *away_since_).count(),
                                 rows_sent_);
            away_since_.reset();
            rows_sent_ = 0;
        }
    }
    // The rows kept on the disk for the record, told when their number changed.
    void TellRowsWaiting() {
        if (log_) {
            std::lock_guard lock(away_mutex_);
            TellRowsWaitingLocked(log_->RowsWaiting());
        }
    }
    void TellRowsWaitingLocked(long waiting) {
        if (waiting != rows_waiting_) {
            // Fewer: the record took them, perhaps before its return is told.
            rows_sent_ += std::max(0L, rows_waiting_ - waiting);
            rows_waiting_ = waiting;
            progress_.RowsWaiting(waiting);
        }
    }

    // What waits on the station's disk for the record, sent; false (with
    // `error`) when some still waits.
    bool FinishRecord(std::string& error) { return !log_ || log_->Finish(error); }

    // A tracker that was answered and then not written, because the line
    // stopped while it waited for the record: the line ends with `exit_code`.
    void NotWritten(int exit_code) {
        std::lock_guard lock(mutex_);
        ++not_written_;
        exit_code_ = exit_code;
    }

    // The tracker's row; true once it is durable. When it cannot be made
    // durable, no further tracker is taken.
    bool Record(const LogRow& row, const std::string& claim, int exit_code) {
        std::string error;
        bool appended = true;
        try {
            appended = !log_ || log_->Append(row, claim, error);
        } catch (const std::exception& e) {  // an allocation, a file-system error
            appended = false;
            error = e.what();
        }
        LineTotals totals;
        {
            std::lock_guard lock(mutex_);
            Count(row, appended, error, exit_code);
            totals = TotalsLocked();
        }
        if (appended) {
            progress_.TrackerEnded(row, totals);
            TellRowsWaiting();
        }
        return appended;
    }

  private:
    // Under mutex_.
    void Count(const LogRow& row, bool appended, const std::string& error, int exit_code) {
        if (!appended) {
            progress_.Message(row.port + ": the row of tracker " + row.id_before + " (" +
                              row.outcome + ") cannot be written: " + error + ".");
            StopLocked(kExitRecord);
        }
        if (exit_code != kExitDone) {
            exit_code_ = exit_code;
        }
        ++outcomes_[row.outcome];
        // The IDs given out: not one a tracker kept, nor one it was never sent.
        if (GaveNewId(row)) {
            if (!lowest_id_ || IdBelow(row.id_written, *lowest_id_)) {
                lowest_id_ = row.id_written;
            }
            if (!highest_id_ || IdBelow(*highest_id_, row.id_written)) {
                highest_id_ = row.id_written;
            }
        }
        ++done_;
        if (options_.count && done_ >= *options_.count) {
            finished_ = true;
        }
    }

  public:
    // The line takes no further tracker and ends with `exit_code`.
    void Stop(int exit_code) {
        std::lock_guard lock(mutex_);
        StopLocked(exit_code);
    }

    // The count is reached, or the line stopped: the ports stop waiting.
    bool Finished() const { return finished_; }

    int ExitCode() {
        std::lock_guard lock(mutex_);
        return stopped_ ? stop_code_ : exit_code_;
    }

    // "3 trackers: 2 ok, 1 timeout; IDs 35712000000001 to 35712000000002".
    std::string Summary() {
        std::lock_guard lock(mutex_);
        return SummaryLocked();
    }

    // The --on-done command for the tracker of `row`, once its row is
    // durable. It holds up only its own port; its failure is told and
    // counted, and changes nothing else.
    void Hook(const LogRow& row) {
        if (!options_.on_done) {
            return;
        }
        std::string differences;
        for (const std::string& name : row.differences) {
            differences += (differences.empty() ? "" : ",") + name;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", row.seconds.value_or(0));
        HookRun run;
        run.command = *options_.on_done;
        run.timeout = options_.on_done_timeout;
        run.environment = {{"QX17_PORT", row.port},
                           {"QX17_STATION", station_},
                           {"QX17_OUTCOME", row.outcome},
                           {"QX17_ID_BEFORE", row.id_before},
                           {"QX17_ID_WRITTEN", row.id_written},
                           {"QX17_DIFFERENCES", differences},
                           {"QX17_SECONDS", seconds},
                           {"QX17_PROFILE_SHA256", profile_sha256_}};
        run.said = [&](const std::string& line) {
            progress_.Message(row.port + ": --on-done: " + line);
        };
        run.stop_now = [] { return CurrentStopLevel() == StopLevel::kNow; };
        const std::string failed = RunHook(run);
        if (!failed.empty()) {
            progress_.Message(row.port + ": --on-done for tracker " + row.id_before + " " + failed +
                              "; the line goes on.");
            progress_.HookFailed(row.port, failed);
            std::lock_guard lock(mutex_);
            ++hooks_failed_;
        }
    }

    const std::string& StationName() const { return station_; }
    const std::string& ProfileHash() const { return profile_sha256_; }

    // The line's end in figures.
    LineEnd End() {
        std::lock_guard lock(mutex_);
        LineEnd end;
        static_cast<LineTotals&>(end) = TotalsLocked();
        end.hooks_failed = hooks_failed_;
        end.not_written = not_written_;
        end.outcomes = outcomes_;
        end.exit_code = stopped_ ? stop_code_ : exit_code_;
        end.summary = SummaryLocked();
        return end;
    }

  private:
    LineTotals TotalsLocked() const {
        LineTotals totals;
        totals.done = done_;
        totals.ok = outcomes_.count("ok") != 0 ? outcomes_.at("ok") : 0;
        totals.first_id = lowest_id_.value_or("");
        totals.last_id = highest_id_.value_or("");
        return totals;
    }

    std::string SummaryLocked() const {
        const std::string unwritten = not_written_ == 0
                                          ? ""
                                          : "; " + std::to_string(not_written_) +
                                                (not_written_ == 1 ? " tracker" : " trackers") +
                                                " not written (waited for the record)";
        if (done_ == 0) {
            return "no tracker done" + unwritten;
        }
        std::string text = std::to_string(done_) + (done_ == 1 ? " tracker:" : " trackers:");
        const char* separator = " ";
        for (const auto& [outcome, count] : outcomes_) {
            text += separator + std::to_string(count) + " " + outcome;
            separator = ", ";
        }
        if (lowest_id_) {
            text += *lowest_id_ == *highest_id_ ? "; ID " + *lowest_id_
                                                : "; IDs " + *lowest_id_ + " to " + *highest_id_;
        }
        if (hooks_failed_ > 0) {
            text += "; --on-done failed for " + std::to_string(hooks_failed_) +
                    (hooks_failed_ == 1 ? " tracker" : " trackers");
        }
        return text + unwritten;
    }

  public:
    const LineOptions& Options() const { return options_; }
    Progress& Reporter() { return progress_; }
    bool GivesIds() const { return options_.id_start.has_value(); }

  private:
    void StopLocked(int exit_code) {
        // A record that cannot be written outranks any other reason to stop.
        if (!stopped_ || exit_code == kExitRecord) {
            stopped_ = true;
            stop_code_ = exit_code;
        }
        finished_ = true;
    }
    const LineOptions& options_;
    Progress& progress_;
    const std::string station_;
    const std::string profile_sha256_;
    // The line's counts and state; never held over a call to the record.
    std::mutex mutex_;
    std::unique_ptr<LineRecord> log_;  // safe to call from any port's thread
    std::mutex reserve_mutex_;
    std::set<std::string> reserved_;  // the ports told an ID is left for them
    long taken_ = 0;
    long not_written_ = 0;
    long hooks_failed_ = 0;
    long done_ = 0;
    std::map<std::string, long> outcomes_;  // trackers done, by outcome
    std::optional<std::string> lowest_id_;  // of the IDs they were given
    std::optional<std::string> highest_id_;
    std::atomic<bool> finished_{false};
    std::mutex away_mutex_;  // held while the record's going or return is told
    std::optional<Clock::time_point> away_since_;
    long rows_waiting_ = 0;  // as last told
    long rows_sent_ = 0;     // since the record went away
    bool stopped_ = false;
    int stop_code_ = kExitDone;
    int exit_code_ = kExitDone;
};

const char* OutcomeOf(LinkFailure failure) {
    switch (failure) {
        case LinkFailure::kTimeout:
            return "timeout";
        case LinkFailure::kInterrupted:
            return "interrupted";
        case LinkFailure::kCannotOpen:
        case LinkFailure::kPortLost:
            break;
    }
    return "port-lost";
}

// The line said when a tracker is done: its outcome, and which ID it holds
// now. A write cut short after the new ID was claimed says whether the
// tracker holds it; the claimed ID is used up either way. `row` gets `ID`
// among its differences when the tracker kept the ID it had.
std::string Said(LogRow& row, const WriteProgress& frames) {
    std::string said = row.port + ": tracker " + row.id_before + " " + row.outcome;
    if (row.id_written.empty()) {
        return said + ".";
    }
    if (row.id_written == row.id_before) {
        return said + ", ID " + row.id_written + " kept.";
    }
    if (row.outcome == "ok" || row.outcome == "verify-failed") {
        return said + ", ID " + row.id_written + ".";
    }
    switch (IdHeldAfter(frames)) {
        case IdHeld::kBefore:
            row.differences.push_back("ID");
            return said + " before its new ID was sent: it still holds " + row.id_before + ". ID " +
                   row.id_written + " is used up all the same (never given out again).";
        case IdHeld::kWritten:
            return said + " after its new ID was written: it holds ID " + row.id_written + ".";
        case IdHeld::kEither:
            break;
    }
    return said + " while its new ID was being written: it holds " + row.id_before + " or " +
           row.id_written + " (`qx17ctl read` tells). ID " + row.id_written +
           " is used up all the same (never given out again).";
}

// One port's part of the line.
class Station {
  public:
    Station(Line& line, TrackerLink& link) : line_(line), link_(link) {}

    void Run() {
        while (CurrentStopLevel() == StopLevel::kNone && !line_.Finished()) {
            try {
                if (!NextTracker()) {
                    break;
                }
            } catch (const std::exception& e) {
                // Not the link's own failure: the port starts afresh.
                line_.Reporter().Message(link_.Port() + ": unexpected error: " + e.what() + ".");
                link_.Close();
            }
        }
        line_.Release(link_.Port());
        line_.Reporter().Clear(link_.Port());
    }

  private:
    // Sleeps for `time`, or less when a stop is asked for: false then.
    static bool Nap(std::chrono::milliseconds time) {
        const Clock::time_point end = Clock::now() + time;
        while (Clock::now() < end) {
            if (CurrentStopLevel() != StopLevel::kNone) {
                return false;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), kSlice));
        }
        return true;
    }

    // Waits for the next tracker and does it; false when the port is done.
    bool NextTracker() {
        if (!link_.IsOpen() && !Reopen()) {
            return true;
        }
        // While the record is away, no tracker is answered.
        std::string why;
        if (!line_.RecordReachable(why)) {
            line_.Reporter().RecordStep(
                link_.Port(),
                "the record is away (" + why + "): no tracker is taken until it is back");
            Nap(kFirstRetry);
            return true;
        }
        // Giving out IDs, the tracker's ID is known to be there before the
        // tracker is answered: none is left waiting after its handshake.
        if (!ReserveId()) {
            return false;
        }
        line_.Reporter().Step(link_.Port(), "waiting for a tracker");
        bool announced = false;
        try {
            announced = link_.AwaitAnnouncement([this] { return line_.Finished(); });
        } catch (const LinkError& e) {
            Lost(e.what());
            return true;
        }
        if (!announced || !line_.TakeTracker()) {
            return false;
        }
        // A tracker that replaced the one being written has been answered
        // already, and will not announce itself again: it is next.
        while (Provision() == After::kReplaced) {
            if (!ReserveId() || !line_.TakeTracker()) {
                return false;
            }
        }
        return true;
    }

    // Giving out IDs, whether one is left for this port's next tracker;
    // when none is, the line stops.
    bool ReserveId() {
        if (!line_.GivesIds() || line_.Reserve(link_.Port())) {
            return true;
        }
        line_.Reporter().Message(link_.Port() +
                                 ": the ID sequence is used up (the next ID would need "
                                 "more than 14 digits); no further tracker is answered.");
        line_.Stop(kExitUsage);
        return false;
    }

    bool Reopen() {
        std::this_thread::sleep_for(line_.Options().reopen_every);
        try {
            link_.Open(false);  // tried every second, its message unseen
            line_.Reporter().Message(link_.Port() + ": open again.");
            return true;
        } catch (const LinkError&) {
            return false;
        }
    }

    void Lost(const std::string& message) {
        line_.Reporter().PortLost(link_.Port());
        line_.Reporter().Message(message + " Opening it again when it is back.");
        link_.Close();
    }

    enum class After { kDone, kReplaced };

    // Does the tracker that was just answered; kReplaced when another one
    // took its place in the middle of the write and is waiting.
    After Provision() {
        const Clock::time_point started = Clock::now();
        After after = After::kDone;
        LogRow row;
        row.time = std::chrono::system_clock::now();
        row.port = link_.Port();
        std::string claim;
        int exit_code = kExitDone;
        WriteProgress frames{};
        try {
            const ImageBytes tracker = ReadTracker(link_);
            row.id_before = ImageToFields(tracker).ID;
            line_.Reporter().TrackerStarted(row.port, row.id_before);
            // The tracker just done here, announcing itself again (a restart),
            // or one just like it: it holds what it was given, its ID
            // included. It gets its row, and is not written again.
            const bool done_here = last_done_ && CompareWritten(*last_done_, tracker).empty();
            row.holds_profile =
                VerifyWritten(MergeProfile(tracker, line_.Options().profile, {}), tracker).empty();
            IdChoice id;
            if (!line_.GivesIds()) {
                row.id_written = MergeProfile(tracker, line_.Options().profile, id).values.ID;
            }
            Line::Claimed claimed;
            std::string why;
            for (auto wait = kFirstRetry;
                 (claimed = line_.Claim(row, claim, why)) == Line::Claimed::kAway;
                 wait = std::min(wait * 2, kLastRetry)) {
                // No tracker is written without its claim: this one waits,
                // answered, until the record is back.
                line_.Reporter().RecordStep(row.port, "the record is away (" + why + "): tracker " +
                                                          row.id_before + " waits for its claim");
                if (!Nap(wait)) {
                    const bool now = CurrentStopLevel() == StopLevel::kNow;
                    line_.Reporter().Message(
                        row.port + ": tracker " + row.id_before +
                        " not written: the line stopped while it waited for its claim (" + why +
                        "). It holds its own ID " + row.id_before + ", as it came.");
                    line_.GiveBackTracker();
                    line_.NotWritten(now ? kExitInterrupted : kExitRecord);
                    return After::kDone;
                }
            }
            if (claimed == Line::Claimed::kNoIdLeft) {
                line_.Reporter().Message(row.port + ": tracker " + row.id_before +
                                         " not written: the ID sequence is used up.");
                line_.GiveBackTracker();
                line_.Stop(kExitUsage);
                return After::kDone;
            }
            if (done_here && row.id_written == row.id_before) {
                line_.Reporter().Message(row.port + ": tracker " + row.id_before +
                                         " holds what this port wrote into it already: it is "
                                         "not written again.");
                row.outcome = "ok";
                row.seconds = std::chrono::duration<double>(Clock::now() - started).count();
                if (line_.Record(row, claim, kExitDone)) {
                    line_.Hook(row);
                }
                return After::kDone;
            }
            if (line_.GivesIds()) {
                id = {IdChoice::Kind::kGiven, row.id_written};
            }
            const WritePlan plan = MergeProfile(tracker, line_.Options().profile, id);
            const TrackerLink::Writing writing(link_);
            if (row.id_written == row.id_before && line_.GivesIds()) {
                line_.Reporter().Message(row.port + ": tracker " + row.id_before +
                                         " holds an ID this record gave it before: it keeps it, "
                                         "and the profile is written again.");
            }
            WriteAll(link_, plan.image, &frames);
            line_.Reporter().Step(row.port, "verify");
            const std::vector<Difference> differences = VerifyWritten(plan, ReadTracker(link_));
            for (const Difference& d : differences) {
                row.differences.push_back(d.name);
                line_.Reporter().Message(row.port + ": " + DescribeDifference(d) + ".");
            }
            row.outcome = differences.empty() ? "ok" : "verify-failed";
            exit_code = differences.empty() ? kExitDone : kExitVerifyFailed;
            if (differences.empty()) {
                last_done_ = plan.image;
            }
        } catch (const RecordError& e) {
            // Nothing was sent with this ID: the tracker is left as it was.
            line_.Reporter().Message(row.port + ": tracker " + row.id_before +
                                     " not written: the record cannot be written: " + e.what() +
                                     ".");
            line_.GiveBackTracker();
            line_.Stop(kExitRecord);
            return After::kDone;
        } catch (const TrackerReplaced& e) {
            // The tracker went, part written; its claimed ID stays used.
            row.outcome = "replaced";
            exit_code = kExitPort;
            after = After::kReplaced;
            line_.Reporter().Message(std::string(e.what()) +
                                     ": the tracker before is part "
                                     "written, the new one is next.");
        } catch (const WriteRefused& e) {
            row.outcome = "refused";
            exit_code = kExitRefused;
            line_.Reporter().Message(row.port + ": " + e.what() + ".");
        } catch (const LinkError& e) {
            row.outcome = OutcomeOf(e.Failure());
            exit_code = ExitCodeOf(e.Failure());
            if (e.Failure() == LinkFailure::kPortLost) {
                Lost(e.what());
            } else {
                line_.Reporter().Message(e.what());
            }
        } catch (const std::exception& e) {
            row.outcome = "error";
            exit_code = kExitError;
            line_.Reporter().Message(row.port + ": unexpected error: " + e.what() + ".");
            link_.Close();
        }
        row.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        line_.Reporter().Message(Said(row, frames));
        if (line_.Record(row, claim, exit_code)) {
            line_.Hook(row);
        }
        return after;
    }

    Line& line_;
    TrackerLink& link_;
    std::optional<ImageBytes> last_done_;  // what the last tracker done ok here holds
};

// "12.3 s", "4 min 05 s", "2 h 03 min".
std::string Duration(Clock::duration time) {
    const double seconds = std::chrono::duration<double>(time).count();
    char text[48];
    if (seconds < 60) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else if (seconds < 3600) {
        const long whole = static_cast<long>(seconds);
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    } else {
        const long minutes = static_cast<long>(seconds / 60);
        std::snprintf(text, sizeof text, "%ld h %02ld min", minutes / 60, minutes % 60);
    }
    return text;
}

}  // namespace

int RunProductionLine(const LineOptions& options, Progress& progress, SerialPlatform& platform) {
    for (const std::string& port : options.ports) {
        if (const std::string problem = PortNameProblem(port); !problem.empty()) {
            progress.Message(problem);
            return kExitUsage;
        }
    }
    const Clock::time_point started = Clock::now();
    Line line(options, progress);
    int exit_code = kExitDone;
    if (!line.Prepare(exit_code)) {
        return exit_code;
    }
    // Every port opens before any tracker is touched.
    std::vector<std::unique_ptr<TrackerLink>> links;
    for (const std::string& port : options.ports) {
        links.push_back(std::make_unique<TrackerLink>(port, options.times, progress, platform));
        try {
            links.back()->Open();
        } catch (const LinkError& e) {
            progress.Message(e.what());
            return kExitPort;
        }
    }
    LineStart start;
    start.station = line.StationName();
    start.ports = options.ports;
    start.profile = options.profile_name;
    start.profile_sha256 = line.ProfileHash();
    start.rows_to = options.rows_to;
    start.gives_ids = options.id_start.has_value();
    progress.LineStarted(start);
    line.TellRowsWaiting();  // rows an earlier run kept, which the record did not take yet
    std::vector<std::thread> threads;
    for (const auto& link : links) {
        threads.emplace_back([&line, &link] { Station(line, *link).Run(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::string error;
    const bool finished = line.FinishRecord(error);
    if (!finished) {
        progress.Message(error + ".");
    }
    LineEnd end = line.End();
    end.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (!finished) {
        end.exit_code = kExitRecord;
    }
    progress.Message("line: " + end.summary + "; " + Duration(Clock::now() - started) +
                     (options.log ? "; log " + options.log->string() : "") +
                     (options.record ? "; record of station " + options.station : "") + ".");
    progress.LineEnded(end);
    return end.exit_code;
}

}  // namespace qx17::ctl
