// Who has a serial device open, found without opening it (POSIX): the
// processes whose descriptors lead to the device, and the UUCP-style lock
// files that name a live process. Opening a port to ask would raise DTR and
// RTS, which resets many boards and hangs up modems.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qx17::ctl {

struct PortHolder {
    pid_t pid = 0;
    std::string program;  // the process's name; empty when it is hidden
};

// "name (pid N)" for each, joined by ", "; "pid N" for a hidden name.
std::string DescribeHolders(const std::vector<PortHolder>& holders);

// The open descriptors of every process under /proc, read once, so that
// many devices can be looked up without reading it again.
class OpenDevices {
  public:
    static OpenDevices Scan();
    // The processes that have the character device `device` open.
    std::vector<PortHolder> Holders(dev_t device) const;
    // False when the descriptors of some processes (other users', unless
    // this one is root) could not be read: a holder may then be unseen.
    bool EveryProcessSeen() const { return every_process_seen_; }

  private:
    struct Opened {
        dev_t device;
        pid_t pid;
    };
    std::vector<Opened> opened_;
    bool every_process_seen_ = true;
};

// The live processes named by lock files for `device_path` in `folders`:
// LCK..<name>, where <name> is the device's file name (ttyS0), or for a
// device in a subfolder of /dev its path there with "_" for "/" (pts_3).
// The file holds the PID as ASCII (often padded to ten characters) or as a
// binary int; a lock whose process is gone is stale and names no holder.
std::vector<PortHolder> LockFileHolders(const std::string& device_path,
                                        const std::vector<std::filesystem::path>& folders);

// /var/lock and /run/lock.
std::vector<std::filesystem::path> SystemLockFolders();

}  // namespace qx17::ctl
