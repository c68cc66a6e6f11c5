// qx17ctl link COMn DEVICE: makes a serial device the port COMn (POSIX).
#include <iostream>
#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/ports/port_admin.h"

namespace qx17::ctl {

Command AddLinkCommand(CLI::App& program) {
    struct Options {
        std::string com;
        std::string device;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command =
        program.add_subcommand("link", "make COMn the link to a serial device (POSIX)");
    command->add_option("COMn", options->com, "the port name")->required();
    command->add_option("DEVICE", options->device, "the device, e.g. /dev/serial/by-id/...")
        ->required();
    return {command,
            [options] { return LinkPort(options->com, options->device, std::cout, std::cerr); }};
}

}  // namespace qx17::ctl
