// serve_bench: what `qx17ctl record serve` costs, on a PostgreSQL server of
// its own on this machine (scripts/record_server.sh).
//
// 1. The summary's query round on a record of a million trackers (--trackers)
//    of 16 stations over the last 200 days, 2,000 of them today: the first
//    round (which also counts every station's trackers since the record
//    began), then the rounds that follow (aim: under 100 ms), beside the
//    same on an empty record.
// 2. The server's memory (resident set, from /proc): alone, with 64 viewers
//    on its stream (--viewers), and after viewers came and went (--waves
//    rounds of them).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctl/record/odbc.h"
#include "ctl/record/record_summary.h"
#include "ctl/record/schema.h"
#include "tools/record_server/record_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace odbc = qx17::ctl::odbc;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// `n` trackers of 16 stations, spread over the last 200 days, and `today`
// more since midnight.
void Fill(odbc::Connection& db, long n, long today) {
    odbc::Query(db,
                "INSERT INTO stations (name) SELECT 'floor ' || s FROM generate_series(1, 16) s");
    odbc::Statement(db,
                    "INSERT INTO trackers (station_id, port, started, finished, id_before, "
                    "id_written, outcome) SELECT 1 + i % 16, 'COM' || (1 + i % 4), t, t + "
                    "interval '40 s', (35712001000000 + i)::text, (35712000000001 + i)::text, "
                    "CASE WHEN i % 50 = 0 THEN 'timeout' WHEN i % 70 = 0 THEN 'verify-failed' "
                    "ELSE 'ok' END FROM (SELECT i, CASE WHEN i < ?::bigint THEN date_trunc('day', "
                    "now()) + (i * interval '1 s') ELSE now() - interval '1 day' - (i * "
                    "interval '17 s') END AS t FROM generate_series(0, ?::bigint - 1) i) g")
        .Execute({odbc::Value::Integer(today), odbc::Value::Integer(n)});
    db.Commit();
}

struct Rounds {
    double first = 0;
    std::vector<double> next;
};

Rounds TimeRounds(const std::string& connection, int rounds) {
    odbc::Connection db(connection);
    qx17::ctl::UseSnapshots(db);
    qx17::ctl::SummaryReader reader;
    Rounds figures;
    for (int i = 0; i <= rounds; ++i) {
        const auto now = std::chrono::system_clock::now();
        const auto start = Clock::now();
        reader.Read(db, qx17::ctl::DayStart(now), now);
        const double ms = Ms(Clock::now() - start);
        if (i == 0) {
            figures.first = ms;
        } else {
            figures.next.push_back(ms);
        }
    }
    std::sort(figures.next.begin(), figures.next.end());
    return figures;
}

long ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string request = "GET /api/stream HTTP/1.1\r\nHost: bench\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Viewers that read what comes, on a thread, until closed.
class Viewers {
  public:
    Viewers(int port, int n) {
        for (int i = 0; i < n; ++i) {
            const int fd = Connect(port);
            if (fd >= 0) {
                fds_.push_back(fd);
            }
        }
        reader_ = std::jthread([this](std::stop_token stop) {
            char buffer[65536];
            while (!stop.stop_requested()) {
                for (const int fd : fds_) {
                    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
                    }
                }
                std::this_thread::sleep_for(50ms);
            }
        });
    }
    ~Viewers() {
        reader_ = {};
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    std::size_t Count() const { return fds_.size(); }

  private:
    std::vector<int> fds_;
    std::jthread reader_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("serve_bench: the record's summary round and record serve's memory");
    long trackers = 1000000;
    int rounds = 20;
    int viewers = 64;
    int waves = 10;
    app.add_option("--trackers", trackers, "trackers in the large record")->capture_default_str();
    app.add_option("--rounds", rounds, "query rounds timed after the first")->capture_default_str();
    app.add_option("--viewers", viewers, "viewers on the stream at once")->capture_default_str();
    app.add_option("--waves", waves, "times the viewers come and go")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    try {
        qx17::tools::RecordServer server;
        const std::string connection = server.Connection();
        {
            odbc::Connection db(connection);
            qx17::ctl::MigrateRecord(db);
        }
        const Rounds empty = TimeRounds(connection, rounds);
        {
            odbc::Connection db(connection);
            const auto start = Clock::now();
            Fill(db, trackers, std::min(2000L, trackers));
            odbc::Connection vacuum(connection, true);
            odbc::Query(vacuum, "VACUUM ANALYZE trackers");
            std::printf("filled %ld trackers in %.1f s\n", trackers,
                        Ms(Clock::now() - start) / 1000);
        }
        const Rounds large = TimeRounds(connection, rounds);
        std::printf("\nthe summary's query round      empty record   %ld trackers\n", trackers);
        std::printf("  first round (counts all)     %8.1f ms    %8.1f ms\n", empty.first,
                    large.first);
        const auto at = [](const std::vector<double>& v, double p) {
            return v.empty() ? 0.0
                             : v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
        };
        std::printf("  next rounds, median          %8.1f ms    %8.1f ms   (aim: under 100 ms)\n",
                    at(empty.next, 0.5), at(large.next, 0.5));
        std::printf("  next rounds, slowest         %8.1f ms    %8.1f ms\n", at(empty.next, 1.0),
                    at(large.next, 1.0));

        // The server itself, with viewers.
        const std::string err = "/tmp/serve_bench." + std::to_string(::getpid()) + ".err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<std::string> args = {
            QX17CTL_PROGRAM, "record",      "serve",         connection,
            "--listen",      "127.0.0.1:0", "--max-viewers", std::to_string(std::max(64, viewers))};
        std::vector<char*> argv_c;
        for (std::string& arg : args) {
            argv_c.push_back(arg.data());
        }
        argv_c.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, QX17CTL_PROGRAM, &actions, nullptr, argv_c.data(), environ) != 0) {
            throw std::runtime_error("qx17ctl cannot be started");
        }
        int port = 0;
        for (int i = 0; i < 200 && port == 0; ++i) {
            std::this_thread::sleep_for(50ms);
            std::ifstream said(err);
            const std::string text((std::istreambuf_iterator<char>(said)), {});
            const std::size_t at_port = text.find("http://127.0.0.1:");
            port = at_port == std::string::npos ? 0 : std::atoi(text.c_str() + at_port + 17);
        }
        if (port == 0) {
            kill(pid, SIGKILL);
            throw std::runtime_error("qx17ctl record serve did not start");
        }
        std::this_thread::sleep_for(3s);
        const long alone = ResidentKb(pid);
        long with_viewers = 0;
        std::size_t connected = 0;
        {
            Viewers open(port, viewers);
            connected = open.Count();
            std::this_thread::sleep_for(5s);
            with_viewers = ResidentKb(pid);
        }
        for (int wave = 0; wave < waves; ++wave) {
            Viewers open(port, viewers);
            std::this_thread::sleep_for(1500ms);
        }
        std::this_thread::sleep_for(2s);
        const long after = ResidentKb(pid);
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        std::remove(err.c_str());
        std::printf("\nrecord serve's memory (resident, on a record of %ld trackers)\n", trackers);
        std::printf("  alone                        %8.1f MB\n", static_cast<double>(alone) / 1024);
        std::printf("  with %zu viewers streaming   %8.1f MB\n", connected,
                    static_cast<double>(with_viewers) / 1024);
        std::printf("  after %d waves of them       %8.1f MB\n", waves,
                    static_cast<double>(after) / 1024);
        std::printf("  ended with exit code %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "serve_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
