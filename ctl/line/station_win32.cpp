#include <windows.h>

#include <cstdlib>

#include "ctl/line/station.h"

namespace qx17::ctl {

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return "localhost";
    }
    return std::string(name, size);
}

long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

bool ProcessAlive(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;  // it runs, as another user
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

std::string BootId() {
    // The time the computer started, to the minute: the same all through
    // one run of it.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG booted = ticks / 10000 - GetTickCount64();  // milliseconds
    return std::to_string(booted / 60000);
}

bool SameBoot(const std::string& a, const std::string& b) {
    char* end_a = nullptr;
    char* end_b = nullptr;
    const long long x = std::strtoll(a.c_str(), &end_a, 10);
    const long long y = std::strtoll(b.c_str(), &end_b, 10);
    if (a.empty() || b.empty() || *end_a != '\0' || *end_b != '\0') {
        return a == b;
    }
    return x - y <= 1 && y - x <= 1;
}

std::filesystem::path StateFolder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0') {
        return {};
    }
    return std::filesystem::path(local) / "Kestrowind" / "QX17EEP";
}

}  // namespace qx17::ctl
