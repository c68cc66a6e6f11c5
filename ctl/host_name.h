// This computer's name: the station's name in the shared record unless
// --station gives another.
#pragma once

#include <string>

namespace qx17::ctl {

std::string HostName();

}  // namespace qx17::ctl
