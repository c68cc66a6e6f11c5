// A TCP relay of a test's own between a client (a station) and its server on
// this machine, which plays the faults of the network in between (POSIX,
// Linux): it listens on 127.0.0.1 and forwards every connection it accepts to
// the target, bytes both ways, each connection on its own.
//
// Silent() is a network that goes quiet (a switch reboots, a cable is pulled
// somewhere on the way): no packet gets through and no reset ever comes. The
// relay cannot play that by itself, since its kernel would still acknowledge
// the client's data and keepalive probes; so it asks the kernel to drop
// every TCP packet to and from its port on the loopback interface, with
// nftables rules in a table of its own. That needs the nft command and the
// right to change the ruleset (root): see CanGoSilent().
//
// Cut() is the station's side cut off: its connections are reset and new
// ones refused, on the same port, until Pass().
#pragma once

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace qx17::tools {

class TcpRelay {
  public:
    // Listening on a free port of 127.0.0.1; std::runtime_error when it
    // cannot listen or `target_host` has no IPv4 address.
    TcpRelay(std::string target_host, int target_port);
    // Every connection closed, the silence's rules removed, the thread joined.
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int Port() const { return port_; }

    // Whether Silent() can work here: the nft command is present and may
    // change the ruleset. If not, `why` says why (for GTEST_SKIP).
    static bool CanGoSilent(std::string& why);

    // No packet to or from the relay's port gets through any more, in
    // either direction, on the connections there are and on new ones;
    // std::runtime_error (saying why) when nft fails.
    void Silent();
    // Every connection reset, towards the client and the server; new
    // connections refused until Pass().
    void Cut();
    // Traffic flows again: the silence's rules are gone (the connections it
    // held resume) and the relay accepts connections again.
    void Pass();

  private:
    enum class Command { kCut, kPass, kStop };
    struct Request {
        Command command;
        std::promise<void> done;
    };
    void Ask(Command command);
    void Loop();
    void RemoveSilence();

    sockaddr_in target_{};
    int port_ = 0;
    int listener_ = -1;  // the loop's once the thread runs
    int wake_ = -1;      // an eventfd: a request waits
    std::string table_;  // the nftables table of this relay's silence

    std::mutex requests_mutex_;
    std::vector<Request> requests_;

    std::mutex silence_mutex_;
    bool silent_ = false;

    std::thread loop_;
};

// The ODBC connection string `connection` with its server (Server or
// Servername) and Port those of a relay on 127.0.0.1 at `relay_port`; every
// other attribute kept. The PostgreSQL driver looks the password up in its
// password file by host and port: a string without Pwd needs a line for the
// relay's port there.
std::string RelayedConnection(const std::string& connection, int relay_port);

}  // namespace qx17::tools
