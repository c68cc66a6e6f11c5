#include "tools/tcp_relay/tcp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qx17::tools {

namespace {

// What the relay holds for one side before it stops reading the other.
constexpr std::size_t kBufferLimit = 256 * 1024;
constexpr char kTablePrefix[] = "qx17_relay_";

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void Close(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Closed with a reset (RST) rather than an orderly end (FIN).
void Reset(int& fd) {
    if (fd >= 0) {
        const linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close(fd);
    }
}

int TcpSocket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw SystemError("socket");
    }
    return fd;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

bool Bind(int fd, const sockaddr_in& address) {
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A listening socket on a free port of 127.0.0.1, bound to that port by its
// number: a listening socket that is shut down (Cut) keeps such a port,
// where it would give back one the kernel picked for it.
int ListenOnFreePort(int& port) {
    const int on = 1;
    int probe = TcpSocket();
    setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (!Bind(probe, address) ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const std::runtime_error error = SystemError("bind 127.0.0.1");
        Close(probe);
        throw error;
    }
    port = ntohs(address.sin_port);
    // Both sockets may hold the port while neither listens; the probe goes.
    int listener = TcpSocket();
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool bound = Bind(listener, address);
    Close(probe);
    if (!bound || listen(listener, SOMAXCONN) != 0) {
        const std::runtime_error error = SystemError("listen on 127.0.0.1:" + std::to_string(port));
        Close(listener);
        throw error;
    }
    return listener;
}

bool PortIsFree(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool available = Bind(fd, Loopback(port));
    close(fd);
    return available;
}

// ---- nft ----

std::string FindNft(std::string& why) {
    std::vector<std::string> folders;
    const char* path = std::getenv("PATH");
    std::istringstream entries(path != nullptr ? path : "");
    for (std::string folder; std::getline(entries, folder, ':');) {
        folders.push_back(folder);
    }
    // An ordinary user's PATH often lacks the administrator's folders.
    folders.insert(folders.end(), {"/usr/sbin", "/sbin"});
    for (const std::string& folder : folders) {
        const std::string nft = folder + "/nft";
        if (!folder.empty() && access(nft.c_str(), X_OK) == 0) {
            return nft;
        }
    }
    why = "the nft command is missing (Debian package nftables)";
    return "";
}

// Runs `nft script`: true when it succeeds. `output` is what it printed,
// its errors included.
bool RunNft(const std::string& nft, const std::string& script, std::string& output) {
    output.clear();
    std::array<int, 2> pipe_ends{};
    if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
        output = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    std::string name = "nft";
    std::string argument = script;
    std::array<char*, 3> argv{name.data(), argument.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, nft.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Close(pipe_ends[1]);
    if (spawned != 0) {
        Close(pipe_ends[0]);
        output = nft + ": " + std::strerror(spawned);
        return false;
    }
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t n = read(pipe_ends[0], chunk.data(), chunk.size());
        if (n > 0) {
            output.append(chunk.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    Close(pipe_ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The inode of this process's pid namespace: a pid in a table's name is
// only looked up where it means the same process.
std::string PidNamespace() {
    std::array<char, 64> link{};
    const ssize_t n = readlink("/proc/self/ns/pid", link.data(), link.size() - 1);
    std::string text(link.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    std::string digits;
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        }
    }
    return digits.empty() ? "0" : digits;
}

// Removes the tables of relays that are gone without removing theirs (a
// test killed at its time-out): each would silence its port for whoever
// takes it next. A live relay always holds its port; a table whose port is
// free, or whose process has ended, is left over.
void RemoveLeftOverTables(const std::string& nft) {
    std::string listing;
    if (!RunNft(nft, "list tables inet", listing)) {
        return;
    }
    const std::string own_namespace = PidNamespace();
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const std::string head = std::string("table inet ") + kTablePrefix;
        if (line.rfind(head, 0) != 0) {
            continue;
        }
        const std::string table = line.substr(std::string("table inet ").size());
        std::istringstream fields(line.substr(head.size()));
        std::string name_space;
        std::string pid;
        std::string port;
        if (!std::getline(fields, name_space, '_') || !std::getline(fields, pid, '_') ||
            !std::getline(fields, port) || port.empty() ||
            port.find_first_not_of("0123456789") != std::string::npos ||
            pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const bool ended = name_space == own_namespace &&
                           kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH;
        if (ended || PortIsFree(std::stoi(port))) {
            std::string ignored;
            RunNft(nft, "delete table inet " + table, ignored);
        }
    }
}

// ---- the connections ----

struct Link {
    int client = -1;
    int server = -1;
    bool connecting = true;  // to the server
    std::string to_server;
    std::string to_client;
    bool client_ended = false;  // the client sent its FIN
    bool server_ended = false;
    bool client_shut = false;  // the relay sent the client its FIN
    bool server_shut = false;

    void Abort() {
        Reset(client);
        Reset(server);
    }
    void Finish() {
        Close(client);
        Close(server);
    }
    bool Open() const { return client >= 0; }
};

// Reads what `fd` has into `into`: false on an error (a reset).
bool Receive(int fd, std::string& into, bool& ended) {
    std::array<char, 65536> chunk{};
    const ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
    if (n > 0) {
        into.append(chunk.data(), static_cast<std::size_t>(n));
    } else if (n == 0) {
        ended = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return false;
    }
    return true;
}

bool Send(int fd, std::string& from) {
    const ssize_t n = send(fd, from.data(), from.size(), MSG_NOSIGNAL);
    if (n > 0) {
        from.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return false;
    }
    return true;
}

void Serve(Link& link, short client_events, short server_events) {
    if (link.connecting && server_events != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(link.server, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            link.Abort();  // the server refused: so is the client, at once
            return;
        }
        link.connecting = false;
        server_events = 0;
    }
    const bool failed = (client_events & POLLERR) != 0 || (server_events & POLLERR) != 0 ||
                        ((client_events & (POLLIN | POLLHUP)) != 0 &&
                         !Receive(link.client, link.to_server, link.client_ended)) ||
                        ((server_events & (POLLIN | POLLHUP)) != 0 &&
                         !Receive(link.server, link.to_client, link.server_ended)) ||
                        ((client_events & POLLOUT) != 0 && !Send(link.client, link.to_client)) ||
                        ((server_events & POLLOUT) != 0 && !Send(link.server, link.to_server));
    if (failed) {
        link.Abort();  // a reset on one side is a reset on the other
        return;
    }
    if (link.connecting) {
        return;
    }
    // An end is passed on once everything before it is.
    if (link.client_ended && link.to_server.empty() && !link.server_shut) {
        shutdown(link.server, SHUT_WR);
        link.server_shut = true;
    }
    if (link.server_ended && link.to_client.empty() && !link.client_shut) {
        shutdown(link.client, SHUT_WR);
        link.client_shut = true;
    }
    if (link.client_shut && link.server_shut) {
        link.Finish();
    }
}

pollfd Watch(int fd, bool read, bool write, bool done) {
    short events = 0;
    if (read) {
        events |= POLLIN;
    }
    if (write) {
        events |= POLLOUT;
    }
    // A side that ended both ways would report POLLHUP on every round.
    return pollfd{done ? -1 : fd, events, 0};
}

}  // namespace

TcpRelay::TcpRelay(std::string target_host, int target_port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(target_host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        throw std::runtime_error("relay: no IPv4 address for " + target_host);
    }
    std::memcpy(&target_, found->ai_addr, sizeof target_);
    freeaddrinfo(found);
    target_.sin_port = htons(static_cast<std::uint16_t>(target_port));

    listener_ = ListenOnFreePort(port_);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        const std::runtime_error error = SystemError("eventfd");
        Close(listener_);
        throw error;
    }
    table_ = kTablePrefix + PidNamespace() + "_" + std::to_string(getpid()) + "_" +
             std::to_string(port_);
    // A table left over on this very port would make the relay silent from
    // the start.
    std::string no_nft;
    if (const std::string nft = FindNft(no_nft); !nft.empty()) {
        RemoveLeftOverTables(nft);
    }
    loop_ = std::thread(&TcpRelay::Loop, this);
}

TcpRelay::~TcpRelay() {
    // The rules go while the port is still the relay's: another relay's
    // clean-up takes a table whose port is free for left over.
    try {
        RemoveSilence();
    } catch (const std::exception&) {
    }
    Ask(Command::kStop);
    loop_.join();
    Close(listener_);
    Close(wake_);
}

bool TcpRelay::CanGoSilent(std::string& why) {
    const std::string nft = FindNft(why);
    if (nft.empty()) {
        return false;
    }
    // One transaction: nothing is left behind whatever happens.
    const std::string probe = std::string(kTablePrefix) + "probe_" + std::to_string(getpid());
    std::string output;
    if (!RunNft(nft, "add table inet " + probe + "; delete table inet " + probe, output)) {
        why = "nft may not change the ruleset here (it needs root): " + FirstLine(output);
        return false;
    }
    return true;
}

void TcpRelay::Silent() {
    const std::lock_guard lock(silence_mutex_);
    if (silent_) {
        return;
    }
    std::string why;
    const std::string nft = FindNft(why);
    if (nft.empty()) {
        throw std::runtime_error("relay: cannot go silent: " + why);
    }
    RemoveLeftOverTables(nft);
    // Before connection tracking, on the way in: whatever either side sends
    // leaves its kernel and never arrives, as on a broken path.
    const std::string port = std::to_string(port_);
    const std::string rules = "table inet " + table_ +
                              " {\n"
                              "  chain silence {\n"
                              "    type filter hook prerouting priority -300; policy accept;\n"
                              "    iif \"lo\" ip daddr 127.0.0.1 tcp dport " +
                              port +
                              " drop\n"
                              "    iif \"lo\" ip saddr 127.0.0.1 tcp sport " +
                              port +
                              " drop\n"
                              "  }\n"
                              "}\n";
    std::string output;
    if (!RunNft(nft, rules, output)) {
        throw std::runtime_error("relay: nft cannot add the silence's rules: " + FirstLine(output));
    }
    silent_ = true;
}

void TcpRelay::Cut() {
    Ask(Command::kCut);
}

void TcpRelay::Pass() {
    RemoveSilence();
    Ask(Command::kPass);
}

void TcpRelay::RemoveSilence() {
    const std::lock_guard lock(silence_mutex_);
    if (!silent_) {
        return;
    }
    std::string why;
    const std::string nft = FindNft(why);
    std::string output;
    if (nft.empty() || !RunNft(nft, "delete table inet " + table_, output)) {
        throw std::runtime_error("relay: nft cannot remove table " + table_ + ": " +
                                 (nft.empty() ? why : FirstLine(output)));
    }
    silent_ = false;
}

void TcpRelay::Ask(Command command) {
    std::future<void> done;
    {
        const std::lock_guard lock(requests_mutex_);
        requests_.push_back(Request{command, {}});
        done = requests_.back().done.get_future();
    }
    const std::uint64_t one = 1;
    while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    done.get();
}

void TcpRelay::Loop() {
    std::vector<Link> links;
    bool cut = false;
    bool stop = false;
    while (!stop) {
        std::vector<pollfd> watched;
        watched.push_back(pollfd{wake_, POLLIN, 0});
        watched.push_back(pollfd{cut ? -1 : listener_, POLLIN, 0});
        for (const Link& link : links) {
            watched.push_back(
                Watch(link.client, !link.client_ended && link.to_server.size() < kBufferLimit,
                      !link.to_client.empty(), link.client_ended && link.client_shut));
            watched.push_back(Watch(
                link.server,
                !link.connecting && !link.server_ended && link.to_client.size() < kBufferLimit,
                link.connecting || !link.to_server.empty(), link.server_ended && link.server_shut));
        }
        if (poll(watched.data(), watched.size(), -1) < 0) {
            continue;  // EINTR; the set is well formed
        }

        if ((watched[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            while (read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
            }
            std::vector<Request> requests;
            {
                const std::lock_guard lock(requests_mutex_);
                requests.swap(requests_);
            }
            for (Request& request : requests) {
                switch (request.command) {
                    case Command::kCut:
                        for (Link& link : links) {
                            link.Abort();
                        }
                        links.clear();
                        // No longer listening, on the same port: the
                        // connections not accepted yet are reset and new
                        // ones refused.
                        if (!cut) {
                            shutdown(listener_, SHUT_RD);
                            cut = true;
                        }
                        request.done.set_value();
                        break;
                    case Command::kPass:
                        if (cut && listen(listener_, SOMAXCONN) != 0) {
                            request.done.set_exception(std::make_exception_ptr(
                                SystemError("relay: listen again on " + std::to_string(port_))));
                            break;
                        }
                        cut = false;
                        request.done.set_value();
                        break;
                    case Command::kStop:
                        for (Link& link : links) {
                            link.Finish();
                        }
                        links.clear();
                        stop = true;
                        request.done.set_value();
                        break;
                }
            }
            continue;  // the links changed: watch them afresh
        }

        for (std::size_t i = 0; i < links.size(); ++i) {
            Serve(links[i], watched[2 + 2 * i].revents, watched[3 + 2 * i].revents);
        }
        std::erase_if(links, [](const Link& link) { return !link.Open(); });

        if ((watched[1].revents & POLLIN) != 0) {
            for (;;) {
                const int client =
                    accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0) {
                    break;
                }
                Link link;
                link.client = client;
                link.server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                const int on = 1;
                setsockopt(link.client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                setsockopt(link.server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                if (link.server >= 0 && connect(link.server, reinterpret_cast<sockaddr*>(&target_),
                                                sizeof target_) == 0) {
                    link.connecting = false;
                } else if (link.server < 0 || errno != EINPROGRESS) {
                    link.Abort();
                    continue;
                }
                links.push_back(std::move(link));
            }
        }
    }
}

std::string RelayedConnection(const std::string& connection, int relay_port) {
    // Attributes are separated by ';'; a value in braces may hold any of
    // ';', '=' and '}}' (a brace).
    std::vector<std::string> attributes;
    bool has_server = false;
    bool has_port = false;
    std::size_t i = 0;
    const std::size_t n = connection.size();
    while (i < n) {
        const std::size_t start = i;
        while (i < n && connection[i] != '=' && connection[i] != ';') {
            ++i;
        }
        const std::string key_text = connection.substr(start, i - start);
        std::string key;
        for (const char c : key_text) {
            if (c != ' ') {
                key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        if (i < n && connection[i] == '=') {
            ++i;
            std::size_t value = i;
            while (value < n && connection[value] == ' ') {
                ++value;
            }
            if (value < n && connection[value] == '{') {
                for (i = value + 1; i < n; ++i) {
                    if (connection[i] == '}') {
                        if (i + 1 < n && connection[i + 1] == '}') {
                            ++i;
                            continue;
                        }
                        break;
                    }
                }
            }
            while (i < n && connection[i] != ';') {
                ++i;
            }
        }
        if (key == "server" || key == "servername") {
            attributes.push_back(key_text + "=127.0.0.1");
            has_server = true;
        } else if (key == "port") {
            attributes.push_back(key_text + "=" + std::to_string(relay_port));
            has_port = true;
        } else {
            attributes.push_back(connection.substr(start, i - start));
        }
        ++i;  // the ';'
    }
    if (!has_server) {
        attributes.push_back("Server=127.0.0.1");
    }
    if (!has_port) {
        attributes.push_back("Port=" + std::to_string(relay_port));
    }
    std::string relayed;
    for (const std::string& attribute : attributes) {
        relayed += (relayed.empty() ? "" : ";") + attribute;
    }
    if (!connection.empty() && connection.back() == ';' && has_server && has_port) {
        relayed += ';';
    }
    return relayed;
}

}  // namespace qx17::tools
