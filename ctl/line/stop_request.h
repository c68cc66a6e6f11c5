// Ctrl-C and its kin (SIGINT, SIGTERM and SIGHUP; Ctrl-C, Ctrl-Break and closing the
// console on Windows). The first asks the program to finish what it is doing
// and stop; a second asks it to stop at once. One file per platform.
#pragma once

namespace qx17::ctl {

enum class StopLevel { kNone = 0, kFinish = 1, kNow = 2 };

// Installs the handlers; until then nothing stops the program but the
// system's defaults.
void InstallStopHandlers();

StopLevel CurrentStopLevel();

// As if Ctrl-C had been pressed: the production line stops when its count of
// trackers is reached this way.
void RequestStop(StopLevel level);

// Back to no stop asked for: a new run in the same process (the tests).
void ClearStopRequest();

// For the platform's handler: one press more (async-signal-safe).
void StepStopLevel();

}  // namespace qx17::ctl
