#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "ctl/exit_codes.h"
#include "ctl/port_admin.h"
#include "serial/port_names_posix.h"

namespace qx17::ctl {

namespace fs = std::filesystem;

namespace {

bool IsCharacterDevice(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

std::string Canonical(const std::string& path) {
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    return error ? path : resolved.string();
}

// Whether another program holds the device: it has the tty in exclusive mode
// (the open is refused as busy) or holds its advisory lock, as this tool
// does. Only asked of a device this user may open.
bool HeldByAnother(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

// Serial devices of the system: adapters by their stable names first.
std::vector<std::string> SerialDevices() {
    std::vector<std::string> devices;
    std::set<std::string> seen;
    std::error_code error;
    std::vector<std::string> by_id;
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
        by_id.push_back(entry.path().string());
    }
    std::sort(by_id.begin(), by_id.end());
    for (const std::string& path : by_id) {
        if (IsCharacterDevice(path) && seen.insert(Canonical(path)).second) {
            devices.push_back(path);
        }
    }
    std::vector<std::string> plain;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
            plain.push_back(entry.path().string());
        }
    }
    std::sort(plain.begin(), plain.end());
    for (const std::string& path : plain) {
        if (IsCharacterDevice(path) && seen.insert(Canonical(path)).second) {
            devices.push_back(path);
        }
    }
    return devices;
}

std::optional<fs::path> LinkOf(const std::string& com, std::ostream& errors) {
    const std::optional<int> number = ComPortNumber(com);
    if (!number) {
        errors << com << ": not a port name (COM1 to COM32).\n";
        return std::nullopt;
    }
    const fs::path folder = DefaultPortFolder();
    if (folder.empty()) {
        errors << "no port folder: neither XDG_CONFIG_HOME nor HOME is set.\n";
        return std::nullopt;
    }
    return folder / ("com" + std::to_string(*number));
}

}  // namespace

int ListPorts(std::ostream& out) {
    const fs::path folder = DefaultPortFolder();
    std::set<std::string> reached;
    out << "Port   Device                                     Exists  Access  Held\n";
    for (int n = 1; n <= 32; ++n) {
        const std::string com = "COM" + std::to_string(n);
        const std::string path = ResolvePortPath(com, folder).value_or("");
        std::error_code error;
        std::string shown = path;
        if (fs::is_symlink(path, error)) {
            shown = path + " -> " + fs::read_symlink(path, error).string();
        }
        const bool exists = IsCharacterDevice(path);
        const bool access = exists && ::access(path.c_str(), R_OK | W_OK) == 0;
        const bool held = access && HeldByAnother(path);
        if (exists) {
            reached.insert(Canonical(path));
        }
        char line[512];
        std::snprintf(line, sizeof line, "%-6s %-42s %-7s %-7s %s\n", com.c_str(), shown.c_str(),
                      exists ? "yes" : "no", exists ? (access ? "yes" : "no") : "-",
                      access ? (held ? "yes" : "no") : "-");
        out << line;
    }
    std::vector<std::string> unreached;
    for (const std::string& device : SerialDevices()) {
        if (reached.count(Canonical(device)) == 0) {
            unreached.push_back(device);
        }
    }
    if (!unreached.empty()) {
        // The first COM name that reaches nothing yet.
        int free = 1;
        while (
            free <= 32 &&
            IsCharacterDevice(ResolvePortPath("COM" + std::to_string(free), folder).value_or(""))) {
            ++free;
        }
        out << "\nSerial devices no COM name reaches yet:\n";
        for (const std::string& device : unreached) {
            out << "  " << device << "\n      qx17ctl link COM" << free << " " << device << "\n";
        }
    }
    return kExitDone;
}

int LinkPort(const std::string& com, const std::string& device, std::ostream& out,
             std::ostream& errors) {
    const std::optional<fs::path> link = LinkOf(com, errors);
    if (!link) {
        return kExitUsage;
    }
    if (!IsCharacterDevice(device)) {
        errors << device << ": not a character device; a port links only to a serial device.\n";
        return kExitUsage;
    }
    const std::string target = device.front() == '/' ? device : fs::absolute(device).string();
    std::error_code error;
    fs::create_directories(link->parent_path(), error);
    // A new link beside the old one, then renamed over it: the port is never
    // without a link on the way.
    const fs::path temporary = link->string() + ".new";
    fs::remove(temporary, error);
    if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link->c_str()) != 0) {
        errors << link->string() << ": " << std::strerror(errno) << ".\n";
        fs::remove(temporary, error);
        return kExitUsage;
    }
    out << com << " -> " << target << " (" << link->string() << ")\n";
    return kExitDone;
}

int UnlinkPort(const std::string& com, std::ostream& out, std::ostream& errors) {
    const std::optional<fs::path> link = LinkOf(com, errors);
    if (!link) {
        return kExitUsage;
    }
    std::error_code error;
    if (!fs::is_symlink(*link, error)) {
        errors << com << ": no link " << link->string() << ".\n";
        return kExitUsage;
    }
    if (!fs::remove(*link, error)) {
        errors << link->string() << ": " << error.message() << ".\n";
        return kExitUsage;
    }
    out << com << ": link removed; it is /dev/ttyS" << (*ComPortNumber(com) - 1) << " again\n";
    return kExitDone;
}

}  // namespace qx17::ctl
