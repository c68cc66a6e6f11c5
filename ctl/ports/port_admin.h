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
// Without `probe` no port is opened (opening one raises DTR and RTS, which
// resets many boards): on POSIX systems the holders are the processes that
// have the device open, as far as this user may see them, and the programs
// named in live UUCP lock files; on Windows the holders are not known. With
// `probe` each port this user may open is also opened for a moment, and one
// that is locked or in exclusive use counts as held.
int ListPorts(std::ostream& out, bool probe);

// The programs that hold `device_path` open, seen without opening it, as
// "name (pid N)" joined by ", " (the name left out where it is hidden); ""
// when none can be seen. On POSIX systems: the processes this user may look
// into, and live lock files in /var/lock and /run/lock. Always "" on
// Windows, which cannot tell without opening the port.
std::string PortHolders(const std::string& device_path);

// Makes "COMn" the link to `device`, which must be a character device
// (a link to one, such as /dev/serial/by-id/..., is kept as given, so the
// port follows the adapter). Messages go to `errors`. Returns the exit code.
int LinkPort(const std::string& com, const std::string& device, std::ostream& out,
             std::ostream& errors);
int UnlinkPort(const std::string& com, std::ostream& out, std::ostream& errors);

}  // namespace qx17::ctl
