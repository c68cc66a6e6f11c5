// This station: the computer's name (its name in the shared record unless
// --station gives another) and the folder where qx17ctl keeps what must
// survive it, such as the rows that wait for the record.
#pragma once

#include <filesystem>
#include <string>

namespace qx17::ctl {

std::string HostName();

// This process's number, whether a process of that number runs on this
// computer, and what tells this run of the computer from its other runs
// (a process number of an earlier run means nothing now).
long ProcessId();
bool ProcessAlive(long pid);
std::string BootId();
// Whether two BootIds are of one run of the computer (on Windows they are
// reckoned to the minute, so a minute either way is the same run).
bool SameBoot(const std::string& a, const std::string& b);

// $XDG_STATE_HOME/Kestrowind/QX17EEP, or ~/.local/state/... (POSIX);
// %LOCALAPPDATA%\Kestrowind\QX17EEP (Windows). Empty when there is no home.
std::filesystem::path StateFolder();

}  // namespace qx17::ctl
