#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "ctl/ports/port_admin.h"
#include "ctl/ports/port_advice.h"
#include "serial/port_names_posix.h"
#include "serial/serial_port.h"

namespace qx17::ctl {

namespace fs = std::filesystem;

namespace {

// "COM7 is /dev/ttyS6" or "COM7 is the link ~/.../com7 -> /dev/ttyUSB0".
std::string WhatItIs(const std::string& port, const std::string& path) {
    std::string text = port == path ? port : port + " is " + path;
    std::error_code error;
    if (fs::is_symlink(path, error)) {
        const fs::path target = fs::read_symlink(path, error);
        text = port + " is the link " + path + " -> " + (error ? "?" : target.string());
    }
    return text;
}

std::string GroupOf(const struct stat& info) {
    const struct group* group = ::getgrgid(info.st_gid);
    return group != nullptr ? group->gr_name : "";
}

}  // namespace

std::string PortNameProblem(const std::string& port) {
    if (ResolvePortPath(port, DefaultPortFolder())) {
        return "";
    }
    // "COM99" is told as `link` tells it; anything else also learns that a
    // device path will do.
    const bool com_like = port.size() >= 3 && (port[0] | 0x20) == 'c' && (port[1] | 0x20) == 'o' &&
                          (port[2] | 0x20) == 'm';
    return port + ": not a port name (COM1 to COM32" +
           (com_like ? "" : ", or a device path starting with /") + ").";
}

std::string OpenFailureAdvice(const std::string& port, const std::string& reason) {
    const std::optional<std::string> path = ResolvePortPath(port, DefaultPortFolder());
    if (!path) {
        return "";
    }
    const std::string what = WhatItIs(port, *path);
    struct stat info;
    if (::stat(path->c_str(), &info) != 0) {
        return what +
               ", which does not exist. `qx17ctl ports` lists the ports and the serial "
               "devices present; `qx17ctl link COMn DEVICE` makes a port name of a device.";
    }
    if (!S_ISCHR(info.st_mode)) {
        return what + ", which is not a serial device. `qx17ctl ports` lists the serial devices.";
    }
    if (::access(path->c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        const std::string group = GroupOf(info);
        const bool group_opens = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        if (group.empty() || group == "root" || !group_opens) {
            return what + ", which this user may not open.";
        }
        return what + ", which only the members of the group " + group +
               " may open: `sudo adduser $USER " + group + "`, then log out and in again.";
    }
    if (reason == std::strerror(EBUSY) || reason == kHeldByAnotherProgram) {
        const std::string holders = PortHolders(*path);
        return "Another program has " + port + " open" + (holders.empty() ? "" : ": " + holders) +
               ". Close it (the window's port, another qx17ctl) and try again.";
    }
    return "";
}

}  // namespace qx17::ctl
