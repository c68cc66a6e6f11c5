// serial_bench: the editor's serial component TComm against two general serial
// libraries, Qt's QSerialPort and libserialport, over pseudo-terminal pairs.
// A device process plays the tracker on the master side; the library under
// test opens the slave. For each library the program measures
//   - receive (device -> library) and send (library -> device) throughput, and
//     the CPU time the library side spends per MB moved, checking every byte;
//   - the delay from the device's write of a short frame until the library
//     hands the whole frame to the application (for TComm: beyond its read
//     interval, which by design ends a read only after a pause in the bytes).
// and prints one table. Figures are reported, never enforced; a transfer that
// arrives wrong, or not at all, makes the program exit non-zero.
#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/bench/bench_device.h"
#include "tools/bench/bench_link.h"
#include "tools/bench/bench_stream.h"
#include "tools/bench/libserialport_on_pty.h"

namespace qx17::bench {
namespace {

constexpr double kMB = 1e6;
constexpr double kAimDelayMs = 5.0;

struct Options {
    std::uint64_t mib = 32;
    int repeats = 5;
    int frames = 30;
    std::string only;  // measure just the library whose name starts so (for profiling)
};

// The command line; nothing when the program ends at once (`code` then
// holds its exit code: 0 after --help or --version).
std::optional<Options> ParseOptions(int argc, char** argv, int& code) {
    Options options;
    CLI::App app{
        "TComm against QSerialPort and libserialport over pty pairs: throughput, CPU "
        "per MB and frame delay.",
        "serial_bench"};
    app.set_version_flag("--version", std::string("serial_bench ") + QX17_VERSION);
    app.add_option("--mib", options.mib, "MiB moved per transfer")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    app.add_option("--repeats", options.repeats, "timed transfers per library and direction")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    app.add_option("--frames", options.frames, "short frames timed per library")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    app.add_option("--only", options.only,
                   "just the library whose name starts with NAME, e.g. TComm")
        ->type_name("NAME");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        code = app.exit(e) == 0 ? 0 : 2;
        return std::nullopt;
    }
    return options;
}

std::string Machine() {
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                model = line.substr(line.find_first_not_of(" \t", colon + 1));
            }
            break;
        }
    }
    utsname name{};
    ::uname(&name);
    return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs (nproc), " + model + ", " +
           name.sysname + " " + name.release;
}

enum class Direction { Receive, Send };

const char* DirectionName(Direction direction) {
    return direction == Direction::Receive ? "receive" : "send";
}

struct Series {
    std::vector<double> bytes_per_second;
    std::vector<double> cpu_per_mb;
    std::vector<double> user_per_mb;
    std::vector<double> system_per_mb;
    std::vector<double> switches_per_mb;
};

struct Entry {
    std::unique_ptr<LinkUnderTest> link;
    std::string unavailable;  // why the library could not be set up at all
    Series receive;
    Series send;
    std::vector<double> delay_ms;
    double delay_offset_ms = 0.0;
    bool ours = false;  // the component the aims are about; the others are its peers
};

class Bench {
  public:
    Bench(const Options& options, DeviceProcess& device) : options_(options), device_(device) {}

    void Add(std::unique_ptr<LinkUnderTest> link, bool ours, std::string unavailable = {}) {
        if (!options_.only.empty() && link->Name().rfind(options_.only, 0) != 0) {
            return;
        }
        entries_.push_back(Entry{std::move(link), std::move(unavailable), {}, {}, {}, 0.0, ours});
    }

    void Run() {
        const std::uint64_t bytes = options_.mib << 20;
        std::printf("Warm-up: 1 MiB each way per library, not counted.\n");
        for (Entry& entry : entries_) {
            if (entry.unavailable.empty()) {
                Transfer(entry, Direction::Receive, 1u << 20, false);
                Transfer(entry, Direction::Send, 1u << 20, false);
            }
        }
        // The libraries take turns within every round, so that a slow spell of
        // the shared machine falls on all of them alike.
        for (int round = 1; round <= options_.repeats; ++round) {
            std::printf("Round %d of %d:\n", round, options_.repeats);
            for (Direction direction : {Direction::Receive, Direction::Send}) {
                for (Entry& entry : entries_) {
                    if (entry.unavailable.empty()) {
                        Transfer(entry, direction, bytes, true);
                    }
                }
            }
        }
        for (Entry& entry : entries_) {
            if (entry.unavailable.empty()) {
                Frames(entry);
            }
        }
    }

    void Report() const {
        const std::uint64_t bytes = options_.mib << 20;
        std::printf(
            "\nSerial link over a pty pair: %llu bytes per transfer, median of %d transfers;\n"
            "frame delay over %d frames of %zu bytes. MB = 10^6 bytes; CPU = user + system\n"
            "time of the library's process (device side excluded).\n\n",
            static_cast<unsigned long long>(bytes), options_.repeats, options_.frames,
            Frame(0).size());
        std::printf("%-26s %14s %10s %14s %10s %8s %8s  %s\n", "", "receive", "receive", "send",
                    "send", "delay", "delay", "frame delay");
        std::printf("%-26s %14s %10s %14s %10s %8s %8s  %s\n", "library", "bytes/s", "CPU s/MB",
                    "bytes/s", "CPU s/MB", "med. ms", "max ms", "measured as");
        std::size_t meaning = 0;
        for (const Entry& entry : entries_) {
            meaning = std::max(meaning, entry.link->DelayMeaning().size());
        }
        std::printf("%s\n", std::string(26 + 15 + 11 + 15 + 11 + 9 + 9 + 2 + meaning, '-').c_str());
        for (const Entry& entry : entries_) {
            if (!entry.unavailable.empty()) {
                std::printf("%-26s not measured: %s\n", entry.link->Name().c_str(),
                            entry.unavailable.c_str());
                continue;
            }
            std::printf("%-26s %14s %10s %14s %10s %8s %8s  %s\n", entry.link->Name().c_str(),
                        Rate(entry.receive).c_str(), Cpu(entry.receive).c_str(),
                        Rate(entry.send).c_str(), Cpu(entry.send).c_str(),
                        Delay(entry.delay_ms, false).c_str(), Delay(entry.delay_ms, true).c_str(),
                        entry.link->DelayMeaning().c_str());
        }
        std::printf(
            "\nDetail: throughput range over the timed transfers; medians of user and system\n"
            "CPU per MB, and of the context switches of the library's process per MB.\n");
        std::printf("  %-26s %-8s %17s %11s %11s %12s\n", "library", "", "MB/s min..max",
                    "user s/MB", "sys s/MB", "switches/MB");
        for (const Entry& entry : entries_) {
            if (!entry.unavailable.empty()) {
                continue;
            }
            for (Direction direction : {Direction::Receive, Direction::Send}) {
                const Series& series = direction == Direction::Receive ? entry.receive : entry.send;
                if (series.bytes_per_second.empty()) {
                    continue;
                }
                const auto [low, high] = std::minmax_element(series.bytes_per_second.begin(),
                                                             series.bytes_per_second.end());
                std::printf("  %-26s %-8s %8.1f..%-7.1f %11.5f %11.5f %12.0f\n",
                            direction == Direction::Receive ? entry.link->Name().c_str() : "",
                            DirectionName(direction), *low / kMB, *high / kMB,
                            Median(series.user_per_mb), Median(series.system_per_mb),
                            Median(series.switches_per_mb));
            }
        }
        JudgeAims();
        std::printf("\n%s\n", failures_ == 0 ? "Every transfer and frame arrived intact."
                                             : "SOME TRANSFERS FAILED: see the lines above.");
    }

    // Non-zero when a transfer or frame went wrong or nothing was measured. A
    // peer that cannot be set up here is reported in its row, not as a failure.
    int ExitCode() const { return failures_ != 0 || entries_.empty() ? 1 : 0; }

  private:
    // An 11-byte frame, as long as the editor's read request; `seq` makes
    // each one different.
    static std::vector<std::uint8_t> Frame(int seq) {
        return {0xAB, 0xAB, 0x00, 0x07, 0x5A, static_cast<std::uint8_t>(seq),
                0x00, 0x01, 0x00, 0x3C, 0xC3};
    }

    void Fail(const Entry& entry, const std::string& what, const std::string& problem) {
        ++failures_;
        std::printf("  FAILED %s %s: %s\n", entry.link->Name().c_str(), what.c_str(),
                    problem.c_str());
        std::fflush(stdout);
    }

    void Transfer(Entry& entry, Direction direction, std::uint64_t bytes, bool counted) {
        LinkUnderTest& link = *entry.link;
        std::string problem;
        const std::optional<std::string> slave = device_.OpenPair(problem);
        if (!slave) {
            Fail(entry, "pty pair", problem);
            return;
        }
        Meter meter;
        bool ok = link.Open(*slave, problem);
        if (ok) {
            if (direction == Direction::Receive) {
                StreamChecker checker(stream_, bytes);
                ok = link.Receive(device_, checker, meter, problem);
            } else {
                ok = link.Send(device_, stream_, bytes, meter, problem);
            }
        }
        link.Close();
        if (ok && !device_.ClosePair(problem)) {
            ok = false;
        }
        if (!ok) {
            Fail(entry, DirectionName(direction), problem);
            return;
        }
        if (!counted) {
            return;
        }
        const double mb = static_cast<double>(bytes) / kMB;
        const double cpu = meter.UserSeconds() + meter.SystemSeconds();
        Series& series = direction == Direction::Receive ? entry.receive : entry.send;
        series.bytes_per_second.push_back(static_cast<double>(bytes) / meter.WallSeconds());
        series.cpu_per_mb.push_back(cpu / mb);
        series.user_per_mb.push_back(meter.UserSeconds() / mb);
        series.system_per_mb.push_back(meter.SystemSeconds() / mb);
        series.switches_per_mb.push_back(static_cast<double>(meter.ContextSwitches()) / mb);
        std::printf(
            "  %-7s %-26s %.3f s %7.1f MB/s  CPU %.3f s (user %.3f, system %.3f)  %ld switches\n",
            DirectionName(direction), link.Name().c_str(), meter.WallSeconds(),
            series.bytes_per_second.back() / kMB, cpu, meter.UserSeconds(), meter.SystemSeconds(),
            meter.ContextSwitches());
        std::fflush(stdout);
    }

    void Frames(Entry& entry) {
        LinkUnderTest& link = *entry.link;
        std::string problem;
        const std::optional<std::string> slave = device_.OpenPair(problem);
        if (!slave) {
            Fail(entry, "pty pair", problem);
            return;
        }
        if (!link.Open(*slave, problem)) {
            Fail(entry, "frames", problem);
            link.Close();
            device_.ClosePair(problem);
            return;
        }
        entry.delay_offset_ms = link.ReadIntervalMs();
        for (int i = 0; i < options_.frames; ++i) {
            // A quiet line before each frame: the library waits as it would
            // between a tracker's replies.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::vector<std::uint8_t> frame = Frame(i);
            const std::optional<Clock::time_point> arrived =
                link.ReceiveFrame(device_, frame, problem);
            const std::optional<Clock::time_point> written = device_.FinishFrame(problem);
            if (!arrived || !written) {
                Fail(entry, "frame " + std::to_string(i), problem);
                break;
            }
            const double delay =
                std::chrono::duration<double, std::milli>(*arrived - *written).count();
            entry.delay_ms.push_back(delay - entry.delay_offset_ms);
        }
        link.Close();
        if (!device_.ClosePair(problem)) {
            Fail(entry, "frames", problem);
        }
        if (!entry.delay_ms.empty()) {
            std::printf("Frames %-26s delay%s: median %.3f ms, max %.3f ms\n", link.Name().c_str(),
                        entry.delay_offset_ms > 0 ? " beyond the read interval" : "",
                        Median(entry.delay_ms),
                        *std::max_element(entry.delay_ms.begin(), entry.delay_ms.end()));
        }
    }

    static std::string Rate(const Series& series) {
        if (series.bytes_per_second.empty()) {
            return "-";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", Median(series.bytes_per_second));
        return text;
    }
    static std::string Cpu(const Series& series) {
        if (series.cpu_per_mb.empty()) {
            return "-";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.5f", Median(series.cpu_per_mb));
        return text;
    }
    static std::string Delay(const std::vector<double>& delays, bool max) {
        if (delays.empty()) {
            return "-";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.3f",
                      max ? *std::max_element(delays.begin(), delays.end()) : Median(delays));
        return text;
    }

    void JudgeAims() const {
        std::printf("\nAims, judged on these figures (reported, not enforced):\n");
        const auto found = std::find_if(entries_.begin(), entries_.end(),
                                        [](const Entry& entry) { return entry.ours; });
        if (found == entries_.end() || !found->unavailable.empty()) {
            std::printf("  TComm was not measured.\n");
            return;
        }
        const Entry& ours = *found;
        for (Direction direction : {Direction::Receive, Direction::Send}) {
            const Series& mine = direction == Direction::Receive ? ours.receive : ours.send;
            if (mine.bytes_per_second.empty()) {
                std::printf("  %-7s: TComm has no figures\n", DirectionName(direction));
                continue;
            }
            const double rate = Median(mine.bytes_per_second);
            const double cpu = Median(mine.cpu_per_mb);
            for (const Entry& peer : entries_) {
                const Series& theirs = direction == Direction::Receive ? peer.receive : peer.send;
                if (peer.ours || theirs.bytes_per_second.empty()) {
                    continue;
                }
                const double their_rate = Median(theirs.bytes_per_second);
                const double their_cpu = Median(theirs.cpu_per_mb);
                std::printf("  %-7s vs %-26s throughput %5.2fx (%s), CPU per MB %5.2fx (%s)\n",
                            DirectionName(direction), peer.link->Name().c_str(), rate / their_rate,
                            rate >= their_rate ? "at least theirs: met" : "NOT MET",
                            cpu / their_cpu, cpu <= their_cpu ? "no more: met" : "NOT MET");
            }
        }
        if (!ours.delay_ms.empty()) {
            const double median = Median(ours.delay_ms);
            const double max = *std::max_element(ours.delay_ms.begin(), ours.delay_ms.end());
            std::printf(
                "  TComm delay beyond the %.0f ms read interval: median %.3f ms, max %.3f ms (%s "
                "%.0f ms)\n",
                ours.delay_offset_ms, median, max,
                max < kAimDelayMs
                    ? "under"
                    : (median < kAimDelayMs ? "median under, max NOT under" : "NOT under"),
                kAimDelayMs);
        }
    }

    const Options options_;
    DeviceProcess& device_;
    const ByteStream stream_;
    std::vector<Entry> entries_;
    int failures_ = 0;
};

int Main(int argc, char** argv) {
    int code = 0;
    const std::optional<Options> options = ParseOptions(argc, argv, code);
    if (!options) {
        return code;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Both of these need the program still single-threaded: the device process
    // is forked first, then this process gets its own mount namespace for the
    // libserialport port alias. Only then may Qt start.
    DeviceProcess device;
    std::string libserialport_problem;
    const bool libserialport_ready = EnterPrivateMountNamespace(libserialport_problem) &&
                                     AnswerModemLinesForLibserialport(libserialport_problem);
    QCoreApplication app(argc, argv);

    std::printf("serial_bench: TComm vs QSerialPort vs libserialport over pty pairs\n");
    std::printf("Machine: %s\n", Machine().c_str());
    std::printf(
        "Method: the device (pty master) runs in a forked process; CPU is getrusage(RUSAGE_SELF)\n"
        "user + system of the library's process around each transfer; wall time on the steady\n"
        "clock; every byte is checked against a pseudo-random stream (period %zu).\n"
        "Application blocks of %u bytes; up to %llu bytes kept queued while sending.\n"
        "libserialport opens the pty as %s (a bind mount private to this process);\n"
        "its modem-line ioctls, which ptys refuse, are answered as 'no signals'.\n\n",
        ByteStream::kPeriod, kAppBlock, static_cast<unsigned long long>(kSendWindow),
        PortAlias::kName);

    Bench bench(*options, device);
    bench.Add(MakeTCommLink(), true);
    bench.Add(MakeQSerialPortLink(), false);
    if (libserialport_ready) {
        bench.Add(MakeLibserialportLink(), false);
    } else {
        bench.Add(MakeLibserialportLink(), false, "cannot open a pty: " + libserialport_problem);
    }
    bench.Run();
    bench.Report();
    return bench.ExitCode();
}

}  // namespace
}  // namespace qx17::bench

int main(int argc, char** argv) {
    try {
        return qx17::bench::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "serial_bench: %s\n", e.what());
        return 2;
    }
}
