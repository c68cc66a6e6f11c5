// qx17eep.exe: the QX17 Parameter Editor on Windows.
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/form_settings.h"
#include "ui/win32_program.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// A window program has no console of its own: the version goes to the
// output it was given, or else to the console of the program that started it.
void PrintLine(const std::string& line) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        out = ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    }
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        ::WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc == 2 && std::strcmp(__argv[1], "--version") == 0) {
        PrintLine(std::string("qx17eep ") + QX17_VERSION + "\r\n");
        return 0;
    }
    return qx17::RunWin32Program(qx17::DefaultFormSettings());
}
