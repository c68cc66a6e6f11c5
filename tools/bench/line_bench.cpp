// line_bench: the production line end to end. The real `qx17ctl line` runs
// against real `tracker-sim --real-pace --line N` programs (9600 bit/s both
// ways; each replugs the next tracker after a write-all and read-back), on
// 1, 4 and 16 ports (`--ports`), with a profile and a CSV log as on a line;
// each once with its output into a file and once on a pseudo-terminal, where
// it draws the station's board.
//
// From the trackers' logs it takes, per port, the moment each tracker held
// its handshake; a cycle runs from one tracker's handshake to the next one's,
// so the start-up (opening the ports, the wait for the first announcement)
// falls outside every cycle and is reported apart. Within a cycle, each time
// the tool has the turn (after the tracker's last byte, or after the tool's
// own frame before) until the tracker holds the tool's next frame whole, less
// that frame's wire time, is the tool's own share.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kByteMs = 10.0 * 1000.0 / 9600.0;  // 1.0417 ms: 960 bytes a second

// The frames of one tracker, both ways: six bytes of frame around each payload.
constexpr std::size_t FrameOf(std::size_t payload) {
    return payload + 6;
}
constexpr std::size_t kWriteAllData[4] = {4, 136, 22, 36};  // bytes per write-all frame
constexpr std::size_t kAnnouncement = FrameOf(2);
constexpr std::size_t kHandshake = FrameOf(3);
constexpr std::size_t kReadRequest = FrameOf(5);
constexpr std::size_t kReadReply = FrameOf(1 + 256);
constexpr std::size_t kAck = FrameOf(2);

std::size_t FloorBytes() {
    std::size_t writes = 0;
    for (std::size_t data : kWriteAllData) {
        writes += FrameOf(3 + data) + kAck;
    }
    return kAnnouncement + kHandshake + 2 * (kReadRequest + kReadReply) + writes;
}

// A profile in the window's settings format, every value set.
constexpr const char* kProfile =
    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
    "\"PW\"=\"1234\"\r\n\"GPRS_EN\"=dword:00000001\r\n\"GPRS_TYPE\"=dword:00000001\r\n"
    "\"GPRS_TM\"=\"120\"\r\n\"APN\"=\"internet.test\"\r\n\"APN_NAME\"=\"user\"\r\n"
    "\"APN_PW\"=\"secret\"\r\n\"DNS\"=\"1.1.1.1\"\r\n\"ID\"=\"11112222333344\"\r\n"
    "\"IP\"=\"198.51.100.7\"\r\n\"Port\"=\"9000\"\r\n\"Listen\"=\"5550100\"\r\n"
    "\"LOG_INT\"=\"300\"\r\n\"TimeZone\"=\"-60\"\r\n\"SleepMode\"=\"15\"\r\n"
    "\"SMS_OBJ\"=\"+4915100000\"\r\n\"SMS_INT\"=\"30\"\r\n\"SOS_NO\"=\"+112\"\r\n"
    "\"CallReply\"=dword:00000002\r\n";

// ---------------------------------------------------------------- processes

struct Child {
    pid_t pid = -1;
    int out = -1;  // its stdout, when piped
};

// Starts `args`, stdin from /dev/null, stderr to `err_file`, stdout to a pipe
// (`pipe_out`) or to `err_file` too; or, with `terminal` (a pty's slave),
// stdout and stderr both to that terminal.
Child Spawn(const std::vector<std::string>& args, const std::string& err_file, bool pipe_out,
            int terminal = -1) {
    Child child;
    int out[2] = {-1, -1};
    if (pipe_out && pipe2(out, O_CLOEXEC) < 0) {
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (terminal >= 0) {
        posix_spawn_file_actions_adddup2(&actions, terminal, 1);
        posix_spawn_file_actions_adddup2(&actions, terminal, 2);
    } else if (pipe_out) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    }
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_out) {
        close(out[1]);
        child.out = out[0];
    }
    return child;
}

// The first line of the child's stdout; nullopt after `limit`.
std::optional<std::string> FirstLine(const Child& child, std::chrono::milliseconds limit) {
    std::string text;
    const Clock::time_point end = Clock::now() + limit;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{child.out, POLLIN, 0};
        char chunk[256];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
            (n = read(child.out, chunk, sizeof chunk)) <= 0) {
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text.substr(0, text.find('\n'));
}

// Waits for the child's end: its exit code (128 + signal), or nullopt after
// `limit`. `usage` gets the child's resource use.
std::optional<int> WaitFor(Child& child, std::chrono::milliseconds limit, rusage* usage = nullptr) {
    const Clock::time_point end = Clock::now() + limit;
    for (;;) {
        int status = 0;
        rusage used{};
        if (wait4(child.pid, &status, WNOHANG, &used) == child.pid) {
            child.pid = -1;
            if (usage != nullptr) {
                *usage = used;
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Kill(Child& child) {
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    if (child.out >= 0) {
        close(child.out);
        child.out = -1;
    }
}

// ---------------------------------------------------------------- tracker logs

// One line of a tracker's log: "0.407760 rx AB AB 00 03 99 AA 55 D8 F5
// handshake", a sent one ending "(last byte 0.417134)".
struct Entry {
    double time = 0;
    std::string direction;  // rx, tx or --
    std::size_t size = 0;   // bytes on the line
    std::string note;
    double last_byte = 0;  // tx
};

bool IsHexByte(const std::string& word) {
    return word.size() == 2 && std::all_of(word.begin(), word.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
           });
}

std::vector<Entry> ReadLog(const std::string& path) {
    std::vector<Entry> entries;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        Entry e;
        if (const std::size_t at = line.rfind(" (last byte "); at != std::string::npos) {
            e.last_byte = std::atof(line.c_str() + at + 12);
            line.resize(at);
        }
        std::istringstream words(line);
        std::string word;
        words >> e.time >> e.direction;
        while (words >> word && IsHexByte(word)) {
            ++e.size;
        }
        std::string rest;
        std::getline(words, rest);
        e.note = word + rest;
        entries.push_back(e);
    }
    return entries;
}

bool Starts(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The turns of the tool in one cycle, in order.
constexpr int kTurns = 7;
constexpr const char* kTurnNames[kTurns] = {
    "handshake -> read-all request",
    "read-all reply -> write-all frame 1",
    "acknowledgement 1 -> frame 2",
    "acknowledgement 2 -> frame 3",
    "acknowledgement 3 -> frame 4",
    "acknowledgement 4 -> read-back request",
    "read-back reply -> handshake of the next tracker",
};

struct Cycle {
    double seconds = 0;           // handshake to the next tracker's handshake
    double share_ms = 0;          // the tool's own share
    double turn_ms[kTurns] = {};  // the share, turn by turn
};

struct PortLog {
    std::vector<Cycle> cycles;
    double first_handshake = 0;  // seconds on the tracker's clock
    double last_handshake = 0;
    std::string problem;  // empty when the log has the expected exchanges
};

// A tracker's time of the tool's part: from the latest of the tracker's last
// byte sent and the tool's frame held before, to this frame held, less its
// wire time.
double TurnMs(const Entry& request, double since) {
    return (request.time - since) * 1000.0 - kByteMs * static_cast<double>(request.size);
}

PortLog Analyse(const std::vector<Entry>& log, int trackers) {
    PortLog port;
    // Per tracker: where its handshake was held, and its turns.
    struct Tracker {
        double handshake = 0;
        double handshake_turn = 0;  // from its first announcement's last byte
        std::vector<double> turns;  // the requests after the handshake
    };
    std::vector<Tracker> seen;
    double first_announce_end = -1;  // of the tracker plugged in last
    double tool_since = 0;           // last byte from the tracker or last frame held
    for (const Entry& e : log) {
        if (e.direction == "--" && Starts(e.note, "replug")) {
            first_announce_end = -1;
        } else if (e.direction == "tx") {
            if (Starts(e.note, "announce") && first_announce_end < 0) {
                first_announce_end = e.last_byte;
            }
            tool_since = e.last_byte;
        } else if (e.direction == "rx" && Starts(e.note, "handshake")) {
            Tracker t;
            t.handshake = e.time;
            t.handshake_turn = TurnMs(e, first_announce_end);
            seen.push_back(t);
            tool_since = e.time;
        } else if (e.direction == "rx" && (Starts(e.note, "read ") || Starts(e.note, "write "))) {
            if (seen.empty()) {
                port.problem = "a request before the first handshake";
                return port;
            }
            seen.back().turns.push_back(TurnMs(e, tool_since));
            tool_since = e.time;
        } else if (e.direction == "rx" || e.direction == "--") {
            if (!Starts(e.note, "line done")) {
                port.problem = "unexpected in the log: " + e.note;
            }
        }
    }
    if (static_cast<int>(seen.size()) != trackers) {
        port.problem =
            std::to_string(seen.size()) + " handshakes in the log, not " + std::to_string(trackers);
        return port;
    }
    for (std::size_t k = 0; k < seen.size(); ++k) {
        if (seen[k].turns.size() != kTurns - 1) {
            port.problem = "tracker " + std::to_string(k + 1) + " had " +
                           std::to_string(seen[k].turns.size()) + " requests, not 6";
            return port;
        }
    }
    port.first_handshake = seen.front().handshake;
    port.last_handshake = seen.back().handshake;
    for (std::size_t k = 0; k + 1 < seen.size(); ++k) {
        Cycle c;
        c.seconds = seen[k + 1].handshake - seen[k].handshake;
        for (int i = 0; i < kTurns - 1; ++i) {
            c.turn_ms[i] = seen[k].turns[static_cast<std::size_t>(i)];
        }
        c.turn_ms[kTurns - 1] = seen[k + 1].handshake_turn;
        for (double t : c.turn_ms) {
            c.share_ms += t;
        }
        port.cycles.push_back(c);
    }
    return port;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// ---------------------------------------------------------------- one run

struct Line {
    int ports = 0;
    int trackers = 0;             // in all
    double rate = 0;              // trackers per minute: the ports' steady rates summed
    double whole_span_rate = 0;   // every cycle over the span from the first to the last handshake
    double cycle_ms = 0;          // median cycle of one port
    double share_ms = 0;          // median over the cycles of the tool's share per tracker
    double share_max_ms = 0;      // the largest of the cycles
    double turn_ms[kTurns] = {};  // medians over the cycles
    double cpu_ms = 0;            // qx17ctl's CPU time per tracker
    std::size_t drawn_bytes = 0;  // what the board wrote to its terminal
    double startup_min_ms = 1e300;  // qx17ctl started to a port's first handshake
    double startup_max_ms = 0;
    std::string failure;  // empty when the run succeeded
};

std::vector<std::string> SplitCsv(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream in(row);
    for (std::string cell; std::getline(in, cell, ',');) {
        cells.push_back(cell);
    }
    return cells;
}

// The CSV's rows: a failure message, or empty when every row is ok and
// there are `trackers` of them.
std::string CheckCsv(const fs::path& path, int trackers) {
    std::ifstream in(path);
    std::string line;
    int rows = 0;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        ++rows;
        const std::vector<std::string> cells = SplitCsv(line);
        if (cells.size() < 5 || cells[4] != "ok") {
            return "a log row is not ok: " + line;
        }
    }
    if (rows < trackers) {
        return "the log has " + std::to_string(rows) + " rows for " + std::to_string(trackers) +
               " trackers";
    }
    return {};
}

// The master side of the board's terminal, drained until it closes: what
// the board drew is counted, and its writes never block.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::size_t drawn = 0;
    std::thread drain;

    bool Open(int ports) {
        winsize size{};
        size.ws_col = 100;
        size.ws_row = static_cast<unsigned short>(ports + 12);
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
            return false;
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        drain = std::thread([this] {
            char chunk[4096];
            for (ssize_t n;
                 (n = read(master, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);) {
                drawn += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        });
        return true;
    }
    // The program has ended: the slave's last holder goes, the drain ends.
    void Close() {
        if (slave >= 0) {
            close(slave);
            slave = -1;
        }
        if (drain.joinable()) {
            drain.join();
        }
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }
    ~Terminal() { Close(); }
};

Line RunLine(int ports, int per_port, const fs::path& folder, bool board) {
    Line result;
    result.ports = ports;
    result.trackers = ports * per_port;
    const fs::path dir = folder / (std::to_string(ports) + (board ? "-ports-board" : "-ports"));
    fs::create_directories(dir);
    const fs::path profile = dir / "profile.reg";
    std::ofstream(profile, std::ios::binary) << kProfile;

    std::vector<Child> trackers;
    std::vector<Clock::time_point> tracker_start;  // when each gave its slave path
    std::vector<std::string> slaves;
    const auto fail = [&](const std::string& why) {
        for (Child& t : trackers) {
            Kill(t);
        }
        result.failure = why;
        return result;
    };
    for (int p = 0; p < ports; ++p) {
        char id[32];
        std::snprintf(id, sizeof id, "%014llu",
                      35712000000001ULL + 1000000ULL * static_cast<unsigned>(p));
        const std::string log = (dir / ("tracker-" + std::to_string(p + 1) + ".log")).string();
        trackers.push_back(Spawn({TRACKER_SIM_PROGRAM, "--real-pace", "--line",
                                  std::to_string(per_port), "--id", id, "--no-stdin", "--log", log},
                                 (dir / ("tracker-" + std::to_string(p + 1) + ".err")).string(),
                                 true));
        const std::optional<std::string> slave =
            trackers.back().pid > 0 ? FirstLine(trackers.back(), std::chrono::seconds(10))
                                    : std::nullopt;
        if (!slave) {
            return fail("tracker-sim " + std::to_string(p + 1) + " did not start");
        }
        tracker_start.push_back(Clock::now());
        slaves.push_back(*slave);
    }

    std::vector<std::string> args = {QX17CTL_PROGRAM, "line"};
    args.insert(args.end(), slaves.begin(), slaves.end());
    for (const std::string& a :
         {std::string("--profile"), profile.string(), std::string("--log"),
          (dir / "line.csv").string(), std::string("--count"), std::to_string(result.trackers)}) {
        args.push_back(a);
    }
    Terminal terminal;
    if (board && !terminal.Open(ports)) {
        return fail("no pseudo-terminal for the board");
    }
    const Clock::time_point started = Clock::now();
    Child ctl = Spawn(args, (dir / "qx17ctl.err").string(), false, board ? terminal.slave : -1);
    if (ctl.pid < 0) {
        return fail("qx17ctl did not start");
    }
    rusage usage{};
    const std::optional<int> ctl_exit =
        WaitFor(ctl, std::chrono::seconds(30 + 5 * per_port), &usage);
    if (!ctl_exit) {
        Kill(ctl);
        return fail("qx17ctl did not end in time (see " + (dir / "qx17ctl.err").string() + ")");
    }
    terminal.Close();
    result.drawn_bytes = terminal.drawn;
    if (*ctl_exit != 0) {
        return fail("qx17ctl ended with code " + std::to_string(*ctl_exit) + " (see " +
                    (dir / "qx17ctl.err").string() + ")");
    }
    if (board && terminal.drawn == 0) {
        return fail("qx17ctl drew nothing on its terminal");
    }
    for (std::size_t p = 0; p < trackers.size(); ++p) {
        const std::optional<int> code = WaitFor(trackers[p], std::chrono::seconds(5));
        if (code != 0) {
            return fail("tracker-sim " + std::to_string(p + 1) +
                        (code ? " ended with code " + std::to_string(*code)
                              : std::string(" did not end after its last tracker")));
        }
        Kill(trackers[p]);  // closes its pipe
    }
    if (const std::string csv = CheckCsv(dir / "line.csv", result.trackers); !csv.empty()) {
        return fail(csv);
    }

    std::vector<double> cycles, shares, turns[kTurns];
    double span_begin = 1e300, span_end = -1e300;
    int all_cycles = 0;
    for (int p = 0; p < ports; ++p) {
        const std::string log = (dir / ("tracker-" + std::to_string(p + 1) + ".log")).string();
        const PortLog port = Analyse(ReadLog(log), per_port);
        if (!port.problem.empty()) {
            return fail(log + ": " + port.problem);
        }
        const double offset = Seconds(tracker_start[static_cast<std::size_t>(p)] - started).count();
        const double startup_ms = (offset + port.first_handshake) * 1000.0;
        result.startup_min_ms = std::min(result.startup_min_ms, startup_ms);
        result.startup_max_ms = std::max(result.startup_max_ms, startup_ms);
        span_begin = std::min(span_begin, offset + port.first_handshake);
        span_end = std::max(span_end, offset + port.last_handshake);
        const std::size_t n = port.cycles.size();
        all_cycles += static_cast<int>(n);
        if (n > 0) {
            result.rate +=
                60.0 * static_cast<double>(n) / (port.last_handshake - port.first_handshake);
        }
        for (const Cycle& c : port.cycles) {
            cycles.push_back(c.seconds * 1000.0);
            shares.push_back(c.share_ms);
            result.share_max_ms = std::max(result.share_max_ms, c.share_ms);
            for (int i = 0; i < kTurns; ++i) {
                turns[i].push_back(c.turn_ms[i]);
            }
        }
    }
    if (all_cycles == 0) {
        return fail("no cycle to measure: at least 2 trackers a port are needed");
    }
    result.whole_span_rate = 60.0 * all_cycles / (span_end - span_begin);
    result.cycle_ms = Median(cycles);
    result.share_ms = Median(shares);
    for (int i = 0; i < kTurns; ++i) {
        result.turn_ms[i] = Median(turns[i]);
    }
    const double cpu =
        Seconds(std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec))
            .count();
    result.cpu_ms = cpu * 1000.0 / result.trackers;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    int per_port = 20;
    std::vector<int> port_counts = {1, 4, 16};
    CLI::App cli{
        "The production line end to end: qx17ctl line against tracker-sim --real-pace --line N\n"
        "on 1, 4 and 16 ports, each with its output into a file and with its board on a\n"
        "terminal; trackers per minute beside the protocol's floor, the tool's own share and\n"
        "its CPU time per tracker.",
        "line_bench"};
    cli.set_version_flag("--version", std::string("line_bench ") + QX17_VERSION);
    cli.add_option("--trackers", per_port, "trackers per port (the rates need 2 at least)")
        ->capture_default_str()
        ->check(CLI::Range(2, 10000));
    cli.add_option("--ports", port_counts, "the numbers of ports to run, the first the base")
        ->capture_default_str()
        ->delimiter(',')
        ->check(CLI::Range(1, 64));
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }
    signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/qx17-line-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("line_bench: mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    std::vector<Line> files;
    std::vector<Line> boards;
    bool failed = false;
    for (int ports : port_counts) {
        for (bool board : {false, true}) {
            const Line line = RunLine(ports, per_port, folder, board);
            if (!line.failure.empty()) {
                std::fprintf(stderr, "line_bench: %d port(s)%s: %s\n", line.ports,
                             board ? " with the board" : "", line.failure.c_str());
                failed = true;
            }
            (board ? boards : files).push_back(line);
        }
    }
    if (failed) {
        std::fprintf(stderr, "line_bench: the files are kept in %s\n", folder.c_str());
        return 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);

    const std::size_t floor_bytes = FloorBytes();
    const double floor_ms = kByteMs * static_cast<double>(floor_bytes);
    std::printf(
        "line_bench: qx17ctl line against tracker-sim --real-pace --line %d (9600 bit/s both\n"
        "ways), a profile of every value, a CSV log; %d trackers per port. A cycle runs from one\n"
        "tracker's handshake to the next one's; start-up is outside every cycle. Each line runs\n"
        "with its output into a file, then on a pseudo-terminal (100 columns) with its board.\n\n",
        per_port, per_port);
    const auto row = [&](const char* label, const std::function<std::string(const Line&)>& cell,
                         const std::vector<Line>& lines) {
        std::printf("%-52s", label);
        for (const Line& line : lines) {
            std::printf(" %11s", cell(line).c_str());
        }
        std::printf("\n");
    };
    const auto number = [](double value, int decimals) {
        char text[32];
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        return std::string(text);
    };
    std::printf("%-52s", "");
    for (const Line& line : files) {
        std::printf(" %11s",
                    (std::to_string(line.ports) + (line.ports == 1 ? " port" : " ports")).c_str());
    }
    std::printf("\n");
    row(
        "trackers per minute", [&](const Line& l) { return number(l.rate, 1); }, files);
    row(
        "  at the protocol's floor",
        [&](const Line& l) { return number(l.ports * 60000.0 / floor_ms, 1); }, files);
    row(
        "  every cycle over the whole span (cross-check)",
        [&](const Line& l) { return number(l.whole_span_rate, 1); }, files);
    char floor_label[80];
    std::snprintf(floor_label, sizeof floor_label, "floor per tracker, ms (%zu bytes at 960 B/s)",
                  floor_bytes);
    row(
        floor_label, [&](const Line&) { return number(floor_ms, 1); }, files);
    row(
        "cycle per tracker on a port, ms (median)",
        [&](const Line& l) { return number(l.cycle_ms, 1); }, files);
    row(
        "the tool's own share per tracker, ms (median)",
        [&](const Line& l) { return number(l.share_ms, 2); }, files);
    row(
        "  the largest of the cycles", [&](const Line& l) { return number(l.share_max_ms, 2); },
        files);
    row(
        "qx17ctl CPU time per tracker, ms (start-up incl.)",
        [&](const Line& l) { return number(l.cpu_ms, 2); }, files);
    row(
        "start-up, ms: to the ports' first handshakes",
        [&](const Line& l) {
            return l.ports == 1 ? number(l.startup_max_ms, 0)
                                : number(l.startup_min_ms, 0) + ".." + number(l.startup_max_ms, 0);
        },
        files);
    std::printf("\nWith the board drawn on a terminal:\n");
    row(
        "trackers per minute", [&](const Line& l) { return number(l.rate, 1); }, boards);
    row(
        "the tool's own share per tracker, ms (median)",
        [&](const Line& l) { return number(l.share_ms, 2); }, boards);
    row(
        "qx17ctl CPU time per tracker, ms (start-up incl.)",
        [&](const Line& l) { return number(l.cpu_ms, 2); }, boards);
    row(
        "bytes drawn on the terminal per tracker",
        [&](const Line& l) { return number(static_cast<double>(l.drawn_bytes) / l.trackers, 0); },
        boards);
    std::printf(
        "\nThe tool's share turn by turn, ms (median over the cycles; output into a file): from\n"
        "the tracker's last byte (or the tool's frame before) to the tracker holding the tool's\n"
        "frame, less that frame's wire time.\n");
    for (int i = 0; i < kTurns; ++i) {
        row(("  " + std::string(kTurnNames[i])).c_str(),
            [&](const Line& l) { return number(l.turn_ms[i], 2); }, files);
    }
    std::printf("\nAims (reported, not enforced):\n");
    bool shares_met = true;
    for (const std::vector<Line>* lines : {&files, &boards}) {
        for (const Line& line : *lines) {
            shares_met = shares_met && line.share_ms < 5;
        }
    }
    std::printf("  the tool's own share under 5 ms per tracker, every run: %s\n",
                shares_met ? "met" : "NOT MET");
    const Line& base = files.front();
    for (std::size_t i = 1; i < files.size(); ++i) {
        const double ratio = files[i].rate / base.rate;
        // n times the trackers, less 0.1 for a few ports (3.9 for 4), less
        // a thirty-second of it for more (15.5 for 16).
        const double n = static_cast<double>(files[i].ports) / base.ports;
        const double aim = n <= 4 ? n - 0.1 : n - n / 32.0;
        std::printf("  %d ports at least %.2f times the trackers of %d: %.2f (%s)\n",
                    files[i].ports, aim, base.ports, ratio, ratio >= aim ? "met" : "NOT MET");
    }
    int all = 0;
    for (const std::vector<Line>* lines : {&files, &boards}) {
        for (const Line& line : *lines) {
            all += line.trackers;
        }
    }
    std::printf("\nEvery run ended well: %d trackers in all, every log row ok.\n", all);
    return 0;
}
