#include "ctl/production_line.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "ctl/durable_file.h"
#include "ctl/exit_codes.h"
#include "ctl/line_log.h"
#include "ctl/progress.h"
#include "ctl/provisioning.h"

namespace qx17::ctl {

namespace {

using Clock = std::chrono::steady_clock;

// What the ports share.
class Line {
  public:
    Line(const LineOptions& options, Progress& progress) : options_(options), progress_(progress) {}

    bool Prepare(int& exit_code) {
        if (options_.log) {
            std::string error;
            log_ = LineLog::Open(*options_.log, error);
            if (!log_) {
                progress_.Message(options_.log->string() + ": " + error + ".");
                exit_code = kExitUsage;
                return false;
            }
        }
        if (options_.id_start) {
            if (!log_) {
                progress_.Message("--id-start needs --log: the log is the record of the IDs used.");
                exit_code = kExitUsage;
                return false;
            }
            claim_ = ExclusiveClaim::Try(options_.log->string() + ".ids");
            if (!claim_->Held()) {
                progress_.Message(options_.log->string() +
                                  ": another qx17ctl line gives out IDs from this log.");
                exit_code = kExitUsage;
                return false;
            }
            ids_.emplace(*options_.id_start, log_->WrittenIds());
        }
        return true;
    }

    // A tracker has announced itself: may it be taken, with the count?
    bool TakeTracker() {
        std::lock_guard lock(mutex_);
        if (options_.count && taken_ >= *options_.count) {
            return false;
        }
        ++taken_;
        return true;
    }
    void GiveBackTracker() {
        std::lock_guard lock(mutex_);
        --taken_;
    }

    std::optional<std::string> NextId() {
        std::lock_guard lock(mutex_);
        return ids_->Next();
    }

    void Record(const LogRow& row, int exit_code) {
        std::lock_guard lock(mutex_);
        if (log_ && !log_->Append(row)) {
            progress_.Message(options_.log->string() + ": cannot append the row of " + row.port +
                              ".");
            exit_code_ = kExitUsage;
        }
        if (exit_code != kExitDone) {
            exit_code_ = exit_code;
        }
        ++done_;
        if (options_.count && done_ >= *options_.count) {
            finished_ = true;
        }
    }

    // The count is reached, or the ID sequence used up: the ports stop waiting.
    bool Finished() const { return finished_; }
    void Finish() { finished_ = true; }

    int ExitCode() {
        std::lock_guard lock(mutex_);
        return exit_code_;
    }

    const LineOptions& Options() const { return options_; }
    Progress& Reporter() { return progress_; }
    bool GivesIds() const { return options_.id_start.has_value(); }

  private:
    const LineOptions& options_;
    Progress& progress_;
    std::mutex mutex_;
    std::unique_ptr<LineLog> log_;
    std::unique_ptr<ExclusiveClaim> claim_;
    std::optional<IdSequence> ids_;
    long taken_ = 0;
    long done_ = 0;
    std::atomic<bool> finished_{false};
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

// One port's part of the line.
class Station {
  public:
    Station(Line& line, TrackerLink& link) : line_(line), link_(link) {}

    void Run() {
        Progress& progress = line_.Reporter();
        while (CurrentStopLevel() == StopLevel::kNone && !line_.Finished()) {
            if (!link_.IsOpen() && !Reopen()) {
                continue;
            }
            progress.Step(link_.Port(), "waiting for a tracker");
            bool announced = false;
            try {
                announced = link_.AwaitAnnouncement([this] { return line_.Finished(); });
            } catch (const LinkError& e) {
                Lost(e.what());
                continue;
            }
            if (!announced) {
                break;
            }
            if (!line_.TakeTracker()) {
                break;
            }
            Provision();
        }
        progress.Clear(link_.Port());
    }

  private:
    bool Reopen() {
        std::this_thread::sleep_for(line_.Options().reopen_every);
        try {
            link_.Open();
            line_.Reporter().Message(link_.Port() + ": open again.");
            return true;
        } catch (const LinkError&) {
            return false;
        }
    }

    void Lost(const std::string& message) {
        line_.Reporter().Message(message + " Opening it again when it is back.");
        link_.Close();
    }

    void Provision() {
        const Clock::time_point started = Clock::now();
        LogRow row;
        row.time = std::chrono::system_clock::now();
        row.port = link_.Port();
        int exit_code = kExitDone;
        try {
            const ImageBytes tracker = ReadTracker(link_);
            row.id_before = ImageToFields(tracker).ID;
            if (!last_done_.empty() && row.id_before == last_done_) {
                // The tracker just done, announcing itself again (a restart).
                line_.Reporter().Message(row.port + ": tracker " + row.id_before +
                                         " is done already; waiting for the next one.");
                line_.GiveBackTracker();
                return;
            }
            IdChoice id;
            if (line_.GivesIds()) {
                const std::optional<std::string> next = line_.NextId();
                if (!next) {
                    line_.Reporter().Message(row.port + ": the ID sequence is used up.");
                    line_.GiveBackTracker();
                    line_.Finish();
                    return;
                }
                id = {IdChoice::Kind::kGiven, *next};
            }
            const WritePlan plan = MergeProfile(tracker, line_.Options().profile, id);
            row.id_written = plan.values.ID;
            WriteAll(link_, plan.image);
            line_.Reporter().Step(row.port, "verify");
            const std::vector<Difference> differences =
                CompareWritten(plan.image, ReadTracker(link_));
            for (const Difference& d : differences) {
                row.differences.push_back(d.name);
                line_.Reporter().Message(row.port + ": " + d.name + " written \"" + d.written +
                                         "\", read \"" + d.read + "\".");
            }
            row.outcome = differences.empty() ? "ok" : "verify-failed";
            exit_code = differences.empty() ? kExitDone : kExitVerifyFailed;
            if (differences.empty()) {
                last_done_ = row.id_written;
            }
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
        }
        row.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        line_.Reporter().Message(row.port + ": tracker " + row.id_before + " " + row.outcome +
                                 (row.id_written.empty() ? "" : ", ID " + row.id_written) + ".");
        line_.Record(row, exit_code);
    }

    Line& line_;
    TrackerLink& link_;
    std::string last_done_;  // the ID of the last tracker that ended ok here
};

}  // namespace

int RunProductionLine(const LineOptions& options, Progress& progress, SerialPlatform& platform) {
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
    std::vector<std::thread> threads;
    for (const auto& link : links) {
        threads.emplace_back([&line, &link] { Station(line, *link).Run(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return line.ExitCode();
}

}  // namespace qx17::ctl
