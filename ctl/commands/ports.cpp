// qx17ctl ports: COM1 to COM32 and the serial devices present.
#include <iostream>
#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/ports/port_admin.h"

namespace qx17::ctl {

Command AddPortsCommand(CLI::App& program) {
    auto probe = std::make_shared<bool>(false);
    CLI::App* command = program.add_subcommand(
        "ports",
        "list the ports and the serial devices present; the programs that hold a port are found "
        "without opening it (on Linux: your processes that have it open and live lock files in "
        "/var/lock; on Windows Held shows \"-\" without --probe)");
    command->add_flag("--probe", *probe,
                      "also open each port you may open for a moment, to see whether a program "
                      "has it locked or in exclusive use; opening a port raises DTR and RTS, "
                      "which resets many boards and hangs up modems");
    return {command, [probe] { return ListPorts(std::cout, *probe); }};
}

}  // namespace qx17::ctl
