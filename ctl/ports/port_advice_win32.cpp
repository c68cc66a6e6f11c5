#include <string>

#include "ctl/ports/port_advice.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17::ctl {

// Windows names its ports itself (COM1 to COM256): the system decides.
std::string PortNameProblem(const std::string&) {
    return "";
}

std::string OpenFailureAdvice(const std::string& port, const std::string& reason) {
    char target[1024] = {};
    if (::QueryDosDeviceA(port.c_str(), target, sizeof target) == 0) {
        return port +
               " is not present. `qx17ctl ports` lists the ports; Device Manager shows "
               "which port an adapter was given.";
    }
    // A port that is there and cannot be opened is, on Windows, in use: its
    // driver lets one program at a time have it.
    (void)reason;
    return "Another program has " + port +
           " open. Close it (the window's port, another qx17ctl) and try again.";
}

}  // namespace qx17::ctl
