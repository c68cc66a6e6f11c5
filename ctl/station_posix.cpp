#include <unistd.h>

#include <array>
#include <cstdlib>

#include "ctl/station.h"

namespace qx17::ctl {

std::string HostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return "localhost";
    }
    return name.data();
}

std::filesystem::path StateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base;
    if (state != nullptr && *state != '\0') {
        base = state;
    } else if (home != nullptr && *home != '\0') {
        base = std::filesystem::path(home) / ".local" / "state";
    } else {
        return {};
    }
    return base / "Kestrowind" / "QX17EEP";
}

}  // namespace qx17::ctl
