// qx17ctl ports: COM1 to COM32 and the serial devices present.
#include <iostream>

#include "ctl/commands/commands.h"
#include "ctl/port_admin.h"

namespace qx17::ctl {

Command AddPortsCommand(CLI::App& program) {
    CLI::App* command =
        program.add_subcommand("ports", "list the ports and the serial devices present");
    return {command, [] { return ListPorts(std::cout); }};
}

}  // namespace qx17::ctl
