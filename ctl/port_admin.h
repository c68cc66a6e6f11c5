// The ports qx17ctl can reach, and on POSIX systems the links that make a
// device a "COMn" port. One implementation per platform.
#pragma once

#include <ostream>
#include <string>

namespace qx17::ctl {

// Prints the ports with what each resolves to, whether it exists, whether
// this user may open it and whether another program holds it; then, on
// POSIX systems, the serial devices no COM name reaches yet, each with the
// command that links it. Returns the exit code.
int ListPorts(std::ostream& out);

// Makes "COMn" the link to `device`, which must be a character device
// (a link to one, such as /dev/serial/by-id/..., is kept as given, so the
// port follows the adapter). Messages go to `errors`. Returns the exit code.
int LinkPort(const std::string& com, const std::string& device, std::ostream& out,
             std::ostream& errors);
int UnlinkPort(const std::string& com, std::ostream& out, std::ostream& errors);

}  // namespace qx17::ctl
