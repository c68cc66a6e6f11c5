// The soak's parts on qx17ctl and on the files.
#pragma once

#include "tools/soak/soak_common.h"

namespace qx17::soak {

// The production line on four ports, trackers announcing themselves one
// after the other with a fault chosen at random (a flipped bit among them):
// every row's outcome must match the tracker's memory (no "ok" on a tracker
// that does not hold the profile), no ID given twice; resident memory
// within 1 MB of its value after the first 100 trackers.
Report SoakLine(int trackers, unsigned seed);

// SIGKILL at random moments of a process saving the settings file, and of
// one appending rows to the line's log: never a broken file or row.
Report SoakKilledSaves(int rounds, unsigned seed);
Report SoakKilledLog(int rounds, unsigned seed);

}  // namespace qx17::soak
