// qx17eep.exe: the QX17 Parameter Editor on Windows.
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "ui/form_settings.h"
#include "ui/program_options.h"
#include "ui/win32_program.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// A window program has no console of its own: what it has to say goes to the
// output it was given, or else to the console of the program that started it.
void Print(DWORD which, const std::string& text) {
    if (text.empty()) {
        return;
    }
    HANDLE out = ::GetStdHandle(which);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        out = ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    }
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// Line ends as the console shows them.
std::string WithCrLf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    qx17::ProgramOptions options;
    std::ostringstream out, errors;
    const std::optional<int> code =
        qx17::ParseProgramOptions(__argc, __argv, false, options, out, errors);
    Print(STD_OUTPUT_HANDLE, WithCrLf(out.str()));
    Print(STD_ERROR_HANDLE, WithCrLf(errors.str()));
    if (code) {
        return *code;
    }
    const qx17::ChosenSettingsStore settings_store(options);
    return qx17::RunWin32Program(qx17::DefaultFormSettings());
}
