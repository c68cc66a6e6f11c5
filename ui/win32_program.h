// The program on Windows: the native toolkit and the window, and the message
// loop until the window closes.
#pragma once

#include "ui/form_settings.h"

namespace qx17 {

// Runs the program; returns the message loop's exit code.
int RunWin32Program(FormSettings& settings);

}  // namespace qx17
