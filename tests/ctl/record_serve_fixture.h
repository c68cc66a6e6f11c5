// qx17ctl record serve started on a fresh database of the tests' record
// server, as a role that may only read it; a raw HTTP client for it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/ctl/record_program_fixture.h"

extern char** environ;

namespace qx17::ctl {

using namespace std::chrono_literals;

// A port of 127.0.0.1 that was free a moment ago.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A program beside the test (a browser's driver, a metrics server), in a
// process group of its own with its output in `log`; it and whatever it
// started are ended when this goes, whatever the test's outcome.
class SideProgram {
  public:
    SideProgram(std::vector<std::string> args, const std::filesystem::path& log) {
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int failed = ::posix_spawn(&pid_, argv[0], &files, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attributes);
        if (failed != 0) {
            pid_ = -1;
            why_ = std::strerror(failed);
        }
    }
    ~SideProgram() {
        if (pid_ > 0) {  // not reaped yet, so the group's id is still its own
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    SideProgram(const SideProgram&) = delete;
    SideProgram& operator=(const SideProgram&) = delete;
    bool Started() const { return pid_ > 0; }
    const std::string& Why() const { return why_; }
    // Whether it ended by itself (then reaped).
    bool Ended() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return pid_ <= 0;
    }

  private:
    pid_t pid_ = -1;
    std::string why_;
};

// A connection to the server, as a client that writes and reads bytes.
class Client {
  public:
    explicit Client(int port, int receive_buffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0) {  // before connect, so that the window stays small
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        }
        timeval wait{0, 200000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ =
            ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    bool Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (connected_ && sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return connected_;
    }
    // Reads until `done` holds for what came so far, the server closes, or
    // `patience` passes; what came.
    const std::string& ReadUntil(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds patience = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        char buffer[4096];
        while (!done(got_) && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) {
                break;
            }
            if (n > 0) {
                got_.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return got_;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string got_;
};

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
};

inline Reply Parse(const std::string& text) {
    Reply reply;
    const std::size_t end = text.find("\r\n\r\n");
    reply.head = text.substr(0, end);
    reply.body = end == std::string::npos ? "" : text.substr(end + 4);
    if (text.rfind("HTTP/1.1 ", 0) == 0) {
        reply.status = std::atoi(text.c_str() + 9);
    }
    return reply;
}

// Whether `text` holds a whole reply: its head, and as much body as it says
// (a reply to HEAD says a length and has no body).
inline bool Whole(const std::string& text, bool head) {
    const std::size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    const std::size_t length = text.find("Content-Length: ");
    return head || length == std::string::npos || length > end ||
           text.size() - end - 4 >= std::stoul(text.substr(length + 16));
}

inline Reply Request(int port, const std::string& bytes) {
    Client client(port);
    client.Send(bytes);
    const bool head = bytes.rfind("HEAD ", 0) == 0;
    return Parse(client.ReadUntil([head](const std::string& s) { return Whole(s, head); }));
}

inline Reply Get(int port, const std::string& path, const std::string& method = "GET") {
    return Request(port,
                   method + " " + path + " HTTP/1.1\r\nHost: line\r\nConnection: close\r\n\r\n");
}

class RecordServe : public RecordProgram {
  protected:
    void SetUp() override {
        RecordProgram::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_EQ(Qx17ctl({"record", connection_}).exit_code, 0) << "the tables, by their owner";
        const std::string db = Database();
        // The grant that docs/qx17ctl.md gives a role of the server's own.
        AsAdmin({"CREATE ROLE " + db + "_viewer LOGIN PASSWORD '" + db + "_viewer'",
                 "GRANT SELECT ON trackers, stations, claims, qx17_schema TO " + db + "_viewer"});
        viewer_ = As(db + "_viewer");
    }
    // Starts the server on `connection`; its port.
    int Serve(const std::string& connection, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"record", "serve", connection, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), more.begin(), more.end());
        server_ = Spawn(args);
        int port = 0;
        Until([&] {
            const std::string err = test::Slurp(folder_ / "err");
            const std::size_t at = err.find("http://127.0.0.1:");
            port = at == std::string::npos ? 0 : std::atoi(err.c_str() + at + 17);
            return port != 0;
        });
        return port;
    }
    // `n` trackers of `station`, ended `outcome` just now.
    void AddRows(const std::string& station, int n, const std::string& outcome) {
        odbc::Connection db(connection_);
        odbc::Statement(db, "INSERT INTO stations (name) VALUES (?) ON CONFLICT DO NOTHING")
            .Execute({odbc::Value::Text(station)});
        odbc::Statement(db,
                        "INSERT INTO trackers (station_id, port, started, finished, id_before, "
                        "id_written, outcome) SELECT station_id, 'COM1', now(), now(), "
                        "'3571200' || g, '3571300' || g, ? FROM stations, generate_series(1, ?) g "
                        "WHERE name = ?")
            .Execute(
                {odbc::Value::Text(outcome), odbc::Value::Integer(n), odbc::Value::Text(station)});
        db.Commit();
    }
    nlohmann::json Summary(int port) {
        return nlohmann::json::parse(Get(port, "/api/summary").body);
    }
    static nlohmann::json Station(const nlohmann::json& summary, const std::string& name) {
        for (const auto& station : summary["stations"]) {
            if (station["name"] == name) {
                return station;
            }
        }
        return {};
    }
    test::Outcome Stop() {
        kill(server_, SIGTERM);
        return Wait(server_, 10s);
    }

    std::string viewer_;
    pid_t server_ = -1;
};

}  // namespace qx17::ctl
