#include <windows.h>

#include <cstdlib>

#include "ctl/station.h"

namespace qx17::ctl {

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return "localhost";
    }
    return std::string(name, size);
}

std::filesystem::path StateFolder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0') {
        return {};
    }
    return std::filesystem::path(local) / "Kestrowind" / "QX17EEP";
}

}  // namespace qx17::ctl
