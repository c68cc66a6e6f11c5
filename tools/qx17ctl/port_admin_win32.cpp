#include <string>
#include <vector>

#include "tools/qx17ctl/exit_codes.h"
#include "tools/qx17ctl/port_admin.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17::ctl {

namespace {

// The COM ports the system knows: the DOS device names that start with COM.
std::vector<std::string> SystemPorts() {
    std::vector<char> names(65536);
    DWORD length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<std::string> ports;
    for (const char* name = names.data(); length != 0 && *name != '\0';
         name += std::strlen(name) + 1) {
        const std::string text = name;
        if (text.size() > 3 && _strnicmp(text.c_str(), "COM", 3) == 0 &&
            text.find_first_not_of("0123456789", 3) == std::string::npos) {
            ports.push_back(text);
        }
    }
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(3)) < std::stoi(b.substr(3));
    });
    return ports;
}

}  // namespace

int ListPorts(std::ostream& out) {
    out << "Port   Device                                     Held\n";
    for (const std::string& port : SystemPorts()) {
        char target[1024] = {};
        ::QueryDosDeviceA(port.c_str(), target, sizeof target);
        const std::string path = "\\\\.\\" + port;
        HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
        const bool held = handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED;
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
        char line[1200];
        std::snprintf(line, sizeof line, "%-6s %-42s %s\n", port.c_str(), target,
                      held ? "yes" : "no");
        out << line;
    }
    return kExitDone;
}

int LinkPort(const std::string&, const std::string&, std::ostream&, std::ostream& errors) {
    errors << "link: on Windows the system names the ports (Device Manager).\n";
    return kExitUsage;
}

int UnlinkPort(const std::string&, std::ostream&, std::ostream& errors) {
    errors << "unlink: on Windows the system names the ports (Device Manager).\n";
    return kExitUsage;
}

}  // namespace qx17::ctl
