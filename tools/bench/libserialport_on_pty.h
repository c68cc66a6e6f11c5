// What it takes for libserialport 0.1.1 to open the slave side of a pty pair.
// Two of its habits stand in the way, and neither concerns the data path:
//
//  - it describes a port from the port's sysfs entry and refuses every name
//    that has none, as /dev/pts/N has none. The benchmark shows it the pty
//    under a name sysfs knows, /dev/ptmx, with the pty's slave node
//    bind-mounted over it, in a mount namespace of this process alone, so no
//    other process sees the change and it ends with the process;
//  - sp_open reads the modem lines (TIOCMGET), which a pty does not have, and
//    gives up when the ioctl is refused. The benchmark points libserialport's
//    own ioctl import at a wrapper that passes every call through and answers
//    a refused modem-line call on a tty as a line with no signals raised.
//    Nothing else in the process goes through the wrapper.
//
// Opening, the line settings, reads, writes and waits stay libserialport's own.
#pragma once

#include <string>

namespace qx17::bench {

// Moves this process into a private mount namespace (as root; otherwise inside
// a user namespace of its own). Call it while the program has one thread only.
bool EnterPrivateMountNamespace(std::string& problem);

// Routes libserialport's ioctl calls through the wrapper described above.
bool AnswerModemLinesForLibserialport(std::string& problem);

class PortAlias {
  public:
    static constexpr const char* kName = "/dev/ptmx";

    PortAlias() = default;
    ~PortAlias() { Unbind(); }
    PortAlias(const PortAlias&) = delete;
    PortAlias& operator=(const PortAlias&) = delete;

    // Makes kName open `slave_path`. False, with the reason, when the mount
    // fails or kName does not then name the same device.
    bool Bind(const std::string& slave_path, std::string& problem);
    void Unbind();

  private:
    bool bound_ = false;
};

}  // namespace qx17::bench
