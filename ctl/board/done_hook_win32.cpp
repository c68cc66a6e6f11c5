#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "ctl/board/done_hook.h"

namespace qx17::ctl {

namespace {

using Clock = std::chrono::steady_clock;

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

// The inherited environment without the record's password, with `added`,
// as CreateProcessW takes it: sorted, each NUL-ended, one more NUL at the end.
std::wstring Environment(const HookRun& run) {
    std::vector<std::wstring> variables;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring variable(entry);
            // "=C:=C:\..." entries name a drive's folder: kept as they are.
            const std::wstring name = Upper(variable.substr(0, variable.find(L'=', 1)));
            bool replaced = name == L"PGPASSWORD";
            for (const auto& [key, value] : run.environment) {
                replaced = replaced || name == Upper(Wide(key));
            }
            if (!replaced) {
                variables.push_back(variable);
            }
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [key, value] : run.environment) {
        variables.push_back(Wide(key) + L"=" + Wide(value));
    }
    std::sort(variables.begin(), variables.end(),
              [](const std::wstring& a, const std::wstring& b) { return Upper(a) < Upper(b); });
    std::wstring block;
    for (const std::wstring& variable : variables) {
        block += variable;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

std::string LastError(const char* what) {
    return std::string("cannot be started: ") + what + " failed (error " +
           std::to_string(GetLastError()) + ")";
}

}  // namespace

std::string RunHook(const HookRun& run) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return LastError("CreatePipe");
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    // A job holds it and everything it starts, so that stopping it stops them.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job) {
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring line = L"cmd.exe /d /s /c \"" + Wide(run.command) + L"\"";
    std::wstring environment = Environment(run);
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | CREATE_NO_WINDOW,
                       environment.data(), nullptr, &startup, &process);
    const std::string not_started = started ? "" : LastError("CreateProcess");
    CloseHandle(write_end);
    if (nothing != INVALID_HANDLE_VALUE) {
        CloseHandle(nothing);
    }
    if (!started) {
        CloseHandle(read_end);
        if (job) {
            CloseHandle(job);
        }
        return not_started;
    }
    if (job) {
        AssignProcessToJobObject(job, process.hProcess);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    const Clock::time_point deadline = Clock::now() + run.timeout;
    std::string text;
    std::string stopped;
    bool open = true;
    bool exited = false;
    while (open || !exited) {
        const bool late = Clock::now() >= deadline;
        if (late || (run.stop_now && run.stop_now())) {
            if (!exited) {
                stopped = StoppedBecause(run, late);
            }
            if (job) {
                TerminateJobObject(job, 1);
            }
            if (!exited) {
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, INFINITE);
            }
            break;
        }
        DWORD available = 0;
        if (open && !PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) {
            open = false;  // broken: everything that held it is done
        }
        if (open && available > 0) {
            char buffer[4096];
            DWORD n = 0;
            if (ReadFile(read_end, buffer, std::min<DWORD>(available, sizeof buffer), &n,
                         nullptr) &&
                n > 0) {
                text.append(buffer, n);
                HandOnLines(text, run, false);
            }
            continue;
        }
        if (!exited) {
            exited = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
        } else {
            Sleep(20);
        }
    }
    CloseHandle(read_end);
    HandOnLines(text, run, true);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    if (job) {
        CloseHandle(job);
    }
    if (!stopped.empty()) {
        return stopped;
    }
    return code == 0 ? "" : "ended with " + std::to_string(code);
}

}  // namespace qx17::ctl
