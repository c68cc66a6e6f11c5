#include "tools/soak/soak_serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "ctl/line/stop_request.h"
#include "ctl/record/odbc.h"
#include "ctl/record/schema.h"
#include "ctl/serve/summary_server.h"
#include "tools/record_server/record_server.h"

extern char** environ;

namespace qx17::soak {

namespace {

using namespace std::chrono_literals;
namespace odbc = ctl::odbc;

long ResidentKibOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// A viewer: its stream opened, read now and then (or never, when stalled).
struct Viewer {
    int fd = -1;
    bool stalled = false;
    bool refused = false;
    std::string got;
};

int OpenStream(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /api/stream HTTP/1.1\r\nHost: soak\r\n\r\n";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Drain(Viewer& viewer) {
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::recv(viewer.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        viewer.got.append(buffer, static_cast<std::size_t>(n));
        if (viewer.got.size() > (1u << 20)) {
            viewer.got.erase(0, viewer.got.size() - (1u << 16));  // the latest is what counts
        }
    }
}

void AddRow(const std::string& connection, int n) {
    odbc::Connection db(connection);
    odbc::Statement(db,
                    "INSERT INTO trackers (station_id, port, started, finished, id_before, "
                    "id_written, outcome) SELECT station_id, 'COM1', now(), now(), ?, ?, 'ok' "
                    "FROM stations WHERE name = 'A'")
        .Execute({odbc::Value::Text(std::to_string(35712001000000LL + n)),
                  odbc::Value::Text(std::to_string(35712000000001LL + n))});
    db.Commit();
}

}  // namespace

int ServeForSoak(const std::string& connection) {
    ctl::ServeOptions options;
    options.feed.connection = connection;
    options.feed.version = QX17_VERSION;
    options.port = 0;
    options.listening = [](int port) {
        std::printf("port %d\n", port);
        std::fflush(stdout);
    };
    ctl::InstallStopHandlers();
    return ctl::ServeRecord(options);
}

Report SoakServe(int minutes, unsigned seed) {
    tools::RecordServer server;
    {
        odbc::Connection db(server.Connection());
        ctl::MigrateRecord(db);
        odbc::Query(db, "INSERT INTO stations (name) VALUES ('A')");
        db.Commit();
    }
    char out_name[] = "/tmp/soak-serve-XXXXXX";
    const int out = ::mkstemp(out_name);
    std::vector<std::string> args = {"/proc/self/exe", "--part", "serve-server", "--connection",
                                     server.Connection()};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out);
    int port = 0;
    for (int i = 0; failed == 0 && i < 200 && port == 0; ++i) {
        std::this_thread::sleep_for(50ms);
        std::ifstream said(out_name);
        std::string word;
        said >> word >> port;
    }
    ::unlink(out_name);
    if (port == 0) {
        if (failed == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return {"record serve, viewers", "", "the server did not start", false};
    }

    std::mt19937 random(seed);
    std::vector<Viewer> viewers;
    long opened = 0, stalled = 0, refused = 0, rows = 0, reading_behind = 0, checks = 0;
    long baseline = -1, highest = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::minutes(minutes);
    auto next_sample = start + 1min;
    while (Clock::now() < end) {
        // Viewers come (up to 64 at once, one in ten never reading) and go.
        const int coming = std::uniform_int_distribution<int>(0, 8)(random);
        for (int i = 0; i < coming && viewers.size() < 64; ++i) {
            Viewer viewer;
            viewer.fd = OpenStream(port);
            viewer.stalled = std::uniform_int_distribution<int>(0, 9)(random) == 0;
            if (viewer.fd >= 0) {
                ++opened;
                stalled += viewer.stalled ? 1 : 0;
                viewers.push_back(std::move(viewer));
            }
        }
        AddRow(server.Connection(), static_cast<int>(++rows));
        std::this_thread::sleep_for(2500ms);
        // Every reading viewer has the newest count by now; one the server
        // turned away (503: the streams were at their most, counting those it
        // has not yet seen go) is not a viewer.
        const std::string newest = "\"today\":" + std::to_string(rows);
        for (Viewer& viewer : viewers) {
            if (!viewer.stalled && !viewer.refused) {
                Drain(viewer);
                if (viewer.got.rfind("HTTP/1.1 503", 0) == 0) {
                    viewer.refused = true;
                    ++refused;
                    continue;
                }
                ++checks;
                reading_behind += viewer.got.find(newest) == std::string::npos ? 1 : 0;
            }
        }
        const int going = std::uniform_int_distribution<int>(0, 8)(random);
        for (int i = 0; i < going && !viewers.empty(); ++i) {
            const auto at =
                std::uniform_int_distribution<std::size_t>(0, viewers.size() - 1)(random);
            ::close(viewers[at].fd);
            viewers.erase(viewers.begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (Clock::now() >= next_sample) {
            const long now = ResidentKibOf(pid);
            baseline = baseline < 0 ? now : baseline;
            highest = std::max(highest, now);
            next_sample += 1min;
        }
    }
    for (Viewer& viewer : viewers) {
        ::close(viewer.fd);
    }
    std::this_thread::sleep_for(3s);
    const long last = ResidentKibOf(pid);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    Report report;
    report.part = "record serve, viewers";
    report.tried = std::to_string(minutes) + " min: " + std::to_string(opened) + " viewers (" +
                   std::to_string(stalled) + " never reading, " + std::to_string(refused) +
                   " turned away at the most), " + std::to_string(rows) + " rows added";
    report.saw = std::to_string(reading_behind) + " of " + std::to_string(checks) +
                 " looks found a reading viewer behind; RSS " + std::to_string(baseline) + " -> " +
                 std::to_string(last) + " KiB (highest " + std::to_string(highest) + "); " +
                 (clean ? "ended cleanly" : "did not end cleanly");
    report.passed = clean && reading_behind == 0 && baseline > 0 && last - baseline < 1024;
    return report;
}

}  // namespace qx17::soak
