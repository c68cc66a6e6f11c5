#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "ctl/exit_codes.h"
#include "ctl/output/text_columns.h"
#include "ctl/ports/port_admin.h"
#include "ctl/ports/port_advice.h"
#include "ctl/ports/port_holders_posix.h"
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
// does. Only asked of a device this user may open, and only with --probe:
// the open raises DTR and RTS.
bool ProbeHeld(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

// Whether the process `pid` is among `holders` already.
bool Listed(const std::vector<PortHolder>& holders, pid_t pid) {
    return std::any_of(holders.begin(), holders.end(),
                       [pid](const PortHolder& seen) { return seen.pid == pid; });
}

bool IsAlive(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// /proc/<pid>/comm: readable for every process, unlike its descriptors.
std::string ProgramName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// A PID as a lock file holds it: ASCII digits with blanks around them, or a
// binary int of exactly its size. 0 when it is neither.
pid_t LockFilePid(const std::string& content) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const std::size_t first = content.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && std::isdigit(static_cast<unsigned char>(content[first]))) {
        char* end = nullptr;
        const long pid = std::strtol(content.c_str() + first, &end, 10);
        if (std::all_of(static_cast<const char*>(end), content.c_str() + content.size(), blank) &&
            pid > 0 && pid <= 0x7fffffff) {
            return static_cast<pid_t>(pid);
        }
    }
    if (content.size() == sizeof(int)) {
        int pid = 0;
        std::memcpy(&pid, content.data(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    return 0;
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

std::string DescribeHolders(const std::vector<PortHolder>& holders) {
    std::string text;
    for (const PortHolder& holder : holders) {
        if (!text.empty()) {
            text += ", ";
        }
        const std::string pid = "pid " + std::to_string(holder.pid);
        text += holder.program.empty() ? pid : holder.program + " (" + pid + ")";
    }
    return text;
}

OpenDevices OpenDevices::Scan() {
    OpenDevices scan;
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        const std::string name = process.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        const std::string fd_folder = process.path().string() + "/fd";
        DIR* fds = ::opendir(fd_folder.c_str());
        if (fds == nullptr) {
            // EACCES: another user's process; ENOENT: it has just ended.
            if (errno != ENOENT) {
                scan.every_process_seen_ = false;
            }
            continue;
        }
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            // Only descriptors that lead into /dev are stat()ed: a stat of a
            // file on a network mount that stopped answering would hang.
            const std::string fd = fd_folder + "/" + entry->d_name;
            char target[16] = {};
            if (::readlink(fd.c_str(), target, sizeof target - 1) < 5 ||
                std::strncmp(target, "/dev/", 5) != 0) {
                continue;
            }
            struct stat info;
            if (::stat(fd.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
                scan.opened_.push_back({info.st_rdev, pid});
            }
        }
        ::closedir(fds);
    }
    return scan;
}

std::vector<PortHolder> OpenDevices::Holders(dev_t device) const {
    std::vector<PortHolder> holders;
    for (const Opened& opened : opened_) {
        if (opened.device == device && !Listed(holders, opened.pid)) {
            holders.push_back({opened.pid, ProgramName(opened.pid)});
        }
    }
    return holders;
}

std::vector<PortHolder> LockFileHolders(const std::string& device_path,
                                        const std::vector<fs::path>& folders) {
    const std::string device = Canonical(device_path);
    std::vector<std::string> names = {fs::path(device).filename().string()};
    if (device.rfind("/dev/", 0) == 0 && device.find('/', 5) != std::string::npos) {
        std::string flat = device.substr(5);
        std::replace(flat.begin(), flat.end(), '/', '_');
        names.push_back(flat);
    }
    std::vector<PortHolder> holders;
    for (const fs::path& folder : folders) {
        for (const std::string& name : names) {
            std::ifstream in(folder / ("LCK.." + name), std::ios::binary);
            const std::string content((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            const pid_t pid = LockFilePid(content.substr(0, 64));
            if (IsAlive(pid) && !Listed(holders, pid)) {
                holders.push_back({pid, ProgramName(pid)});
            }
        }
    }
    return holders;
}

std::vector<fs::path> SystemLockFolders() {
    return {"/var/lock", "/run/lock"};
}

namespace {

// The holders of `path` from the processes and the lock files, each once.
std::vector<PortHolder> HoldersOf(const std::string& path, const OpenDevices& open) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return {};
    }
    std::vector<PortHolder> holders = open.Holders(info.st_rdev);
    for (PortHolder& holder : LockFileHolders(path, SystemLockFolders())) {
        if (!Listed(holders, holder.pid)) {
            holders.push_back(std::move(holder));
        }
    }
    return holders;
}

}  // namespace

std::string PortHolders(const std::string& device_path) {
    return DescribeHolders(HoldersOf(device_path, OpenDevices::Scan()));
}

int ListPorts(std::ostream& out, bool probe) {
    const fs::path folder = DefaultPortFolder();
    std::set<std::string> reached;
    const OpenDevices open = OpenDevices::Scan();
    std::vector<std::vector<std::string>> rows = {{"Port", "Exists", "Access", "Held", "Device"}};
    bool unseen = false;  // a "no*": other users' programs were hidden
    bool links = false;
    for (int n = 1; n <= 32; ++n) {
        const std::string com = "COM" + std::to_string(n);
        const std::string path = ResolvePortPath(com, folder).value_or("");
        std::error_code error;
        std::string shown = path;
        if (fs::is_symlink(path, error)) {
            // The folder of the links is said once, under the table.
            shown = fs::path(path).filename().string() + " -> " +
                    fs::read_symlink(path, error).string();
            links = true;
        }
        const bool exists = IsCharacterDevice(path);
        const bool access = exists && ::access(path.c_str(), R_OK | W_OK) == 0;
        std::string held = "-";
        if (exists) {
            reached.insert(Canonical(path));
            const std::vector<PortHolder> holders = HoldersOf(path, open);
            const bool probed_held = probe && access && ProbeHeld(path);
            if (!holders.empty()) {
                held = "yes: " + DescribeHolders(holders);
            } else if (probed_held) {
                held = "yes";
            } else if (open.EveryProcessSeen()) {
                held = "no";
            } else {
                held = "no*";
                unseen = true;
            }
        }
        rows.push_back(
            {com, exists ? "yes" : "no", exists ? (access ? "yes" : "no") : "-", held, shown});
    }
    PrintColumns(out, rows);
    if (links) {
        out << "comN: the links in " << folder.string() << "\n";
    }
    if (unseen) {
        out << "no*: no lock file names it and none of your programs has it open; other users'\n"
            << (probe
                    ? "     programs are hidden from you, and the ports you may open are not "
                      "locked.\n"
                    : "     programs are hidden from you (--probe opens the ports you may open to\n"
                      "     see whether one has them locked).\n");
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
    std::error_code missing;
    if (!fs::exists(device, missing)) {
        errors << device << ": no such device; `qx17ctl ports` lists the serial devices present.\n";
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
    if (::access(target.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        // The link is made all the same (a group membership may be on its
        // way), but opening the port would fail now.
        errors << "warning: this user may not open " << target << " yet; "
               << OpenFailureAdvice(com, "") << "\n";
    }
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
