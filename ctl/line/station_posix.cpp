#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "ctl/line/station.h"

namespace qx17::ctl {

std::string HostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) {
        return "localhost";
    }
    return name.data();
}

long ProcessId() {
    return static_cast<long>(::getpid());
}

bool ProcessAlive(long pid) {
    // EPERM: it runs, as another user.
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::string BootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

bool SameBoot(const std::string& a, const std::string& b) {
    return a == b;
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
