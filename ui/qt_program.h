// The program on Qt: the application object, the Qt toolkit and the window,
// and the event loop until the window closes.
#pragma once

#include <functional>

#include "ui/form_settings.h"

namespace qx17 {

class TForm1;

struct ProgramHooks {
    // Called once, from the event loop, after the window has been shown and
    // first drawn.
    std::function<void(TForm1&)> on_shown;
};

// Runs the program; returns the event loop's exit code. Qt's own command-line
// options (-platform, -style ...) are taken by Qt; any other word left in
// argv is refused with exit code 2 (the program's own options are parsed
// before, by ParseProgramOptions).
int RunQtProgram(int argc, char** argv, FormSettings& settings, const ProgramHooks& hooks = {});

}  // namespace qx17
