// qx17ctl write PORT PROFILE [--id DIGITS|profile] [--no-verify]: a profile
// into one tracker, read back and compared.
#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/exit_codes.h"
#include "ctl/output/progress.h"
#include "ctl/profiles/profile_file.h"
#include "params/ansi_text.h"

namespace qx17::ctl {

namespace {

// Announcements in the middle of a write taken for a new tracker, before
// the write gives up: a tracker that keeps restarting is not written.
constexpr int kMostRestarts = 3;

// Reads the tracker, writes the profile into its memory, and reads it back.
int WriteTracker(const TrackerTarget& target, TrackerLink& link, const FieldValues& profile,
                 const IdChoice& id, bool verify, Progress& progress, std::ostream& out) {
    const ImageBytes tracker = ReadTracker(link);
    const WritePlan plan = MergeProfile(tracker, profile, id);
    const TrackerLink::Writing writing(link);
    WriteAll(link, plan.image);
    const std::string tracker_id = ImageToFields(tracker).ID;
    if (!verify) {
        progress.Finish();
        out << target.port << ": tracker " << tracker_id << " written, ID " << plan.values.ID
            << " (not verified)\n";
        return kExitDone;
    }
    const std::vector<Difference> differences = VerifyWritten(plan, ReadTracker(link));
    progress.Finish();
    for (const Difference& d : differences) {
        progress.Message(target.port + ": " + DescribeDifference(d) + ".");
    }
    if (!differences.empty()) {
        return kExitVerifyFailed;
    }
    out << target.port << ": tracker " << tracker_id << " written and verified, ID "
        << plan.values.ID << "\n";
    return kExitDone;
}

}  // namespace

int WriteCommand(const TrackerTarget& target, const std::filesystem::path& profile_file,
                 const IdChoice& id, bool verify, Progress& progress, std::ostream& out) {
    FieldValues profile;
    try {
        profile = LoadProfile(profile_file);
    } catch (const BadProfile& e) {
        progress.Message(e.what());
        return kExitUsage;
    }
    return OnTracker(target, progress, [&](TrackerLink& link) {
        for (int restart = 0;; ++restart) {
            try {
                return WriteTracker(target, link, profile, id, verify, progress, out);
            } catch (const TrackerReplaced& e) {
                if (restart == kMostRestarts) {
                    throw LinkError(LinkFailure::kPortLost,
                                    std::string(e.what()) + ", again: giving up.");
                }
                // What went before went to another tracker: this one is
                // written whole, from its own memory.
                progress.Message(std::string(e.what()) + ": writing it from its read.");
            }
        }
    });
}

Command AddWriteCommand(CLI::App& program) {
    struct Options {
        TrackerTarget target;
        std::string profile;
        std::string id;
        bool no_verify = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command =
        program.add_subcommand("write", "write a profile into a tracker and verify it");
    AddPortArgument(*command, options->target);
    command->add_option("PROFILE", options->profile, "the values to write")->required();
    AddIdOption(*command, options->id);
    command->add_flag("--no-verify", options->no_verify, "do not read the tracker back");
    AddLinkOptions(*command, options->target.times);
    return {command, [options] {
                return WithProgress([&](Progress& progress) {
                    return WriteCommand(options->target, options->profile,
                                        ParseIdChoice(options->id), !options->no_verify, progress,
                                        std::cout);
                });
            }};
}

}  // namespace qx17::ctl
