// The serial port seam on POSIX systems: a tty opened exclusively (an advisory
// lock plus the tty's exclusive mode), configured through termios, and read and
// written without blocking under poll(), which also watches the stop event.
// The time-outs keep their COMMTIMEOUTS meaning, measured in user space.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "serial/port_names_posix.h"
#include "serial/serial_port.h"

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace qx17 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t MAXDWORD = 0xFFFFFFFF;

struct BaudPair {
    std::uint32_t rate;
    speed_t speed;
};

constexpr BaudPair kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

std::optional<speed_t> SpeedOf(std::uint32_t rate) {
    for (const BaudPair& pair : kBaudRates) {
        if (pair.rate == rate) {
            return pair.speed;
        }
    }
    return std::nullopt;
}

std::uint32_t RateOf(speed_t speed) {
    for (const BaudPair& pair : kBaudRates) {
        if (pair.speed == speed) {
            return pair.rate;
        }
    }
    return 0;
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    // Rounded up, so that the wait never ends before the deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1 << 30));
}

Clock::time_point After(Clock::time_point from, std::uint64_t ms) {
    return from + std::chrono::milliseconds(ms);
}

// What the line settings can say to a tty. Flow control by DSR, DSR
// sensitivity, the XON/XOFF limits, continuing after XOFF, dropping zero bytes
// and replacing bytes with parity errors have no termios counterpart and are
// left to the driver's defaults.
void ToTermios(const ControlBlock& block, termios& tio) {
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (const std::optional<speed_t> speed = SpeedOf(block.BaudRate)) {
        ::cfsetispeed(&tio, *speed);
        ::cfsetospeed(&tio, *speed);
    }  // a rate the tty cannot take leaves the speed as it was

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (block.ByteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }

    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (block.Parity) {
        case 1:  // odd
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:  // even
            tio.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case 3:  // mark
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:  // space
            tio.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            break;
    }
    if (block.Flags & kDcbParity) {
        tio.c_iflag |= INPCK;
    }
    if (block.StopBits != 0) {
        tio.c_cflag |= CSTOPB;  // 1.5 stop bits do not exist on a tty: 2
    }
#ifdef CRTSCTS
    if ((block.Flags & kDcbOutxCtsFlow) || block.RtsControl() == kRtsControlHandshake) {
        tio.c_cflag |= CRTSCTS;
    }
#endif
    if (block.Flags & kDcbOutX) {
        tio.c_iflag |= IXON;
    }
    if (block.Flags & kDcbInX) {
        tio.c_iflag |= IXOFF;
    }
    tio.c_cc[VSTART] = static_cast<cc_t>(block.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(block.XoffChar);
}

// The control block as a freshly opened tty stands.
ControlBlock FromTermios(const termios& tio) {
    ControlBlock block;
    block.DCBlength = sizeof(ControlBlock);
    block.BaudRate = RateOf(::cfgetospeed(&tio));
    block.Flags = kDcbBinary;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            block.ByteSize = 5;
            break;
        case CS6:
            block.ByteSize = 6;
            break;
        case CS7:
            block.ByteSize = 7;
            break;
        default:
            block.ByteSize = 8;
            break;
    }
    if (tio.c_cflag & PARENB) {
        block.Parity = (tio.c_cflag & PARODD) ? 1 : 2;
    }
    block.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    block.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    block.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return block;
}

void SetModemLine(int fd, int line, bool on) {
    (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);  // ptys have no modem lines
}

class PosixSerialPort final : public SerialPort {
  public:
    explicit PosixSerialPort(int fd) : fd_(fd) {
        termios tio{};
        if (::tcgetattr(fd_, &tio) == 0) {
            block_ = FromTermios(tio);
        }
        SampleLineCounters();
    }
    // The tty keeps its exclusive mode for as long as anything else holds it
    // open (the other end of a pseudo-terminal, another program), so it is
    // left before closing: otherwise the next open by an ordinary user is
    // refused.
    ~PosixSerialPort() override {
        (void)::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    // The tty driver's queues have a fixed size.
    bool SetupQueues(std::uint32_t, std::uint32_t) override { return true; }

    // The ABORT flags need nothing here: a pending read or write lives in the
    // reader or writer thread, and every caller sets the stop event, which ends
    // it, before it purges.
    void Purge(std::uint32_t flags) override {
        const bool tx = flags & PURGE_TXCLEAR;
        const bool rx = flags & PURGE_RXCLEAR;
        if (tx || rx) {
            (void)::tcflush(fd_, tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH));
        }
    }

    ControlBlock GetControlBlock() override { return block_; }

    void SetControlBlock(const ControlBlock& block) override {
        termios tio{};
        if (::tcgetattr(fd_, &tio) == 0) {
            ToTermios(block, tio);
            (void)::tcsetattr(fd_, TCSANOW, &tio);
        }
        SetModemLine(fd_, TIOCM_DTR, block.DtrControl() != kDtrControlDisable);
        SetModemLine(fd_, TIOCM_RTS, block.RtsControl() != kRtsControlDisable);
        block_ = block;
    }

    CommTimeouts GetTimeouts() override {
        std::lock_guard lock(timeouts_mutex_);
        return timeouts_;
    }

    void SetTimeouts(const CommTimeouts& timeouts) override {
        std::lock_guard lock(timeouts_mutex_);
        timeouts_ = timeouts;
    }

    bool PrepareReader() override { return true; }
    bool SetEventMask(std::uint32_t mask) override {
        event_mask_ = mask;
        return true;
    }
    ReadOutcome WaitRead(std::uint8_t* buffer, std::uint32_t size,
                         const WaitableEvent& stop) override;
    IoStatus ClearErrors(std::uint32_t& errors) override {
        errors = line_errors_;
        line_errors_ = 0;
        return IoStatus::Ok;
    }
    void FinishReader() override {
        read_pending_ = false;
        staged_begin_ = staged_end_ = 0;
    }

    bool PrepareWriter() override { return true; }
    WriteOutcome Write(const std::uint8_t* data, std::uint32_t length,
                       const WaitableEvent& stop) override;
    void FinishWriter() override {}

  private:
    std::optional<Clock::time_point> ReadDeadline(const CommTimeouts& t, std::uint32_t size,
                                                  bool& complete_now) const;
    ReadOutcome CompleteRead() {
        read_pending_ = false;
        return {ReadOutcome::Kind::Data, gathered_};
    }
    enum class Fill { kGot, kNothing, kHungUp, kFailed };
    Fill FillPendingRead(std::uint8_t* buffer, std::uint32_t size);
    ReadOutcome ReadFailed(int error);
    void SampleLineCounters();

    const int fd_;
    ControlBlock block_;  // main thread

    std::mutex timeouts_mutex_;
    CommTimeouts timeouts_;

    // Reader thread only: the pending read and the line event state.
    bool read_pending_ = false;
    bool hung_up_ = false;
    std::uint32_t gathered_ = 0;
    bool more_likely_ = false;  // the last read returned bytes
    std::array<std::uint8_t, 16384> staged_{};
    std::size_t staged_begin_ = 0;
    std::size_t staged_end_ = 0;
    Clock::time_point read_started_;
    Clock::time_point last_byte_;
    std::uint32_t event_mask_ = 0;
    std::uint32_t pending_events_ = 0;
    std::uint32_t line_errors_ = 0;
#ifdef __linux__
    bool counters_supported_ = false;
    bool counters_refused_ = false;  // the driver keeps none: stop asking
    serial_icounter_struct counters_{};
#endif
};

// When the pending read has to end at the latest, from the time-outs: the
// total time-out counts from the start of the read, the interval time-out from
// the last byte received. `complete_now` asks for completion with what is
// there already.
std::optional<Clock::time_point> PosixSerialPort::ReadDeadline(const CommTimeouts& t,
                                                               std::uint32_t size,
                                                               bool& complete_now) const {
    complete_now = false;
    const std::uint32_t interval = t.ReadIntervalTimeout;
    if (interval == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        // "Return at once with what is there": once a byte is there. Returning
        // empty reads at once would only make the reader spin.
        complete_now = gathered_ > 0;
        return std::nullopt;
    }
    if (interval == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        // Return as soon as any byte is there, waiting for the first at most
        // the constant.
        complete_now = gathered_ > 0;
        return After(read_started_, t.ReadTotalTimeoutConstant);
    }
    std::optional<Clock::time_point> deadline;
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        deadline = After(read_started_, std::uint64_t{t.ReadTotalTimeoutMultiplier} * size +
                                            t.ReadTotalTimeoutConstant);
    }
    if (interval != 0 && interval != MAXDWORD && gathered_ > 0) {
        const Clock::time_point gap_end = After(last_byte_, interval);
        deadline = deadline ? std::min(*deadline, gap_end) : gap_end;
    }
    return deadline;
}

ReadOutcome PosixSerialPort::WaitRead(std::uint8_t* buffer, std::uint32_t size,
                                      const WaitableEvent& stop) {
    if (!read_pending_) {
        read_pending_ = true;
        gathered_ = 0;
        read_started_ = Clock::now();
    }
    for (;;) {
        if (stop.IsSet()) {
            return {ReadOutcome::Kind::Stopped};
        }
        if (pending_events_ != 0) {
            const std::uint32_t events = std::exchange(pending_events_, 0);
            return {ReadOutcome::Kind::Status, events};
        }
        if (hung_up_) {
            // Bytes received before the hang-up were delivered first.
            if (gathered_ > 0) {
                return CompleteRead();
            }
            read_pending_ = false;
            return {ReadOutcome::Kind::HungUp};
        }
        if (gathered_ == size) {
            return CompleteRead();
        }
        bool complete_now = false;
        const std::optional<Clock::time_point> deadline =
            ReadDeadline(GetTimeouts(), size, complete_now);
        if (complete_now) {
            return CompleteRead();
        }
        int timeout_ms = -1;
        if (deadline) {
            timeout_ms = MillisecondsUntil(*deadline);
            if (timeout_ms == 0) {
                return CompleteRead();
            }
        }

        // While bytes keep coming, take them without asking poll() first.
        if (more_likely_ || staged_begin_ != staged_end_) {
            const Fill fill = FillPendingRead(buffer, size);
            if (fill == Fill::kFailed) {
                return ReadFailed(errno);
            }
            if (fill != Fill::kNothing) {
                continue;
            }
            more_likely_ = false;
        }

        pollfd fds[2] = {{static_cast<int>(stop.NativeHandle()), POLLIN, 0}, {fd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {ReadOutcome::Kind::Failed};
        }
        if (fds[0].revents != 0) {
            return {ReadOutcome::Kind::Stopped};
        }
        const short events = fds[1].revents;
        if (events & POLLNVAL) {
            return {ReadOutcome::Kind::Closed};
        }
        if (events & POLLIN) {
            const Fill fill = FillPendingRead(buffer, size);
            if (fill == Fill::kFailed) {
                return ReadFailed(errno);
            }
            more_likely_ = fill == Fill::kGot;
        } else if (events & (POLLHUP | POLLERR)) {
            hung_up_ = true;
        }
    }
}

// Moves received bytes into the pending read: what the staging buffer holds,
// or else one large read from the driver into it. Reading up to 16 KiB at a
// time keeps the system calls few when bytes come fast; the bytes are handed
// on in arrival order, so the chunking stays exactly as the time-outs say.
PosixSerialPort::Fill PosixSerialPort::FillPendingRead(std::uint8_t* buffer, std::uint32_t size) {
    if (staged_begin_ == staged_end_) {
        const ssize_t n = ::read(fd_, staged_.data(), staged_.size());
        if (n == 0) {
            hung_up_ = true;
            return Fill::kHungUp;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return Fill::kNothing;
            }
            if (errno == EIO || errno == ENXIO || errno == ENODEV) {
                hung_up_ = true;  // the device went away
                return Fill::kHungUp;
            }
            return Fill::kFailed;
        }
        staged_begin_ = 0;
        staged_end_ = static_cast<std::size_t>(n);
    }
    const std::size_t take = std::min<std::size_t>(size - gathered_, staged_end_ - staged_begin_);
    std::memcpy(buffer + gathered_, staged_.data() + staged_begin_, take);
    staged_begin_ += take;
    gathered_ += static_cast<std::uint32_t>(take);
    last_byte_ = Clock::now();
    SampleLineCounters();
    return Fill::kGot;
}

ReadOutcome PosixSerialPort::ReadFailed(int error) {
    read_pending_ = false;
    return {error == EBADF ? ReadOutcome::Kind::Closed : ReadOutcome::Kind::Failed};
}

// Line errors and modem line changes, from the driver's interrupt counters
// where it keeps them (real UARTs and most USB adapters; not pseudo-terminals).
// Checked whenever bytes arrive, so they cost no wake-ups of their own.
void PosixSerialPort::SampleLineCounters() {
#ifdef __linux__
    serial_icounter_struct now{};
    if (counters_refused_) {
        return;
    }
    if (::ioctl(fd_, TIOCGICOUNT, &now) != 0) {
        counters_refused_ = errno == ENOTTY || errno == EINVAL;
        return;
    }
    if (!counters_supported_) {
        counters_supported_ = true;
        counters_ = now;
        return;
    }
    std::uint32_t errors = 0;
    if (now.frame != counters_.frame)
        errors |= CE_FRAME;
    if (now.overrun != counters_.overrun)
        errors |= CE_OVERRUN;
    if (now.parity != counters_.parity)
        errors |= CE_RXPARITY;
    if (now.brk != counters_.brk)
        errors |= CE_BREAK;
    if (now.buf_overrun != counters_.buf_overrun)
        errors |= CE_RXOVER;
    line_errors_ |= errors;
    if (errors != 0 && (event_mask_ & EV_ERR))
        pending_events_ |= EV_ERR;
    if (now.dcd != counters_.dcd && (event_mask_ & EV_RLSD))
        pending_events_ |= EV_RLSD;
    if (now.rng != counters_.rng && (event_mask_ & EV_RING))
        pending_events_ |= EV_RING;
    counters_ = now;
#endif
}

WriteOutcome PosixSerialPort::Write(const std::uint8_t* data, std::uint32_t length,
                                    const WaitableEvent& stop) {
    const CommTimeouts t = GetTimeouts();
    std::optional<Clock::time_point> deadline;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        deadline = After(Clock::now(), std::uint64_t{t.WriteTotalTimeoutMultiplier} * length +
                                           t.WriteTotalTimeoutConstant);
    }
    std::uint32_t done = 0;
    while (done < length) {
        if (stop.IsSet()) {
            return {WriteOutcome::Kind::Stopped};
        }
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return {errno == EBADF ? WriteOutcome::Kind::Closed : WriteOutcome::Kind::Failed};
        }
        int timeout_ms = -1;
        if (deadline) {
            timeout_ms = MillisecondsUntil(*deadline);
            if (timeout_ms == 0) {
                return {WriteOutcome::Kind::Written, done};
            }
        }
        pollfd fds[2] = {{static_cast<int>(stop.NativeHandle()), POLLIN, 0}, {fd_, POLLOUT, 0}};
        const int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno != EINTR) {
            return {WriteOutcome::Kind::Failed};
        }
        if (ready <= 0) {
            continue;  // interrupted, or the deadline: checked above
        }
        if (fds[0].revents != 0) {
            return {WriteOutcome::Kind::Stopped};
        }
        if (fds[1].revents & POLLNVAL) {
            return {WriteOutcome::Kind::Closed};
        }
        if ((fds[1].revents & (POLLERR | POLLHUP)) && !(fds[1].revents & POLLOUT)) {
            return {WriteOutcome::Kind::Failed};
        }
    }
    return {WriteOutcome::Kind::Written, done};
}

class PosixSerialPlatform final : public SerialPlatform {
  public:
    OpenResult Open(const std::string& comm_name) override {
        const std::optional<std::string> path = ResolvePortPath(comm_name, DefaultPortFolder());
        if (!path) {
            return {nullptr, OpenError::CannotOpen, "no such port name"};
        }
        const int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return {nullptr, OpenError::CannotOpen, std::strerror(errno)};
        }
        // Exclusive: another program or instance that holds the port has it
        // locked (or in the tty's exclusive mode, which makes open fail above).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return {nullptr, OpenError::CannotOpen, kHeldByAnotherProgram};
        }
        struct stat info;
        if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || !::isatty(fd)) {
            ::close(fd);
            return {nullptr, OpenError::NotCommDevice, "not a serial device"};
        }
        (void)::ioctl(fd, TIOCEXCL);
        return {std::make_unique<PosixSerialPort>(fd), OpenError::None, ""};
    }
};

}  // namespace

SerialPlatform& NativeSerialPlatform() {
    static PosixSerialPlatform platform;
    return platform;
}

}  // namespace qx17
