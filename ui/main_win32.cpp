// qx17eep.exe: the QX17 Parameter Editor on Windows.
#include "ui/form_settings.h"
#include "ui/win32_program.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return qx17::RunWin32Program(qx17::DefaultFormSettings());
}
