#include <windows.h>

#include "ctl/host_name.h"

namespace qx17::ctl {

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return "localhost";
    }
    return std::string(name, size);
}

}  // namespace qx17::ctl
