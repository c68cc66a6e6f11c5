// qx17ctl default PORT: the tracker's "Default" command, acknowledged.
#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/exit_codes.h"
#include "ctl/output/progress.h"

namespace qx17::ctl {

int DefaultCommand(const TrackerTarget& target, Progress& progress, std::ostream& out) {
    return OnTracker(target, progress, [&](TrackerLink& link) {
        SendDefault(link);
        progress.Finish();
        out << target.port << ": Default acknowledged\n";
        return kExitDone;
    });
}

Command AddDefaultCommand(CLI::App& program) {
    auto target = std::make_shared<TrackerTarget>();
    CLI::App* command =
        program.add_subcommand("default", "send the tracker its \"Default\" command");
    AddPortArgument(*command, *target);
    AddLinkOptions(*command, target->times);
    return {command, [target] {
                return WithProgress([&](Progress& progress) {
                    return DefaultCommand(*target, progress, std::cout);
                });
            }};
}

}  // namespace qx17::ctl
