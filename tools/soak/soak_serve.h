// record serve for a while: viewers of its stream coming and going (up to 64
// at once, one in ten never reading), a row added every few seconds, on a
// PostgreSQL server of the soak's own. Every reading viewer has each new row
// in time, and the server's resident memory stays within 1 MB of its value
// after the first minute.
#pragma once

#include <string>

#include "tools/soak/soak_common.h"

namespace qx17::soak {

Report SoakServe(int minutes, unsigned seed);

// The server SoakServe watches, run as a process of its own: until SIGTERM,
// its port printed on stdout. Returns its exit code.
int ServeForSoak(const std::string& connection);

}  // namespace qx17::soak
