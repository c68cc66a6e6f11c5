// tracker-sim: a virtual QX17 tracker on a pseudo-terminal, for tests, demos
// and trying the tool by hand. Prints the slave path on the first line of
// stdout, then takes commands on stdin until "quit", end of input, SIGINT,
// SIGTERM or the end of a scripted line (--line N). docs/virtual-tracker.md
// describes it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/tracker_sim/virtual_tracker.h"

namespace {

using qx17::sim::Bytes;
using qx17::sim::Milliseconds;

// The program's name in its messages: tracker-sim in the build, and
// qx17-tracker-sim as the package installs it (the same program built again
// under that name, so each answers --version with its own name).
#ifndef QX17_SIM_PROGRAM
#define QX17_SIM_PROGRAM "tracker-sim"
#endif
constexpr const char* kProgram = QX17_SIM_PROGRAM;

constexpr const char* kUsage = R"( [OPTION]...
Runs a virtual QX17 tracker on a pseudo-terminal. The first line of stdout is
the slave path (e.g. /dev/pts/7) for the tool to open.

Options:
  --link N          create the link comN (N = 1..32) to the slave in the port
                    folder, removed again on exit
  --link-dir DIR    port folder for --link (default:
                    $XDG_CONFIG_HOME/Kestrowind/QX17EEP/ports or
                    ~/.config/Kestrowind/QX17EEP/ports)
  --id DIGITS       tracker id, 1 to 14 digits (default 35712001234567)
  --announce-ms MS  announcement interval in ms (default 1000)
  --no-announce     do not announce at start ("announce" starts it)
  --reply-delay MS  answer every request MS ms late
  --noise HEX       send these bytes (no AB) before every reply
  --real-pace       9600 bits per second both ways: send at that pace, and
                    take the tool's bytes only when they would have arrived
  --line N          a scripted line of N trackers: after each write-all and
                    read-back the next tracker is plugged in (as "replug");
                    after the N-th the program exits with code 0
  --log FILE        write the log lines to FILE instead of stderr
  --quiet           write no log lines
  --no-stdin        take no commands; run until SIGINT or SIGTERM (or the
                    end of --line N)
  --help            show this text
  --version         show the version

Commands, one per line on stdin; each is answered on stdout with "ok" or
"error: ...":
  drop              drop the next reply
  corrupt           corrupt the CRC of the next reply
  split [MS]        send the next reply in two parts, MS ms apart (150)
  nack              refuse the next write (ack 0, nothing stored)
  flip              store the next write with one bit flipped, ack 1
  noise HEX         send these bytes (no AB) before the next reply
  delay MS          answer every request MS ms late (0: at once)
  pace on|off       9600 bits per second both ways, or full speed
  announce          announce again until the next handshake
  replug            the next tracker (ID + 1, factory memory) is plugged in
                    and announces itself
  inject HEX        put raw bytes on the line
  factory           restore the factory memory
  dump ADDR COUNT   print memory as hex (ADDR decimal or 0x hex)
  hangup            close the line, as a pulled-out USB adapter
  quit              stop and exit
)";

// Decimal, or hexadecimal after "0x"; nullopt when not a number in [low, high].
std::optional<long> ParseNumber(std::string_view text, long low, long high) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

[[noreturn]] void UsageError(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\nTry '" << kProgram << " --help'.\n";
    std::exit(2);
}

struct Settings {
    qx17::sim::Options options;
    std::string log_file;
    bool quiet = false;
    bool use_stdin = true;
};

Settings ParseArguments(int argc, char** argv) {
    Settings s;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != name.npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inline_value) {
                return *inline_value;
            }
            if (i + 1 >= args.size()) {
                UsageError(name + " needs a value");
            }
            return args[++i];
        };
        auto number = [&](long low, long high) {
            const std::string text = value();
            const std::optional<long> n = ParseNumber(text, low, high);
            if (!n) {
                UsageError(name + " takes a number from " + std::to_string(low) + " to " +
                           std::to_string(high) + ", not '" + text + "'");
            }
            return *n;
        };
        auto flag = [&] {
            if (inline_value) {
                UsageError(name + " takes no value");
            }
        };
        if (name == "--help") {
            std::cout << "Usage: " << kProgram << kUsage;
            std::exit(0);
        } else if (name == "--version") {
            std::cout << kProgram << ' ' << QX17_VERSION << '\n';
            std::exit(0);
        } else if (name == "--line") {
            s.options.line_trackers = static_cast<int>(number(1, 1'000'000));
        } else if (name == "--link") {
            s.options.link_port = static_cast<int>(number(1, 32));
        } else if (name == "--link-dir") {
            s.options.link_dir = value();
            if (s.options.link_dir.empty()) {
                UsageError("--link-dir needs a folder");
            }
        } else if (name == "--id") {
            s.options.tracker_id = value();
            if (!qx17::sim::IsValidTrackerId(s.options.tracker_id)) {
                UsageError("--id takes 1 to 14 decimal digits, not '" + s.options.tracker_id + "'");
            }
        } else if (name == "--announce-ms") {
            s.options.announce_interval = Milliseconds{number(1, 3'600'000)};
        } else if (name == "--no-announce") {
            flag();
            s.options.announce = false;
        } else if (name == "--reply-delay") {
            s.options.reply_delay = Milliseconds{number(0, 600'000)};
        } else if (name == "--noise") {
            const std::string text = value();
            const std::optional<Bytes> bytes = qx17::sim::ParseHex(text);
            if (!bytes || bytes->empty()) {
                UsageError("--noise takes hexadecimal bytes, not '" + text + "'");
            }
            for (std::uint8_t b : *bytes) {
                if (b == qx17::sim::kStartByte) {
                    UsageError("--noise bytes must not contain AB");
                }
            }
            s.options.noise = *bytes;
        } else if (name == "--real-pace") {
            flag();
            s.options.real_pace = true;
        } else if (name == "--log") {
            s.log_file = value();
        } else if (name == "--quiet") {
            flag();
            s.quiet = true;
        } else if (name == "--no-stdin") {
            flag();
            s.use_stdin = false;
        } else {
            UsageError("unknown option '" + args[i] + "'");
        }
    }
    if (!s.options.link_dir.empty() && s.options.link_port == 0) {
        UsageError("--link-dir needs --link N");
    }
    // Every tracker of the line gets the id after the one before: the last
    // must still fit in the digits of the first.
    std::optional<std::string> id = s.options.tracker_id;
    for (int k = 1; k < s.options.line_trackers && id; ++k) {
        id = qx17::sim::NextTrackerId(*id);
    }
    if (!id) {
        UsageError("--line " + std::to_string(s.options.line_trackers) + " needs " +
                   std::to_string(s.options.line_trackers) + " ids from " + s.options.tracker_id +
                   " on in " + std::to_string(s.options.tracker_id.size()) + " digits");
    }
    return s;
}

// Runs one command line; returns false for "quit". Answers on stdout.
bool RunCommand(qx17::sim::VirtualTracker& tracker, const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::vector<std::string> args;
    for (std::string word; in >> word;) {
        args.push_back(word);
    }
    std::string rest;  // everything after the command, for hexadecimal bytes
    if (const std::size_t at = line.find(command); !command.empty()) {
        rest = line.substr(at + command.size());
    }
    auto error = [](const std::string& message) {
        std::cout << "error: " << message << std::endl;
        return true;
    };
    auto ok = [] {
        std::cout << "ok" << std::endl;
        return true;
    };
    auto hex = [&](bool allow_ab) -> std::optional<Bytes> {
        std::optional<Bytes> bytes = qx17::sim::ParseHex(rest);
        if (!bytes || bytes->empty()) {
            return std::nullopt;
        }
        for (std::uint8_t b : *bytes) {
            if (!allow_ab && b == qx17::sim::kStartByte) {
                return std::nullopt;
            }
        }
        return bytes;
    };

    if (command.empty()) {
        return true;
    }
    if (command == "quit" || command == "exit") {
        return false;
    }
    if (command == "drop" && args.empty()) {
        tracker.DropNextReply();
        return ok();
    }
    if (command == "corrupt" && args.empty()) {
        tracker.CorruptNextReply();
        return ok();
    }
    if (command == "nack" && args.empty()) {
        tracker.NackNextWrite();
        return ok();
    }
    if (command == "flip" && args.empty()) {
        tracker.FlipNextWrite();
        return ok();
    }
    if (command == "announce" && args.empty()) {
        tracker.Announce();
        return ok();
    }
    if (command == "replug" && args.empty()) {
        if (!tracker.Replug()) {
            return error("tracker " + tracker.TrackerId() +
                         " is the last ID of its number of digits");
        }
        return ok();
    }
    if (command == "factory" && args.empty()) {
        tracker.RestoreFactoryMemory();
        return ok();
    }
    if (command == "hangup" && args.empty()) {
        tracker.HangUp();
        return ok();
    }
    if (command == "split" && args.size() <= 1) {
        const std::optional<long> gap = args.empty() ? 150 : ParseNumber(args[0], 0, 60'000);
        if (!gap) {
            return error("split takes a gap of 0 to 60000 ms");
        }
        tracker.SplitNextReply(Milliseconds{*gap});
        return ok();
    }
    if (command == "delay" && args.size() == 1) {
        const std::optional<long> delay = ParseNumber(args[0], 0, 600'000);
        if (!delay) {
            return error("delay takes 0 to 600000 ms");
        }
        tracker.SetReplyDelay(Milliseconds{*delay});
        return ok();
    }
    if (command == "pace" && args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
        tracker.SetRealPace(args[0] == "on");
        return ok();
    }
    if (command == "noise") {
        const std::optional<Bytes> bytes = hex(false);
        if (!bytes) {
            return error("noise takes hexadecimal bytes without AB, e.g. 'noise 00 11 FE'");
        }
        tracker.NoiseBeforeNextReply(*bytes);
        return ok();
    }
    if (command == "inject") {
        const std::optional<Bytes> bytes = hex(true);
        if (!bytes) {
            return error("inject takes hexadecimal bytes, e.g. 'inject AB AB 00 02 AA 99 64 44'");
        }
        tracker.Inject(*bytes);
        return ok();
    }
    if (command == "dump" && args.size() == 2) {
        constexpr long kSize = static_cast<long>(qx17::sim::kMemorySize);
        const std::optional<long> address = ParseNumber(args[0], 0, kSize - 1);
        const std::optional<long> count = ParseNumber(args[1], 1, kSize);
        if (!address || !count) {
            return error("dump takes an address 0..4096 and a count 1..4097");
        }
        const Bytes bytes = tracker.ReadMemory(static_cast<std::size_t>(*address),
                                               static_cast<std::size_t>(*count));
        for (std::size_t i = 0; i < bytes.size(); i += 16) {
            const Bytes row(bytes.begin() + static_cast<long>(i),
                            bytes.begin() + static_cast<long>(std::min(i + 16, bytes.size())));
            char at[16];
            std::snprintf(at, sizeof at, "%04lX:", static_cast<unsigned long>(*address) + i);
            std::cout << at << ' ' << qx17::sim::ToHex(row) << '\n';
        }
        return ok();
    }
    return error("unknown command '" + line + "' (see " + kProgram + " --help)");
}

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = ParseArguments(argc, argv);

    std::ofstream log_file;
    qx17::sim::Options options = settings.options;
    if (!settings.quiet) {
        if (!settings.log_file.empty()) {
            log_file.open(settings.log_file, std::ios::out | std::ios::trunc);
            if (!log_file) {
                std::cerr << kProgram << ": cannot write the log file '" << settings.log_file
                          << "'\n";
                return 2;
            }
            options.log_stream = &log_file;
        } else {
            options.log_stream = &std::cerr;
        }
    }

    // SIGINT and SIGTERM are blocked in every thread (the worker inherits the
    // mask) and taken from a signalfd in the main loop: no handler runs
    // asynchronously, and a signal cannot land on a thread that ignores it.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::perror((std::string(kProgram) + ": signalfd").c_str());
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    // The worker says through this pipe that the line is done.
    int line_done[2];
    if (pipe2(line_done, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::perror((std::string(kProgram) + ": pipe2").c_str());
        return 1;
    }
    options.on_line_done = [fd = line_done[1]] {
        const char done = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &done, 1);
    };

    try {
        qx17::sim::VirtualTracker tracker(options);
        std::cout << tracker.SlavePath() << std::endl;
        if (!tracker.LinkPath().empty() && !settings.quiet) {
            std::cerr << kProgram << ": " << tracker.LinkPath() << " -> " << tracker.SlavePath()
                      << '\n';
        }

        std::string pending;
        bool running = true;
        bool reading = settings.use_stdin;
        while (running) {
            pollfd fds[3] = {
                {signal_fd, POLLIN, 0}, {line_done[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            if (poll(fds, reading ? 3 : 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror((std::string(kProgram) + ": poll").c_str());
                break;
            }
            if ((fds[0].revents & POLLIN) || (fds[1].revents & POLLIN)) {
                break;  // a stop signal, or the line is done
            }
            if (!reading || fds[2].revents == 0) {
                continue;
            }
            char chunk[1024];
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (!pending.empty()) {  // a last line without its newline
                    RunCommand(tracker, pending);
                }
                break;  // end of input
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; running && (end = pending.find('\n')) != pending.npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                running = RunCommand(tracker, line);
            }
        }
        tracker.Stop();
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}
