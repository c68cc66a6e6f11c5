// qx17ctl unlink COMn: removes the link that makes a device COMn (POSIX).
#include <iostream>
#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/ports/port_admin.h"

namespace qx17::ctl {

Command AddUnlinkCommand(CLI::App& program) {
    auto com = std::make_shared<std::string>();
    CLI::App* command = program.add_subcommand("unlink", "remove the link of COMn (POSIX)");
    command->add_option("COMn", *com, "the port name")->required();
    return {command, [com] { return UnlinkPort(*com, std::cout, std::cerr); }};
}

}  // namespace qx17::ctl
