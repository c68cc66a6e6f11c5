// pty-peer: a serial device played on a raw pseudo-terminal, for the tests of
// the Windows serial backend under Wine. Prints the slave path on the first
// line of stdout and then, until SIGINT or SIGTERM, answers what the program
// on the slave side writes:
//
//   (default)               every byte comes back unchanged, as soon as read
//   --describe-line         every read is answered with one text line that
//                           describes the slave's line settings, e.g.
//                           "baud=9600 bits=8 parity=none stop=1 rtscts=0
//                           ixon=0 ixoff=0"
//   --hold-unless-baud RATE nothing is read while the slave's speed is not
//                           RATE, so a writer on the slave side stalls once
//                           the tty's buffers are full; each time the speed
//                           becomes RATE the held bytes are read, reported as
//                           "held N\n" followed by the N bytes themselves, and
//                           every later byte is echoed while the speed stays
//
// --link N --link-dir DIR links the slave as DIR/comN (the way Wine finds its
// COM ports in dosdevices) and removes the link again on exit.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage = R"(Usage: pty-peer [OPTION]...
Plays a serial device on a raw pseudo-terminal; the first line of stdout is the
slave path. Runs until SIGINT or SIGTERM.

Options:
  --link N                link the slave as DIR/comN (N = 1..99), removed on exit
  --link-dir DIR          the folder for --link (required with it)
  --describe-line         answer every read with a line describing the slave's
                          speed, data bits, parity, stop bits and flow control
  --hold-unless-baud RATE read nothing while the slave's speed is not RATE;
                          when it becomes RATE, send "held N\n" and the N
                          held bytes, then echo
  --help                  show this text
  --version               show the version
By default every byte read is echoed unchanged.
)";

enum class Mode { kEcho, kDescribe, kHold };

struct Settings {
    Mode mode = Mode::kEcho;
    long hold_rate = 0;
    int link = 0;
    std::string link_dir;
};

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "pty-peer: %s\nTry 'pty-peer --help'.\n", message.c_str());
    std::exit(2);
}

long Number(std::string_view text, long low, long high, const std::string& option) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        UsageError(option + " takes a number from " + std::to_string(low) + " to " +
                   std::to_string(high));
    }
    return value;
}

Settings ParseArguments(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                UsageError(name + " needs a value");
            }
            return argv[++i];
        };
        if (name == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name == "--version") {
            std::printf("pty-peer %s\n", QX17_VERSION);
            std::exit(0);
        } else if (name == "--link") {
            s.link = static_cast<int>(Number(value(), 1, 99, name));
        } else if (name == "--link-dir") {
            s.link_dir = value();
        } else if (name == "--describe-line") {
            s.mode = Mode::kDescribe;
        } else if (name == "--hold-unless-baud") {
            s.mode = Mode::kHold;
            s.hold_rate = Number(value(), 1, 4'000'000, name);
        } else {
            UsageError("unknown option '" + name + "'");
        }
    }
    if ((s.link != 0) != !s.link_dir.empty()) {
        UsageError("--link and --link-dir go together");
    }
    return s;
}

struct SpeedName {
    speed_t speed;
    long rate;
};

constexpr SpeedName kSpeeds[] = {
    {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

long RateOf(speed_t speed) {
    for (const SpeedName& s : kSpeeds) {
        if (s.speed == speed) {
            return s.rate;
        }
    }
    return 0;
}

long SlaveRate(int slave) {
    termios tio{};
    return ::tcgetattr(slave, &tio) == 0 ? RateOf(::cfgetospeed(&tio)) : -1;
}

std::string DescribeLine(int slave) {
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) {
        return "error: tcgetattr\n";
    }
    int bits = 8;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            bits = 5;
            break;
        case CS6:
            bits = 6;
            break;
        case CS7:
            bits = 7;
            break;
        default:
            break;
    }
    const char* parity = "none";
    if (tio.c_cflag & PARENB) {
        parity = (tio.c_cflag & PARODD) ? "odd" : "even";
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "baud=%ld bits=%d parity=%s stop=%d rtscts=%d ixon=%d ixoff=%d\n",
                  RateOf(::cfgetospeed(&tio)), bits, parity, (tio.c_cflag & CSTOPB) ? 2 : 1,
                  (tio.c_cflag & CRTSCTS) ? 1 : 0, (tio.c_iflag & IXON) ? 1 : 0,
                  (tio.c_iflag & IXOFF) ? 1 : 0);
    return line;
}

// Reads everything the master has now; false when the line is gone.
bool ReadAvailable(int master, std::vector<std::uint8_t>& into) {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) {
            into.insert(into.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}

class Peer {
  public:
    Peer(int master, int slave, const Settings& settings)
        : master_(master), slave_(slave), settings_(settings) {}

    // Runs until a signal arrives on `signal_fd`; false on a failure.
    bool Run(int signal_fd) {
        const bool hold_mode = settings_.mode == Mode::kHold;
        bool holding = hold_mode;
        for (;;) {
            if (hold_mode) {
                const bool was_holding = holding;
                holding = SlaveRate(slave_) != settings_.hold_rate;
                if (was_holding && !holding && !ReleaseHeld()) {
                    return false;
                }
            }
            pollfd fds[2] = {{signal_fd, POLLIN, 0}, {master_, 0, 0}};
            if (!holding) {
                fds[1].events |= POLLIN;
            }
            if (!out_.empty()) {
                fds[1].events |= POLLOUT;
            }
            // In hold mode the slave's speed is looked at every 10 ms.
            if (::poll(fds, 2, hold_mode ? 10 : -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror("pty-peer: poll");
                return false;
            }
            if (fds[0].revents & POLLIN) {
                return true;
            }
            if ((fds[1].revents & POLLIN) && hold_mode &&
                SlaveRate(slave_) != settings_.hold_rate) {
                // The speed changed while polling: the bytes that woke us
                // were written after the change, so they are held already.
                holding = true;
                fds[1].revents &= ~POLLIN;
            }
            if (fds[1].revents & POLLIN) {
                std::vector<std::uint8_t> got;
                if (!ReadAvailable(master_, got)) {
                    std::perror("pty-peer: read");
                    return false;
                }
                Answer(got);
            }
            if ((fds[1].revents & POLLOUT) && !Flush()) {
                return false;
            }
        }
    }

  private:
    void Answer(const std::vector<std::uint8_t>& got) {
        if (got.empty()) {
            return;
        }
        if (settings_.mode == Mode::kDescribe) {
            const std::string line = DescribeLine(slave_);
            out_.insert(out_.end(), line.begin(), line.end());
        } else {
            out_.insert(out_.end(), got.begin(), got.end());
        }
    }

    // Takes what was held until the line has been quiet for 300 ms (the tty
    // hands the bytes over in steps), then reports it and sends it back.
    bool ReleaseHeld() {
        std::vector<std::uint8_t> held;
        for (;;) {
            if (!ReadAvailable(master_, held)) {
                std::perror("pty-peer: read");
                return false;
            }
            pollfd fd{master_, POLLIN, 0};
            const int ready = ::poll(&fd, 1, 300);
            if (ready < 0 && errno != EINTR) {
                std::perror("pty-peer: poll");
                return false;
            }
            if (ready == 0) {
                break;
            }
        }
        std::printf("held %zu\n", held.size());
        std::fflush(stdout);
        const std::string header = "held " + std::to_string(held.size()) + "\n";
        out_.insert(out_.end(), header.begin(), header.end());
        out_.insert(out_.end(), held.begin(), held.end());
        return true;
    }

    bool Flush() {
        while (!out_.empty()) {
            const ssize_t n = ::write(master_, out_.data(), out_.size());
            if (n > 0) {
                out_.erase(out_.begin(), out_.begin() + n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                return true;
            }
            std::perror("pty-peer: write");
            return false;
        }
        return true;
    }

    const int master_;
    const int slave_;
    const Settings& settings_;
    std::vector<std::uint8_t> out_;
};

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = ParseArguments(argc, argv);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::perror("pty-peer: signalfd");
        return 1;
    }

    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    int slave = -1;
    char slave_path[128];
    if (openpty(&master, &slave, slave_path, &raw, nullptr) != 0) {
        std::perror("pty-peer: openpty");
        return 1;
    }
    // The slave stays open here too, so the master never sees a hang-up
    // between two programs opening the port.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    std::string link_path;
    if (settings.link != 0) {
        link_path = settings.link_dir + "/com" + std::to_string(settings.link);
        (void)unlink(link_path.c_str());
        if (symlink(slave_path, link_path.c_str()) != 0) {
            std::perror(("pty-peer: symlink " + link_path).c_str());
            return 1;
        }
    }
    std::printf("%s\n", slave_path);
    std::fflush(stdout);

    Peer peer(master, slave, settings);
    const bool ok = peer.Run(signal_fd);

    if (!link_path.empty()) {
        // Only our own link: a later peer may have replaced it.
        char target[sizeof slave_path] = {};
        const ssize_t n = readlink(link_path.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == slave_path) {
            (void)unlink(link_path.c_str());
        }
    }
    close(master);
    close(slave);
    return ok ? 0 : 1;
}
