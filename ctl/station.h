// This station: the computer's name (its name in the shared record unless
// --station gives another) and the folder where qx17ctl keeps what must
// survive it, such as the rows that wait for the record.
#pragma once

#include <filesystem>
#include <string>

namespace qx17::ctl {

std::string HostName();

// $XDG_STATE_HOME/Kestrowind/QX17EEP, or ~/.local/state/... (POSIX);
// %LOCALAPPDATA%\Kestrowind\QX17EEP (Windows). Empty when there is no home.
std::filesystem::path StateFolder();

}  // namespace qx17::ctl
