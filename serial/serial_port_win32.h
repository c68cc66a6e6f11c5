// The Windows backend's translation between the shared control block and the
// system's DCB, declared for the backend's own tests (tests/win32/) only.
//
// <windows.h> defines some of the project headers' names (EV_RLSD,
// PURGE_TXABORT, THREAD_PRIORITY_HIGHEST, WM_USER ...) as macros: include this
// header after the project's other headers, and before anything else that
// includes <windows.h>.
#pragma once

#include "serial/control_block.h"
#include "serial/serial_port.h"
#include "serial/thread.h"

#include <windows.h>

namespace qx17::win32 {

// The flag word's bits go one by one into the DCB's bit fields and back.
DCB ToDcb(const ControlBlock& block);
ControlBlock FromDcb(const DCB& dcb);

}  // namespace qx17::win32
