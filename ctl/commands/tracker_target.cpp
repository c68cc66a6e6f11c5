#include "ctl/commands/tracker_target.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

#include "ctl/exit_codes.h"
#include "ctl/line/stop_request.h"
#include "ctl/output/progress.h"
#include "ctl/ports/port_advice.h"
#include "params/field_rules.h"

namespace qx17::ctl {

void AddPortArgument(CLI::App& command, TrackerTarget& target) {
    command.add_option("PORT", target.port, "COMn, or a device path starting with /")->required();
}

void AddLinkOptions(CLI::App& command, LinkTimes& times) {
    command
        .add_option("--retries", times.retries,
                    "send an unanswered read or Default again N times; for an unanswered "
                    "write-all frame, read the tracker and send what it lacks, N times")
        ->default_val(1)
        ->check(CLI::Range(0, 100));
}

std::string CheckIdDigits(const std::string& text) {
    if (text.empty() || !Accepts(FieldRule::kTrackerId, text)) {
        return "a tracker ID is 1 to 14 digits";
    }
    return "";
}

void AddIdOption(CLI::App& command, std::string& id) {
    command
        .add_option("--id", id,
                    "the ID to give: DIGITS, or 'profile' for the profile's "
                    "(default: the tracker keeps its own)")
        ->check([](const std::string& text) {
            return text == "profile" ? std::string() : CheckIdDigits(text);
        });
}

IdChoice ParseIdChoice(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    if (text == "profile") {
        return {IdChoice::Kind::kProfile, ""};
    }
    return {IdChoice::Kind::kGiven, text};
}

int OnTracker(const TrackerTarget& target, Progress& progress,
              const std::function<int(TrackerLink&)>& work) {
    if (const std::string problem = PortNameProblem(target.port); !problem.empty()) {
        progress.Message(problem);
        return kExitUsage;
    }
    TrackerLink link(target.port, target.times, progress, *target.platform);
    try {
        link.Open();
        const int code = work(link);
        progress.Finish();
        return code;
    } catch (const LinkError& e) {
        progress.Finish();
        progress.Message(e.what());
        return ExitCodeOf(e.Failure());
    } catch (const WriteRefused& e) {
        progress.Finish();
        progress.Message(target.port + ": " + e.what() + ".");
        return kExitRefused;
    }
}

namespace {

// Says at once what the first Ctrl-C does, so that nobody presses it again
// to make something happen: a thread that looks at the stop level while the
// command runs, and ends with it.
std::jthread NoticeOfStop(Progress& progress) {
    return std::jthread([&progress](const std::stop_token& stop) {
        std::mutex mutex;
        std::condition_variable_any wake;  // woken only by the request to end
        std::unique_lock lock(mutex);
        const auto asked = [] { return CurrentStopLevel() == StopLevel::kFinish; };
        while (!stop.stop_requested()) {
            if (wake.wait_for(lock, stop, std::chrono::milliseconds(50), asked)) {
                progress.Message("finishing the tracker in progress; Ctrl-C again to stop now");
                return;
            }
        }
    });
}

}  // namespace

int WithProgress(const std::function<int(Progress&)>& command, std::unique_ptr<Progress> progress) {
    InstallStopHandlers();
    if (!progress) {
        progress = std::make_unique<Progress>(StdoutTakesSequences());
    }
    const std::jthread notice = NoticeOfStop(*progress);
    return command(*progress);
}

}  // namespace qx17::ctl
