#include "tools/bench/bench_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/bench/bench_stream.h"

namespace qx17::bench {

namespace {

enum Op : std::uint32_t { kOpenPair = 1, kClosePair, kFeed, kDrain, kFrame, kQuit };

constexpr std::size_t kMaxFrame = 64;
constexpr std::size_t kMaxText = 200;
constexpr int kCloseGraceMs = 20;

struct Command {
    std::uint32_t op = 0;
    std::uint32_t frame_length = 0;
    std::uint64_t count = 0;
    std::array<std::uint8_t, kMaxFrame> frame{};
};

// How long the program waits for any answer of the device: longer than the
// device's own stall limit, so a stuck transfer is reported by the device.
constexpr std::chrono::seconds kAnswerLimit = kStallLimit * 3;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

}  // namespace

struct DeviceReply {
    std::uint32_t ok = 0;
    std::int64_t clock_ns = 0;          // kFrame: steady clock just before the write
    std::array<char, kMaxText> text{};  // kOpenPair: the slave path; on failure: why
};

namespace {

// Everything below runs in the device process only.
class Device {
  public:
    explicit Device(int control) : control_(control) {}

    [[noreturn]] void Run() {
        for (;;) {
            Command command;
            const ssize_t n = ::recv(control_, &command, sizeof command, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n != static_cast<ssize_t>(sizeof command)) {
                ::_exit(0);  // the program has gone
            }
            DeviceReply reply{};
            bool ok = false;
            switch (command.op) {
                case kOpenPair:
                    ok = OpenPair(reply);
                    break;
                case kClosePair:
                    ok = ClosePair(reply);
                    break;
                case kFeed:
                    ok = Feed(command.count, reply);
                    break;
                case kDrain:
                    ok = Drain(command.count, reply);
                    break;
                case kFrame:
                    ok = WriteFrame(command, reply);
                    break;
                case kQuit:
                    reply.ok = 1;
                    (void)::send(control_, &reply, sizeof reply, MSG_NOSIGNAL);
                    ::_exit(0);
                default:
                    Say(reply, "unknown command");
                    break;
            }
            reply.ok = ok ? 1 : 0;
            if (::send(control_, &reply, sizeof reply, MSG_NOSIGNAL) < 0) {
                ::_exit(1);
            }
        }
    }

  private:
    static bool Say(DeviceReply& reply, const std::string& text) {
        const std::size_t n = std::min(text.size(), reply.text.size() - 1);
        std::memcpy(reply.text.data(), text.data(), n);
        reply.text[n] = '\0';
        return false;
    }

    bool OpenPair(DeviceReply& reply) {
        DeviceReply ignored{};
        ClosePair(ignored);
        termios raw{};
        ::cfmakeraw(&raw);
        std::array<char, 128> name{};
        if (::openpty(&master_, &slave_, name.data(), &raw, nullptr) != 0) {
            master_ = slave_ = -1;
            return Say(reply, std::string("openpty: ") + std::strerror(errno));
        }
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
        // The slave stays open here as well, so the master never sees a hang-up
        // when the library closes its side.
        Say(reply, name.data());
        return true;
    }

    bool ClosePair(DeviceReply& reply) {
        bool ok = true;
        if (master_ >= 0) {
            // Bytes the library wrote last take a moment through the tty
            // layer: a short grace, so that they are seen here.
            std::array<std::uint8_t, 4096> left;
            pollfd fd{master_, POLLIN, 0};
            if (::poll(&fd, 1, kCloseGraceMs) > 0 && (fd.revents & POLLIN)) {
                const ssize_t n = ::read(master_, left.data(), left.size());
                if (n > 0) {
                    ok = Say(reply, "the library sent " + std::to_string(n) +
                                        " byte(s) or more beyond what it was asked to");
                }
            }
            ::close(master_);
        }
        if (slave_ >= 0) {
            ::close(slave_);
        }
        master_ = slave_ = -1;
        return ok;
    }

    // Waits until the master is ready for `events`; false after kStallLimit.
    bool AwaitMaster(short events, DeviceReply& reply, const char* what) {
        pollfd fd{master_, events, 0};
        for (;;) {
            const int ready =
                ::poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kStallLimit).count()));
            if (ready > 0) {
                return true;
            }
            if (ready == 0) {
                return Say(reply, std::string("the device waited ") +
                                      std::to_string(kStallLimit.count()) + " s " + what);
            }
            if (errno != EINTR) {
                return Say(reply, std::string("poll: ") + std::strerror(errno));
            }
        }
    }

    bool Feed(std::uint64_t count, DeviceReply& reply) {
        if (master_ < 0) {
            return Say(reply, "no pty pair");
        }
        std::uint64_t done = 0;
        while (done < count) {
            const auto chunk = static_cast<std::size_t>(
                std::min<std::uint64_t>(count - done, ByteStream::kMaxRun));
            const ssize_t n = ::write(master_, stream_.At(done), chunk);
            if (n > 0) {
                done += static_cast<std::uint64_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return Say(reply, std::string("write to the master: ") + std::strerror(errno));
            } else if (!AwaitMaster(POLLOUT, reply, "for the library to take more bytes")) {
                return false;
            }
        }
        return true;
    }

    bool Drain(std::uint64_t count, DeviceReply& reply) {
        if (master_ < 0) {
            return Say(reply, "no pty pair");
        }
        StreamChecker checker(stream_, count);
        std::vector<std::uint8_t> buffer(ByteStream::kMaxRun);
        while (!checker.Complete()) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(count - checker.Received(), buffer.size()));
            const ssize_t n = ::read(master_, buffer.data(), want);
            if (n > 0) {
                if (!checker.Take(buffer.data(), static_cast<std::size_t>(n))) {
                    return Say(reply, "sent stream: " + checker.Fault());
                }
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return Say(reply, std::string("read from the master: ") + std::strerror(errno));
            } else if (n == 0) {
                return Say(reply, "the master reads end of file");
            } else if (!AwaitMaster(POLLIN, reply, "for the library's next byte")) {
                Say(reply, std::string(reply.text.data()) + " after " +
                               std::to_string(checker.Received()) + " of " + std::to_string(count) +
                               " bytes");
                return false;
            }
        }
        return true;
    }

    bool WriteFrame(const Command& command, DeviceReply& reply) {
        if (master_ < 0) {
            return Say(reply, "no pty pair");
        }
        const std::size_t length = std::min<std::size_t>(command.frame_length, kMaxFrame);
        const Clock::time_point before = Clock::now();
        const ssize_t n = ::write(master_, command.frame.data(), length);
        if (n != static_cast<ssize_t>(length)) {
            return Say(reply, "the frame did not go out in one write");
        }
        reply.clock_ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count();
        return true;
    }

    const int control_;
    const ByteStream stream_;
    int master_ = -1;
    int slave_ = -1;
};

}  // namespace

DeviceProcess::DeviceProcess() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        ::close(pair[0]);
        // The device ends with the program, however the program ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(0);
        }
        Device(pair[1]).Run();
    }
    ::close(pair[1]);
    control_ = pair[0];
}

DeviceProcess::~DeviceProcess() {
    std::string ignored;
    if (!broken_) {
        Send(kQuit, 0);
        if (!AwaitOk(ignored)) {
            broken_ = true;
        }
    }
    if (broken_) {
        ::kill(pid_, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(control_);
}

void DeviceProcess::Send(std::uint32_t op, std::uint64_t count,
                         const std::vector<std::uint8_t>& frame) {
    if (broken_) {
        return;
    }
    Command command;
    command.op = op;
    command.count = count;
    command.frame_length = static_cast<std::uint32_t>(std::min(frame.size(), kMaxFrame));
    std::copy_n(frame.begin(), command.frame_length, command.frame.begin());
    if (::send(control_, &command, sizeof command, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof command)) {
        broken_ = true;
    }
}

std::optional<DeviceReply> DeviceProcess::Await(std::string& problem) {
    if (broken_) {
        problem = "the device process does not answer";
        return std::nullopt;
    }
    const Clock::time_point deadline = Clock::now() + kAnswerLimit;
    pollfd fd{control_, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&fd, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            broken_ = true;
            problem = "the device process did not answer in time";
            return std::nullopt;
        }
        break;
    }
    DeviceReply reply;
    if (::recv(control_, &reply, sizeof reply, 0) != static_cast<ssize_t>(sizeof reply)) {
        broken_ = true;
        problem = "the device process has gone";
        return std::nullopt;
    }
    reply.text.back() = '\0';
    if (!reply.ok) {
        problem = reply.text.data();
    }
    return reply;
}

bool DeviceProcess::AwaitOk(std::string& problem) {
    const std::optional<DeviceReply> reply = Await(problem);
    return reply && reply->ok;
}

std::optional<std::string> DeviceProcess::OpenPair(std::string& problem) {
    Send(kOpenPair, 0);
    const std::optional<DeviceReply> reply = Await(problem);
    if (!reply || !reply->ok) {
        return std::nullopt;
    }
    return std::string(reply->text.data());
}

bool DeviceProcess::ClosePair(std::string& problem) {
    Send(kClosePair, 0);
    return AwaitOk(problem);
}

void DeviceProcess::StartFeed(std::uint64_t count) {
    Send(kFeed, count);
}

bool DeviceProcess::FinishFeed(std::string& problem) {
    return AwaitOk(problem);
}

void DeviceProcess::StartDrain(std::uint64_t count) {
    Send(kDrain, count);
}

bool DeviceProcess::FinishDrain(std::string& problem) {
    return AwaitOk(problem);
}

void DeviceProcess::StartFrame(const std::vector<std::uint8_t>& frame) {
    Send(kFrame, 0, frame);
}

std::optional<Clock::time_point> DeviceProcess::FinishFrame(std::string& problem) {
    const std::optional<DeviceReply> reply = Await(problem);
    if (!reply || !reply->ok) {
        return std::nullopt;
    }
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(reply->clock_ns)));
}

}  // namespace qx17::bench
