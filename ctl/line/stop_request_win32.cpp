#include "ctl/line/stop_request.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace qx17::ctl {

namespace {

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            StepStopLevel();
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallStopHandlers() {
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace qx17::ctl
