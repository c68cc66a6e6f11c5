#include "ctl/exit_codes.h"
#include "ctl/serve/summary_server.h"

namespace qx17::ctl {

bool CanServe(std::string& why) {
    why =
        "`record serve` is not available in the Windows program; run it on a Linux computer "
        "(any station's, or the database's host), or use `qx17ctl record summary`";
    return false;
}

int ServeRecord(const ServeOptions&) {
    return kExitUsage;
}

}  // namespace qx17::ctl
