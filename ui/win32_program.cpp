#include "ui/win32_program.h"

#include <string>

#include "ui/error_box.h"
#include "ui/tform1.h"
#include "ui/win32_toolkit.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17 {

namespace {

// The program file's full path, as the application title is made from it.
std::string ProgramPath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return "qx17eep";
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

int RunWin32Program(FormSettings& settings) {
    Win32Toolkit toolkit;
    TForm1 form(toolkit, settings, ApplicationTitle(ProgramPath()));
    form.Show();
    return toolkit.RunMessageLoop();
}

}  // namespace qx17
