#include <unistd.h>

#include <array>

#include "ctl/host_name.h"

namespace qx17::ctl {

std::string HostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return "localhost";
    }
    return name.data();
}

}  // namespace qx17::ctl
