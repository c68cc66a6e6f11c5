// qx17ctl: reads, writes, checks and logs QX17 trackers from the command
// line, on the same serial, protocol and parameter layers as the window.
// Each command is a file of its own in ctl/commands/.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "ctl/commands/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/record/record_worker.h"

namespace {

const char* const kExitCodes =
    "Exit codes: 0 done; 1 verify found a difference (record import: an ID given to another "
    "tracker); 2 bad usage, a bad profile or log (line: "
    "also the ID sequence used up); 3 the port "
    "cannot be opened (or was lost, or the tracker was replaced mid-write); 4 the tracker did not "
    "answer in time; 5 the tracker refused "
    "a write; 6 the record (log or shared record) cannot be written or reached; 7 an unexpected "
    "error mid-tracker; 130 "
    "interrupted by a second Ctrl-C.";

}  // namespace

int main(int argc, char** argv) {
    using namespace qx17::ctl;
    CLI::App app{"Reads, writes, checks and logs QX17 trackers on serial ports.", "qx17ctl"};
    app.set_version_flag("--version", std::string("qx17ctl ") + QX17_VERSION);
    app.require_subcommand(1);
    app.footer(kExitCodes);

    const Command commands[] = {
        AddPortsCommand(app),   AddLinkCommand(app),  AddUnlinkCommand(app),
        AddReadCommand(app),    AddWriteCommand(app), AddDiffCommand(app),
        AddDefaultCommand(app), AddLineCommand(app),  AddRecordCommand(app),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitDone : kExitUsage;
    }
    for (const Command& command : commands) {
        if (command.app->parsed()) {
            const int code = command.run();
            if (RecordThreadsLeft() > 0) {
                // Stopped at once while the record did not answer: what was
                // to be kept is on the disk; the exit's clean-up must not run
                // under the driver that still holds a call.
                std::cout.flush();
                std::cerr.flush();
                std::fflush(nullptr);
                std::_Exit(code);
            }
            return code;
        }
    }
    return kExitUsage;
}
