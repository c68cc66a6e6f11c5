#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ctl/exit_codes.h"
#include "ctl/ports/port_admin.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17::ctl {

namespace {

bool IsComName(const std::string& text) {
    return text.size() > 3 && _strnicmp(text.c_str(), "COM", 3) == 0 &&
           text.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The COM ports the system lists: the DOS device names that start with COM,
// and the serial ports of the device map (where the drivers enter them).
std::vector<std::string> SystemPorts() {
    std::vector<std::string> ports;
    const auto add = [&](const std::string& name) {
        if (IsComName(name) && std::find(ports.begin(), ports.end(), name) == ports.end()) {
            ports.push_back(name);
        }
    };
    std::vector<char> names(65536);
    const DWORD length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    for (const char* name = names.data(); length != 0 && *name != '\0';
         name += std::strlen(name) + 1) {
        add(name);
    }
    HKEY map = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char value_name[256];
            DWORD name_size = sizeof value_name;
            BYTE data[256];
            DWORD data_size = sizeof data - 1;
            DWORD type = 0;
            if (::RegEnumValueA(map, i, value_name, &name_size, nullptr, &type, data, &data_size) !=
                ERROR_SUCCESS) {
                break;
            }
            if (type == REG_SZ) {
                data[data_size] = 0;
                add(reinterpret_cast<const char*>(data));
            }
        }
        ::RegCloseKey(map);
    }
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(3)) < std::stoi(b.substr(3));
    });
    return ports;
}

}  // namespace

int ListPorts(std::ostream& out, bool probe) {
    // Windows tells whether a port is in use only to an open (access denied),
    // so without --probe no port is opened and Held is "-".
    char line[1200];
    std::snprintf(line, sizeof line, "%-6s %-4s %s\n", "Port", "Held", "Device");
    out << line;
    for (const std::string& port : SystemPorts()) {
        char target[1024] = {};
        ::QueryDosDeviceA(port.c_str(), target, sizeof target);
        const char* held = "-";
        if (probe) {
            const std::string path = "\\\\.\\" + port;
            HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
            held = handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED ? "yes"
                                                                                             : "no";
            if (handle != INVALID_HANDLE_VALUE) {
                ::CloseHandle(handle);
            }
        }
        std::snprintf(line, sizeof line, "%-6s %-4s %s\n", port.c_str(), held, target);
        out << line;
    }
    return kExitDone;
}

std::string PortHolders(const std::string&) {
    return "";
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
