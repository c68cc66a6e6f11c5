// Two stations on one shared record, each a process of its own with two
// ports of virtual trackers, on a PostgreSQL server of the soak's own: random
// tracker faults, one station killed and started again, and the server
// stopped and started again in the middle.
#pragma once

#include <string>
#include <vector>

#include "tools/soak/soak_common.h"

namespace qx17::soak {

Report SoakRecord(int trackers, unsigned seed);

// One station's production line, run by SoakRecord as a process: until
// SIGTERM, on `ports`, with the soak's short time-outs. Returns its exit code.
int RecordStation(const std::string& station, const std::vector<std::string>& ports,
                  const std::string& connection, const std::string& outbox);

}  // namespace qx17::soak
