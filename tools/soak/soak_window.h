// The soak's parts on the window.
#pragma once

#include "tools/soak/soak_common.h"

namespace qx17::soak {

// "Auto" ticked, a tracker announcing itself again and again with a fault
// chosen at random (every fault but a flipped bit, which only a read-back
// finds): each must end with the tracker holding the window's values or with
// the time-out shown; resident memory within 1 MB of its value after 100.
Report SoakWindow(int announcements, unsigned seed);

// The tracker pulled out in the middle of a read, again and again: the
// time-out is shown, and after Close and Start the port reads again.
Report SoakHangups(int rounds);

}  // namespace qx17::soak
