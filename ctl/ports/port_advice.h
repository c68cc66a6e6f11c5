// What qx17ctl tells a user about a port it cannot use: a name that is no
// port here, and, when opening failed, what the name resolved to and what
// to do about it. One implementation per platform.
#pragma once

#include <string>

namespace qx17::ctl {

// Empty when `port` names a port on this system; otherwise the whole
// message ("COM99: not a port name (COM1 to COM32).").
std::string PortNameProblem(const std::string& port);

// Said after the serial layer's "PORT: Error opening serial port (reason)."
// for `reason`: what `port` resolved to and why it could not be opened, with
// what to do (the group to join, the command that lists or links ports, the
// program that holds it). Empty when there is nothing useful to add.
std::string OpenFailureAdvice(const std::string& port, const std::string& reason);

}  // namespace qx17::ctl
