// The relay between a client and an echo server of the test's own: bytes
// both ways, a silent network (nftables, as root) that times clients out
// without a reset, a cut, and traffic again after each.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tcp_relay/tcp_relay.h"

namespace qx17::tools {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A client socket; reads give up after a generous 30 s, so that a relay that
// never delivers fails the test instead of hanging it.
struct Client {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Client() {
        const timeval limit{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~Client() { close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // 0, or the error.
    int Connect(int port) const {
        const sockaddr_in address = Loopback(port);
        return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
                   ? 0
                   : errno;
    }
    // What a read of one byte gets: 0 for a byte or the end, else the error.
    int ReadError() const {
        char byte = 0;
        return recv(fd, &byte, 1, 0) < 0 ? errno : 0;
    }
    void Set(int level, int option, int value) const {
        ASSERT_EQ(setsockopt(fd, level, option, &value, sizeof value), 0) << option;
    }
    bool Send(const std::string& text) const {
        return send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // `size` bytes, or fewer when the connection ends or fails first.
    std::string Receive(std::size_t size) const {
        std::string text;
        std::vector<char> chunk(65536);
        while (text.size() < size) {
            const ssize_t n = recv(fd, chunk.data(), std::min(chunk.size(), size - text.size()), 0);
            if (n <= 0) {
                break;
            }
            text.append(chunk.data(), static_cast<std::size_t>(n));
        }
        return text;
    }
    std::string RoundTrip(const std::string& text) const {
        return Send(text) ? Receive(text.size()) : "";
    }
};

// Echoes every connection until its client ends it, or ends it itself on
// "bye"; counts those open.
class EchoServer {
  public:
    EchoServer() {
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = Loopback(0);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
            listen(listener_, 16) != 0) {
            std::perror("echo server");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoServer() {
        const std::uint64_t one = 1;
        (void)write(stop_, &one, sizeof one);
        thread_.join();
        close(listener_);
        close(stop_);
    }
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int Port() const { return port_; }
    int Open() const { return open_; }

  private:
    void Run() {
        std::vector<int> connections;
        for (;;) {
            std::vector<pollfd> watched{{stop_, POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const int fd : connections) {
                watched.push_back({fd, POLLIN, 0});
            }
            poll(watched.data(), watched.size(), -1);
            if (watched[0].revents != 0) {
                break;
            }
            for (std::size_t i = 0; i < connections.size(); ++i) {
                if (watched[i + 2].revents != 0 && !Echo(connections[i])) {
                    close(connections[i]);
                    connections[i] = -1;
                    --open_;
                }
            }
            std::erase(connections, -1);
            if (watched[1].revents != 0) {
                connections.push_back(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
                ++open_;
            }
        }
        for (const int fd : connections) {
            close(fd);
        }
    }
    // False once the connection is to end.
    static bool Echo(int fd) {
        std::vector<char> chunk(65536);
        const ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
        return n > 0 && std::string(chunk.data(), 3) != "bye" &&
               send(fd, chunk.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
    }

    int listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int stop_ = eventfd(0, EFD_CLOEXEC);
    int port_ = 0;
    std::atomic<int> open_{0};
    std::thread thread_;
};

bool WaitFor(const std::function<bool()>& done) {
    for (const auto end = Clock::now() + 10s; Clock::now() < end;
         std::this_thread::sleep_for(10ms)) {
        if (done()) {
            return true;
        }
    }
    return done();
}

// The line of `nft list tables` of the relay on `port`; empty if none.
std::string RelayTable(int port) {
    std::string tables;
    if (FILE* nft = popen("nft list tables 2>&1", "r")) {
        std::vector<char> chunk(4096);
        for (std::size_t n; (n = fread(chunk.data(), 1, chunk.size(), nft)) > 0;) {
            tables.append(chunk.data(), n);
        }
        pclose(nft);
    }
    const std::string tail = "_" + std::to_string(port) + "\n";
    for (std::size_t end = tables.find(tail); end != std::string::npos;
         end = tables.find(tail, end + 1)) {
        const std::size_t start = tables.rfind('\n', end) + 1;  // npos + 1 is 0
        const std::string line = tables.substr(start, end + tail.size() - 1 - start);
        if (line.find("qx17_relay_") != std::string::npos) {
            return line;
        }
    }
    return "";
}

TEST(TcpRelay, PassesBytesBothWaysOnEachConnectionAndItsEnd) {
    EchoServer echo;
    TcpRelay relay("localhost", echo.Port());
    // At once, each written while it is echoed: more than the buffers hold.
    const std::vector<std::size_t> sizes = {1, 1000, 3 * 1024 * 1024};
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::string> sent;
    std::vector<std::thread> writers;
    for (const std::size_t size : sizes) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_EQ(clients.back()->Connect(relay.Port()), 0);
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            text[i] = static_cast<char>(i * 7 + size);
        }
        sent.push_back(text);
    }
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        writers.emplace_back([&client = *clients[i], &text = sent[i]] {
            client.Send(text);
            shutdown(client.fd, SHUT_WR);  // the echo server ends its side in turn
        });
    }
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_TRUE(clients[i]->Receive(sizes[i]) == sent[i]) << sizes[i] << " bytes";
        char byte = 0;
        EXPECT_EQ(recv(clients[i]->fd, &byte, 1, 0), 0) << "no end after " << sizes[i];
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    // The server ends first; the client learns it.
    Client client;
    ASSERT_EQ(client.Connect(relay.Port()), 0);
    ASSERT_TRUE(client.Send("bye"));
    char byte = 0;
    EXPECT_EQ(recv(client.fd, &byte, 1, 0), 0);
    EXPECT_TRUE(WaitFor([&] { return echo.Open() == 0; }));
}

TEST(TcpRelay, SilenceTimesClientsOutWithoutAResetUntilPass) {
    std::string why;
    if (!TcpRelay::CanGoSilent(why)) {
        GTEST_SKIP() << why;
    }
    EchoServer echo;
    auto relay = std::make_unique<TcpRelay>("127.0.0.1", echo.Port());
    TcpRelay other("127.0.0.1", echo.Port());
    const int port = relay->Port();
    const struct {
        const char* name;
        std::vector<std::array<int, 3>> options;
        bool sends;  // else only its keepalive probes go out
    } cases[] = {
        {"TCP_USER_TIMEOUT 1 s, sending", {{IPPROTO_TCP, TCP_USER_TIMEOUT, 1000}}, true},
        {"keepalive after 1 s, 2 probes 1 s apart",
         {{SOL_SOCKET, SO_KEEPALIVE, 1},
          {IPPROTO_TCP, TCP_KEEPIDLE, 1},
          {IPPROTO_TCP, TCP_KEEPINTVL, 1},
          {IPPROTO_TCP, TCP_KEEPCNT, 2}},
         false},
    };
    std::vector<std::unique_ptr<Client>> clients;
    for (const auto& c : cases) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_EQ(clients.back()->Connect(port), 0);
        for (const auto& [level, option, value] : c.options) {
            clients.back()->Set(level, option, value);
        }
        ASSERT_EQ(clients.back()->RoundTrip("before"), "before") << c.name;
    }
    Client held;  // no time-outs: it outlives the silence
    ASSERT_EQ(held.Connect(port), 0);
    ASSERT_EQ(held.RoundTrip("before"), "before");
    ASSERT_EQ(RelayTable(port), "");

    relay->Silent();
    const auto silent_at = Clock::now();
    const std::string table = RelayTable(port);
    EXPECT_NE(table, "");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        if (cases[i].sends) {
            ASSERT_TRUE(clients[i]->Send("lost"));
        }
        EXPECT_EQ(clients[i]->ReadError(), ETIMEDOUT);
        std::printf("%s: failed %.2f s after Silent()\n", cases[i].name,
                    std::chrono::duration<double>(Clock::now() - silent_at).count());
    }
    // The other relay's port is not silent.
    Client beside;
    ASSERT_EQ(beside.Connect(other.Port()), 0);
    EXPECT_EQ(beside.RoundTrip("beside"), "beside");
    // A new connection does not complete (its SYN is lost, not refused).
    Client late;
    ASSERT_EQ(fcntl(late.fd, F_SETFL, O_NONBLOCK), 0);
    EXPECT_EQ(late.Connect(port), EINPROGRESS);
    pollfd watched{late.fd, POLLOUT, 0};
    EXPECT_EQ(poll(&watched, 1, 1500), 0) << "connect completed while silent";

    // Sent while silent, delivered once the network is back, on the same
    // connection.
    ASSERT_TRUE(held.Send("resumed"));
    relay->Pass();
    EXPECT_EQ(held.Receive(7), "resumed");
    EXPECT_EQ(RelayTable(port), "");
    Client after;
    ASSERT_EQ(after.Connect(port), 0);
    EXPECT_EQ(after.RoundTrip("after"), "after");

    // The relay ends silent: its rules go with it.
    relay->Silent();
    EXPECT_EQ(RelayTable(port), table);
    relay.reset();
    EXPECT_EQ(RelayTable(port), "");
}

TEST(TcpRelay, CutResetsConnectionsBothWaysAndRefusesNewOnesUntilPass) {
    EchoServer echo;
    TcpRelay relay("127.0.0.1", echo.Port());
    Client client;
    ASSERT_EQ(client.Connect(relay.Port()), 0);
    ASSERT_EQ(client.RoundTrip("before"), "before");
    ASSERT_EQ(echo.Open(), 1);

    relay.Cut();
    EXPECT_EQ(client.ReadError(), ECONNRESET);
    EXPECT_TRUE(WaitFor([&] { return echo.Open() == 0; })) << "the server's side stays open";
    Client refused;
    EXPECT_EQ(refused.Connect(relay.Port()), ECONNREFUSED);

    relay.Pass();
    Client after;
    ASSERT_EQ(after.Connect(relay.Port()), 0);
    EXPECT_EQ(after.RoundTrip("after"), "after");
}

TEST(TcpRelay, AServerThatIsGoneResetsTheClient) {
    int gone_port = 0;
    {
        EchoServer gone;
        gone_port = gone.Port();
    }
    TcpRelay relay("127.0.0.1", gone_port);
    Client client;
    ASSERT_EQ(client.Connect(relay.Port()), 0);
    EXPECT_EQ(client.ReadError(), ECONNRESET);
}

// A relay killed while silent leaves its table behind; the next relay
// removes such a table where its port is free (no relay holds it), and only
// there.
TEST(TcpRelay, RemovesATableLeftByARelayThatIsGone) {
    std::string why;
    if (!TcpRelay::CanGoSilent(why)) {
        GTEST_SKIP() << why;
    }
    EchoServer holder;  // a port some relay still holds
    int free_port = 0;
    {
        EchoServer gone;
        free_port = gone.Port();
    }
    const struct {
        int port;
        bool removed;
    } cases[] = {{holder.Port(), false}, {free_port, true}};
    for (const auto& c : cases) {
        // Another pid namespace's, so that only its port tells.
        const std::string table = "qx17_relay_0_1_" + std::to_string(c.port);
        ASSERT_EQ(std::system(("nft add table inet " + table).c_str()), 0);
        TcpRelay relay("127.0.0.1", holder.Port());
        EXPECT_EQ(RelayTable(c.port) == "", c.removed) << c.port;
        std::system(("nft delete table inet " + table + " 2>/dev/null").c_str());
    }
}

TEST(RelayedConnection, PointsServerAndPortAtTheRelayAndKeepsTheRest) {
    const struct {
        const char* connection;
        const char* relayed;
    } cases[] = {
        {"Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=12345;Database=qx17;Uid=line",
         "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=4000;Database=qx17;Uid=line"},
        {"driver={a;port=1}};b};SERVER=db.example;pwd={x;Server=y};port=5432;",
         "driver={a;port=1}};b};SERVER=127.0.0.1;pwd={x;Server=y};port=4000;"},
        {"Driver=x;Servername=db;Database=d", "Driver=x;Servername=127.0.0.1;Database=d;Port=4000"},
        {"DSN=record", "DSN=record;Server=127.0.0.1;Port=4000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RelayedConnection(c.connection, 4000), c.relayed) << c.connection;
    }
}

}  // namespace
}  // namespace qx17::tools
