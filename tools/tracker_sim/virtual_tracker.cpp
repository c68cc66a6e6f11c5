#include "tools/tracker_sim/virtual_tracker.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "tools/tracker_sim/line_cycle.h"
#include "tools/tracker_sim/receive_pacer.h"

namespace qx17::sim {

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kAnnouncementPayload = {0xAA, 0x99};
const Bytes kHandshakePayload = {0x99, 0xAA, 0x55};
const Bytes kDefaultPayload = {0x94, 0x00, 0x02, 0xFF};
constexpr std::uint8_t kWriteCommand = 0x94;
constexpr std::uint8_t kReadCommand = 0x95;
constexpr std::uint8_t kHandshakeCommand = 0x99;

constexpr std::size_t kPacedSlice = 4;  // bytes a paced write() puts on the line
// A frame that stops arriving for this long is given up and rescanned.
constexpr Milliseconds kStaleFrame{1000};
// How long a reply waits for room on a full line before it is given up.
constexpr Milliseconds kWritePatience{2000};
// How long the line's end waits for the tool to read the last reply, and
// then for it to hand the reply on: a reader that waits for a quiet line
// before it passes a chunk on (the window 100 ms) has by then.
constexpr Milliseconds kDrainPatience{2000};
constexpr Milliseconds kHandOver{250};

std::system_error SystemError(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}

void SetFlag(int fd, int get, int set, int flag) {
    const int flags = fcntl(fd, get);
    if (flags < 0 || fcntl(fd, set, flags | flag) < 0) {
        throw SystemError("fcntl");
    }
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void CheckNoise(const Bytes& noise) {
    if (std::find(noise.begin(), noise.end(), kStartByte) != noise.end()) {
        throw std::invalid_argument("noise bytes must not contain 0xAB");
    }
}

const char* DirectionText(Direction d) {
    switch (d) {
        case Direction::kRx:
            return "rx";
        case Direction::kTx:
            return "tx";
        case Direction::kNone:
            break;
    }
    return "--";
}

}  // namespace

std::string DefaultPortFolder() {
    // The same rule as the tool's port name lookup, so that both meet.
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] != '\0') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/Kestrowind/QX17EEP/ports";
}

std::string ToHex(const Bytes& bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::optional<Bytes> ParseHex(std::string_view text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    auto separator = [](char c) { return c == ' ' || c == '\t' || c == ',' || c == ':'; };
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (separator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !separator(text[end])) {
            ++end;
        }
        std::string_view token = text.substr(i, end - i);
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
            token.remove_prefix(2);
        }
        if (token.size() % 2 != 0) {
            return std::nullopt;
        }
        for (std::size_t k = 0; k < token.size(); k += 2) {
            const int high = digit(token[k]);
            const int low = digit(token[k + 1]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
        i = end;
    }
    return bytes;
}

std::string LogEntry::Line() const {
    std::string line = Format("%.6f %s", time, DirectionText(direction));
    if (!bytes.empty()) {
        line += ' ';
        line += ToHex(bytes);
    }
    if (!note.empty()) {
        line += ' ';
        line += note;
    }
    if (direction == Direction::kTx && sent > 0) {
        line += Format(" (last byte %.6f)", sent);
    }
    return line;
}

LogPredicate Is(Event event) {
    return [event](const LogEntry& e) { return e.event == event; };
}

struct VirtualTracker::Impl {
    explicit Impl(const Options& o);
    ~Impl();

    void Run();
    void Wake();
    void CloseLine();
    void HangUpLine();
    void MakeLink(int port, const std::string& folder);

    // Worker side.
    void HandlePieces(const std::vector<FrameDecoder::Piece>& pieces);
    void HandleFrame(const Bytes& frame);
    // True when the reply went out whole and unchanged: not dropped, cut,
    // corrupted or left unsent.
    bool SendReply(const Bytes& payload, Event event, std::string note);
    bool Transmit(const Bytes& bytes, Event event, std::string note, std::size_t split_at = 0,
                  Milliseconds gap = {});
    bool WriteAll(const std::uint8_t* bytes, std::size_t length, bool paced);
    bool Writable();
    bool Nap(Clock::time_point until);  // false when stopping or hanging up
    Clock::time_point last_write;       // the last write() of the frame being sent
    bool Interrupted();                 // stopping or hanging up
    void TakeArrivedBytes();  // hands the bytes the line has delivered by now to the decoder
    bool ReplugLine();        // false, changing nothing, when the next id does not fit
    Bytes DrainInput();       // what the host wrote that the tracker has not read yet
    void ReadBackDone();      // a read-back of a complete write-all went out
    void WaitUntilTaken();
    std::uint64_t generation = 0;  // counts the replugs: a frame read before one is dropped

    void AddLog(Direction d, Event e, Bytes bytes, std::string note);
    // Adds the entry and returns its index. An entry being sent gets its line
    // on the log stream once sent (WriteLogLine), when its last byte is known.
    std::size_t AddLogLocked(Direction d, Event e, Bytes bytes, std::string note,
                             bool line_now = true);
    void WriteLogLine(const LogEntry& entry);
    Bytes ReadLocked(std::size_t address, std::size_t count) const;
    void WriteLocked(std::size_t address, const Bytes& data);

    // Set at construction, constant afterwards.
    const Clock::time_point start = Clock::now();
    const Milliseconds announce_interval;
    const int line_trackers;
    const std::function<void()> on_line_done;
    std::string slave_path;
    std::string link_path;
    int wake_read = -1;
    int wake_write = -1;

    // Worker only (and Stop() once the worker has ended).
    int master = -1;
    int slave = -1;
    FrameDecoder decoder;
    Clock::time_point last_rx = start;
    ReceivePacer pacer;
    bool announce_skipped = false;

    // Guarded by mu.
    mutable std::mutex mu;
    mutable std::condition_variable changed;  // log grew, stop or hang-up
    std::string tracker_id;
    Bytes factory;
    Bytes memory;
    LineCycle cycle;  // since this tracker was plugged in
    int trackers_done = 0;
    bool line_done = false;
    bool replug_requested = false;
    bool replug_ok = false;          // the outcome of the last requested replug
    std::uint64_t replugs_done = 0;  // requested replugs carried out
    std::vector<LogEntry> log;
    std::ostream* log_stream;
    bool stop = false;
    bool announcing;
    bool announce_now;
    bool drop_next = false;
    bool corrupt_next = false;
    std::optional<int> nack_in;  // writes to let through before the refused one
    std::optional<Milliseconds> delay_next;
    bool flip_next = false;
    std::optional<Milliseconds> split_next;
    std::optional<std::size_t> shorten_next;
    Bytes noise_next;
    Bytes noise_always;
    Milliseconds reply_delay;
    bool real_pace;
    bool hangup_requested = false;
    bool hung_up = false;
    std::deque<Bytes> injections;

    std::mutex stop_mu;    // serialises Stop()
    std::mutex replug_mu;  // serialises Replug()
    std::thread worker;
};

VirtualTracker::Impl::Impl(const Options& o)
    : announce_interval(o.announce_interval),
      line_trackers(o.line_trackers),
      on_line_done(o.on_line_done),
      tracker_id(o.tracker_id),
      factory(FactoryMemory(o.tracker_id)),
      memory(factory),
      log_stream(o.log_stream),
      announcing(o.announce),
      announce_now(o.announce),
      noise_always(o.noise),
      reply_delay(o.reply_delay),
      real_pace(o.real_pace) {
    if (o.announce_interval.count() <= 0) {
        throw std::invalid_argument("the announcement interval must be positive");
    }
    if (o.reply_delay.count() < 0) {
        throw std::invalid_argument("the reply delay must not be negative");
    }
    if (o.line_trackers < 0) {
        throw std::invalid_argument("the number of trackers on the line must not be negative");
    }
    if (o.link_port != 0 && (o.link_port < 1 || o.link_port > 32)) {
        throw std::invalid_argument("link port must be 1 to 32, not " +
                                    std::to_string(o.link_port));
    }
    CheckNoise(o.noise);

    try {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) < 0) {
            throw SystemError("openpty");
        }
        SetFlag(master, F_GETFD, F_SETFD, FD_CLOEXEC);
        SetFlag(slave, F_GETFD, F_SETFD, FD_CLOEXEC);
        SetFlag(master, F_GETFL, F_SETFL, O_NONBLOCK);
        // Raw: no echo, no line editing, no CR/LF translation, 8 data bits.
        termios tio{};
        if (tcgetattr(slave, &tio) < 0) {
            throw SystemError("tcgetattr");
        }
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        if (tcsetattr(slave, TCSANOW, &tio) < 0) {
            throw SystemError("tcsetattr");
        }
        char name[256];
        if (ttyname_r(slave, name, sizeof name) != 0) {
            throw SystemError("ttyname_r");
        }
        slave_path = name;

        int pipe_fds[2];
        if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) < 0) {
            throw SystemError("pipe2");
        }
        wake_read = pipe_fds[0];
        wake_write = pipe_fds[1];

        if (o.link_port != 0) {
            const std::string folder = o.link_dir.empty() ? DefaultPortFolder() : o.link_dir;
            if (folder.empty()) {
                throw std::invalid_argument(
                    "no port folder for the link: neither XDG_CONFIG_HOME nor HOME is set");
            }
            MakeLink(o.link_port, folder);
        }
    } catch (...) {
        CloseLine();
        if (wake_read >= 0) {
            close(wake_read);
            close(wake_write);
        }
        throw;
    }
}

VirtualTracker::Impl::~Impl() {
    CloseLine();
    if (wake_read >= 0) {
        close(wake_read);
        close(wake_write);
    }
    if (!link_path.empty()) {
        // Only our own link: another tracker may have replaced it since.
        std::error_code error;
        if (std::filesystem::read_symlink(link_path, error) == slave_path) {
            std::filesystem::remove(link_path, error);
        }
    }
}

void VirtualTracker::Impl::MakeLink(int port, const std::string& folder) {
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    const std::string path = folder + "/com" + std::to_string(port);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        throw std::system_error(EEXIST, std::generic_category(),
                                path + " exists and is not a symbolic link");
    }
    // Made under a temporary name and renamed over, so that an old link is
    // replaced in one step.
    const std::string temporary =
        path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(wake_read);
    unlink(temporary.c_str());
    if (symlink(slave_path.c_str(), temporary.c_str()) < 0) {
        throw SystemError("symlink " + temporary);
    }
    if (rename(temporary.c_str(), path.c_str()) < 0) {
        const std::system_error error = SystemError("rename to " + path);
        unlink(temporary.c_str());
        throw error;
    }
    link_path = path;
}

void VirtualTracker::Impl::CloseLine() {
    if (master >= 0) {
        close(master);
        master = -1;
    }
    if (slave >= 0) {
        close(slave);
        slave = -1;
    }
}

// A pulled plug: the tracker's end closes, so the tool sees a hang-up and the
// device name goes away. The slave stays open until the tracker is gone: that
// keeps the pty's number taken, so a tool that keeps retrying the old name
// finds nothing rather than a pty opened since by another program.
void VirtualTracker::Impl::HangUpLine() {
    if (master >= 0) {
        close(master);
        master = -1;
    }
}

void VirtualTracker::Impl::Wake() {
    const std::uint8_t b = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = write(wake_write, &b, 1);
}

void VirtualTracker::Impl::AddLog(Direction d, Event e, Bytes bytes, std::string note) {
    std::lock_guard lock(mu);
    AddLogLocked(d, e, std::move(bytes), std::move(note));
}

std::size_t VirtualTracker::Impl::AddLogLocked(Direction d, Event e, Bytes bytes, std::string note,
                                               bool line_now) {
    LogEntry entry;
    entry.index = log.size();
    entry.time = std::chrono::duration<double>(Clock::now() - start).count();
    entry.direction = d;
    entry.event = e;
    entry.bytes = std::move(bytes);
    entry.note = std::move(note);
    if (line_now) {
        WriteLogLine(entry);
    }
    log.push_back(std::move(entry));
    changed.notify_all();
    return log.size() - 1;
}

void VirtualTracker::Impl::WriteLogLine(const LogEntry& entry) {
    if (log_stream != nullptr) {
        *log_stream << entry.Line() << '\n';
        log_stream->flush();
    }
}

Bytes VirtualTracker::Impl::ReadLocked(std::size_t address, std::size_t count) const {
    if (address >= memory.size()) {
        return {};
    }
    const std::size_t n = std::min(count, memory.size() - address);
    const auto first = memory.begin() + static_cast<std::ptrdiff_t>(address);
    return Bytes(first, first + static_cast<std::ptrdiff_t>(n));
}

void VirtualTracker::Impl::WriteLocked(std::size_t address, const Bytes& data) {
    if (address >= memory.size()) {
        return;
    }
    const std::size_t n = std::min(data.size(), memory.size() - address);
    std::copy_n(data.begin(), n, memory.begin() + static_cast<std::ptrdiff_t>(address));
}

bool VirtualTracker::Impl::ReplugLine() {
    {
        std::lock_guard lock(mu);
        if (!NextTrackerId(tracker_id)) {
            return false;
        }
    }
    // What the host sent the old tracker and it has not taken as a frame
    // yet: bytes held for an unfinished frame, bytes still on the wire,
    // bytes not read yet.
    Bytes dropped = decoder.Reset();
    const Bytes on_wire = pacer.Reset();
    dropped.insert(dropped.end(), on_wire.begin(), on_wire.end());
    const Bytes unread = DrainInput();
    dropped.insert(dropped.end(), unread.begin(), unread.end());
    ++generation;

    std::lock_guard lock(mu);
    tracker_id = *NextTrackerId(tracker_id);  // only the worker changes it
    factory = FactoryMemory(tracker_id);
    memory = factory;
    cycle = {};
    announcing = true;
    announce_now = true;
    announce_skipped = false;
    std::string note = "replug " + tracker_id;
    if (!dropped.empty()) {
        note += Format(", %zu bytes from the host dropped", dropped.size());
    }
    AddLogLocked(Direction::kNone, Event::kReplug, std::move(dropped), std::move(note));
    return true;
}

Bytes VirtualTracker::Impl::DrainInput() {
    Bytes unread;
    std::uint8_t chunk[4096];
    ssize_t n;
    while (master >= 0 && (n = read(master, chunk, sizeof chunk)) > 0) {
        unread.insert(unread.end(), chunk, chunk + n);
    }
    return unread;
}

void VirtualTracker::Impl::ReadBackDone() {
    bool last;
    {
        std::lock_guard lock(mu);
        ++trackers_done;
        last = trackers_done >= line_trackers;
    }
    if (!last) {
        if (!ReplugLine()) {
            AddLog(Direction::kNone, Event::kLineError, {},
                   "no next tracker: its id would need another digit");
        }
        return;
    }
    WaitUntilTaken();
    {
        std::lock_guard lock(mu);
        line_done = true;
        AddLogLocked(Direction::kNone, Event::kLineDone, {},
                     Format("line done: %d trackers", trackers_done));
    }
    if (on_line_done) {
        on_line_done();
    }
}

// Until the tool has read what the tracker sent (the slave's input queue is
// empty) or the patience runs out, and then for the hand-over.
void VirtualTracker::Impl::WaitUntilTaken() {
    const Clock::time_point give_up = Clock::now() + kDrainPatience;
    int waiting = 0;
    while (master >= 0 && slave >= 0 && ::ioctl(slave, FIONREAD, &waiting) == 0 && waiting > 0 &&
           Clock::now() < give_up) {
        if (!Nap(Clock::now() + Milliseconds{2})) {
            return;
        }
    }
    Nap(Clock::now() + kHandOver);
}

void VirtualTracker::Impl::TakeArrivedBytes() {
    const Bytes arrived = pacer.TakeArrived(Clock::now());
    if (!arrived.empty()) {
        last_rx = Clock::now();
        HandlePieces(decoder.Feed(arrived.data(), arrived.size()));
    }
}

bool VirtualTracker::Impl::Nap(Clock::time_point until) {
    std::unique_lock lock(mu);
    return !changed.wait_until(lock, until, [this] { return stop || hangup_requested; });
}

bool VirtualTracker::Impl::Interrupted() {
    std::lock_guard lock(mu);
    return stop || hangup_requested;
}

bool VirtualTracker::Impl::Writable() {
    pollfd p{master, POLLOUT, 0};
    return master >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

bool VirtualTracker::Impl::WriteAll(const std::uint8_t* bytes, std::size_t length, bool paced) {
    const Clock::time_point began = Clock::now();
    last_write = began;
    std::size_t sent = 0;
    while (sent < length) {
        const std::size_t slice = paced ? std::min(kPacedSlice, length - sent) : length - sent;
        // Paced, a slice goes out when its last byte would have arrived on a
        // 9600 bit/s line: the tool never holds a frame before its time.
        if (paced && !Nap(began + kByteTime * static_cast<long>(sent + slice))) {
            return false;
        }
        std::size_t done = 0;
        const Clock::time_point give_up = Clock::now() + kWritePatience;
        while (done < slice) {
            if (master < 0) {
                return false;
            }
            const ssize_t n = write(master, bytes + sent + done, slice - done);
            if (n > 0) {
                last_write = Clock::now();
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN && Clock::now() < give_up) {
                pollfd p{master, POLLOUT, 0};
                poll(&p, 1, 20);
                if (Interrupted()) {
                    return false;
                }
                continue;
            }
            return false;
        }
        sent += slice;
    }
    return true;
}

bool VirtualTracker::Impl::Transmit(const Bytes& bytes, Event event, std::string note,
                                    std::size_t split_at, Milliseconds gap) {
    bool paced;
    std::size_t index;
    {
        std::lock_guard lock(mu);
        paced = real_pace;
        index = AddLogLocked(Direction::kTx, event, bytes, std::move(note), false);
    }
    bool ok;
    if (split_at > 0 && split_at < bytes.size()) {
        ok = WriteAll(bytes.data(), split_at, paced) && Nap(Clock::now() + gap) &&
             WriteAll(bytes.data() + split_at, bytes.size() - split_at, paced);
    } else {
        ok = WriteAll(bytes.data(), bytes.size(), paced);
    }
    {
        std::lock_guard lock(mu);
        log[index].sent = std::chrono::duration<double>(last_write - start).count();
        WriteLogLine(log[index]);
    }
    if (!ok) {
        AddLog(Direction::kNone, Event::kLineError, {},
               Format("the %zu bytes above were not all sent", bytes.size()));
    }
    return ok;
}

bool VirtualTracker::Impl::SendReply(const Bytes& payload, Event event, std::string note) {
    Bytes frame = EncodeFrame(payload);
    bool cut = false;
    bool corrupt;
    std::optional<Milliseconds> split;
    Bytes noise;
    Milliseconds delay;
    {
        std::lock_guard lock(mu);
        if (drop_next) {
            drop_next = false;
            AddLogLocked(Direction::kNone, Event::kDropped, frame, "dropped " + note);
            return false;
        }
        if (const auto length = std::exchange(shorten_next, std::nullopt);
            length && *length < payload.size()) {
            frame =
                EncodeFrame(Bytes(payload.begin(), payload.begin() + static_cast<long>(*length)));
            note += Format(", cut to %zu bytes", *length);
            cut = true;
        }
        corrupt = std::exchange(corrupt_next, false);
        split = std::exchange(split_next, std::nullopt);
        noise = noise_always;
        noise.insert(noise.end(), noise_next.begin(), noise_next.end());
        noise_next.clear();
        delay = std::exchange(delay_next, std::nullopt).value_or(reply_delay);
    }
    if (delay.count() > 0 && !Nap(Clock::now() + delay)) {
        return false;
    }
    if (corrupt) {
        frame[frame.size() - 2] ^= 0xFF;
        frame[frame.size() - 1] ^= 0xFF;
        note += ", crc corrupted";
    }
    std::size_t split_at = 0;
    if (split) {
        split_at = frame.size() / 2;
        note += Format(", split after %zu bytes, %lld ms gap", split_at,
                       static_cast<long long>(split->count()));
    }
    if (!noise.empty() && !Transmit(noise, Event::kNoise, "noise")) {
        return false;
    }
    return Transmit(frame, event, std::move(note), split_at, split.value_or(Milliseconds{})) &&
           !cut && !corrupt;
}

void VirtualTracker::Impl::HandleFrame(const Bytes& frame) {
    const Bytes payload = PayloadOf(frame);
    if (payload.empty()) {
        AddLog(Direction::kRx, Event::kIgnored, frame, "empty payload, ignored");
        return;
    }
    const std::uint8_t command = payload[0];
    if (command == kHandshakeCommand && payload == kHandshakePayload) {
        std::lock_guard lock(mu);
        announcing = false;
        AddLogLocked(Direction::kRx, Event::kHandshake, frame, "handshake");
        return;
    }
    if (command == kReadCommand && payload.size() == 5) {
        const std::size_t address = std::size_t{payload[1]} << 8 | payload[2];
        const std::size_t count = std::size_t{payload[3]} << 8 | payload[4];
        Bytes reply = {kReadCommand};
        {
            std::lock_guard lock(mu);
            const Bytes data = ReadLocked(address, count);
            reply.insert(reply.end(), data.begin(), data.end());
            AddLogLocked(Direction::kRx, Event::kRead, frame,
                         Format("read %04zX+%zu", address, count));
        }
        const bool sent =
            SendReply(reply, Event::kReadReply, Format("read reply %zu bytes", reply.size() - 1));
        bool read_back;
        {
            std::lock_guard lock(mu);
            read_back = sent && line_trackers > 0 && !line_done && cycle.ReadBack(address, count);
        }
        if (read_back) {
            ReadBackDone();
        }
        return;
    }
    if (command == kWriteCommand && payload.size() >= 3) {
        const std::size_t address = std::size_t{payload[1]} << 8 | payload[2];
        const Bytes data(payload.begin() + 3, payload.end());
        const bool is_default = payload == kDefaultPayload;
        bool refused;
        bool counts = false;  // stored as sent: it counts once acknowledged
        {
            std::lock_guard lock(mu);
            refused = nack_in && (*nack_in)-- == 0;
            if (refused) {
                nack_in.reset();
            }
            std::string note = is_default ? std::string("default")
                                          : Format("write %04zX %zu bytes", address, data.size());
            if (refused) {
                note += ", refused";
            } else if (is_default) {
                memory = factory;
                cycle.Forget();
            } else if (std::exchange(flip_next, false) && !data.empty()) {
                // A cell that does not keep what it was given: the first
                // byte stored with its lowest bit flipped, acknowledged all
                // the same.
                Bytes kept = data;
                kept[0] ^= 0x01;
                WriteLocked(address, kept);
                cycle.Overwritten(address, data.size());
                note += ", first byte flipped";
            } else {
                WriteLocked(address, data);
                counts = true;
            }
            AddLogLocked(Direction::kRx, is_default ? Event::kDefault : Event::kWrite, frame,
                         std::move(note));
        }
        const bool acknowledged =
            SendReply({kWriteCommand, static_cast<std::uint8_t>(refused ? 0 : 1)}, Event::kAck,
                      refused ? "ack 0" : "ack 1");
        if (counts && acknowledged) {
            std::lock_guard lock(mu);
            cycle.Stored(address, data.size());
        }
        return;
    }
    AddLog(Direction::kRx, Event::kIgnored, frame,
           Format("command %02X with %zu payload bytes, ignored", command, payload.size()));
}

void VirtualTracker::Impl::HandlePieces(const std::vector<FrameDecoder::Piece>& pieces) {
    const std::uint64_t plugged = generation;
    for (const FrameDecoder::Piece& piece : pieces) {
        if (generation != plugged) {
            return;  // the rest came for the tracker just unplugged
        }
        switch (piece.kind) {
            case FrameDecoder::Kind::kFrame:
                HandleFrame(piece.bytes);
                break;
            case FrameDecoder::Kind::kBadCrc:
                AddLog(Direction::kRx, Event::kBadCrc, piece.bytes, "bad crc, ignored");
                break;
            case FrameDecoder::Kind::kGarbage:
                AddLog(Direction::kRx, Event::kGarbage, piece.bytes, "garbage, ignored");
                break;
        }
    }
}

void VirtualTracker::Impl::Run() {
    const Bytes announcement = EncodeFrame(kAnnouncementPayload);
    Clock::time_point next_announce = start;
    bool read_failed = false;
    for (;;) {
        bool replug;
        {
            std::lock_guard lock(mu);
            if (stop) {
                return;
            }
            replug = std::exchange(replug_requested, false);
        }
        if (replug) {
            const bool ok = ReplugLine();
            std::lock_guard lock(mu);
            replug_ok = ok;
            ++replugs_done;
            changed.notify_all();
        }

        bool announce;
        bool hang_up = false;
        std::deque<Bytes> to_inject;
        {
            std::lock_guard lock(mu);
            if (stop) {
                return;
            }
            if (hangup_requested && !hung_up) {
                hang_up = true;
            }
            if (std::exchange(announce_now, false)) {
                next_announce = Clock::now();
            }
            announce = announcing;
            to_inject.swap(injections);
        }
        if (hang_up) {
            HangUpLine();
            std::lock_guard lock(mu);
            hung_up = true;
            hangup_requested = false;
            AddLogLocked(Direction::kNone, Event::kHangUp, {}, "hang up");
        }
        for (const Bytes& bytes : to_inject) {
            if (master < 0) {
                AddLog(Direction::kNone, Event::kLineError, bytes, "not injected: line closed");
            } else {
                Transmit(bytes, Event::kInjected, "injected");
            }
        }

        Clock::time_point now = Clock::now();
        if (announce && master >= 0 && now >= next_announce) {
            // Nobody reading fills the line in time; then the announcement is
            // skipped rather than waited for, as a tracker would not wait.
            if (Writable()) {
                announce_skipped = false;
                Transmit(announcement, Event::kAnnounce, "announce");
            } else if (!std::exchange(announce_skipped, true)) {
                AddLog(Direction::kNone, Event::kLineError, announcement,
                       "announcements not sent while the line is full");
            }
            next_announce += announce_interval;
            now = Clock::now();
            if (next_announce <= now) {
                next_announce = now + announce_interval;
            }
        }

        // Sleep until the next timed event, a byte, or a wake-up.
        std::optional<Clock::time_point> until;
        if (announce && master >= 0) {
            until = next_announce;
        }
        // Paced, wake when the byte arrives that may complete a frame.
        if (const std::optional<Clock::time_point> due = pacer.ArrivalOf(decoder.Missing())) {
            until = until ? std::min(*until, *due) : *due;
        } else if (decoder.Pending()) {
            const Clock::time_point stale = last_rx + kStaleFrame;
            until = until ? std::min(*until, stale) : stale;
        }
        // To the nanosecond: a paced frame is taken when its last byte is due.
        timespec timeout{};
        if (until) {
            const long long left = std::clamp<long long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(*until - now).count(), 0,
                60'000'000'000LL);
            timeout.tv_sec = static_cast<time_t>(left / 1'000'000'000LL);
            timeout.tv_nsec = static_cast<long>(left % 1'000'000'000LL);
        }
        pollfd fds[2] = {{wake_read, POLLIN, 0}, {master, POLLIN, 0}};
        const nfds_t count = master >= 0 ? 2 : 1;
        if (ppoll(fds, count, until ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
            AddLog(Direction::kNone, Event::kLineError, {}, "poll failed");
            Nap(Clock::now() + Milliseconds{100});
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t drain[64];
            while (read(wake_read, drain, sizeof drain) > 0) {
            }
        }
        if (count == 2 && fds[1].revents != 0) {
            std::uint8_t chunk[4096];
            const ssize_t n = read(master, chunk, sizeof chunk);
            if (n > 0) {
                read_failed = false;
                bool paced;
                {
                    std::lock_guard lock(mu);
                    paced = real_pace;
                }
                pacer.Add(chunk, static_cast<std::size_t>(n), Clock::now(), paced);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Cannot happen while the slave is held open; never spin on it.
                if (!std::exchange(read_failed, true)) {
                    AddLog(Direction::kNone, Event::kLineError, {}, "reading the line failed");
                }
                Nap(Clock::now() + Milliseconds{100});
            }
        }
        TakeArrivedBytes();
        if (decoder.Pending() && pacer.Empty() && Clock::now() >= last_rx + kStaleFrame) {
            HandlePieces(decoder.Flush());
        }
    }
}

VirtualTracker::VirtualTracker(const Options& options) : impl_(std::make_unique<Impl>(options)) {
    impl_->worker = std::thread([impl = impl_.get()] { impl->Run(); });
}

VirtualTracker::~VirtualTracker() {
    Stop();
}

void VirtualTracker::Stop() {
    std::lock_guard stopping(impl_->stop_mu);
    {
        std::lock_guard lock(impl_->mu);
        impl_->stop = true;
        impl_->changed.notify_all();
    }
    impl_->Wake();
    if (impl_->worker.joinable()) {
        impl_->worker.join();
    }
    impl_->CloseLine();
}

std::chrono::steady_clock::time_point VirtualTracker::StartTime() const {
    return impl_->start;
}

const std::string& VirtualTracker::SlavePath() const {
    return impl_->slave_path;
}

const std::string& VirtualTracker::LinkPath() const {
    return impl_->link_path;
}

void VirtualTracker::Announce() {
    {
        std::lock_guard lock(impl_->mu);
        impl_->announcing = true;
        impl_->announce_now = true;
    }
    impl_->Wake();
}

bool VirtualTracker::Replug() {
    std::lock_guard one_at_a_time(impl_->replug_mu);
    std::unique_lock lock(impl_->mu);
    if (impl_->stop || !NextTrackerId(impl_->tracker_id)) {
        return false;
    }
    const std::uint64_t ticket = impl_->replugs_done + 1;
    impl_->replug_requested = true;
    impl_->Wake();
    impl_->changed.wait(lock, [&] { return impl_->replugs_done >= ticket || impl_->stop; });
    return impl_->replugs_done >= ticket && impl_->replug_ok;
}

std::string VirtualTracker::TrackerId() const {
    std::lock_guard lock(impl_->mu);
    return impl_->tracker_id;
}

int VirtualTracker::TrackersDone() const {
    std::lock_guard lock(impl_->mu);
    return impl_->trackers_done;
}

bool VirtualTracker::LineDone() const {
    std::lock_guard lock(impl_->mu);
    return impl_->line_done;
}

bool VirtualTracker::Announcing() const {
    std::lock_guard lock(impl_->mu);
    return impl_->announcing;
}

void VirtualTracker::DropNextReply() {
    std::lock_guard lock(impl_->mu);
    impl_->drop_next = true;
}

void VirtualTracker::ShortenNextReply(std::size_t length) {
    std::lock_guard lock(impl_->mu);
    impl_->shorten_next = length;
}

void VirtualTracker::CorruptNextReply() {
    std::lock_guard lock(impl_->mu);
    impl_->corrupt_next = true;
}

void VirtualTracker::SplitNextReply(Milliseconds gap) {
    if (gap.count() < 0) {
        throw std::invalid_argument("the split gap must not be negative");
    }
    std::lock_guard lock(impl_->mu);
    impl_->split_next = gap;
}

void VirtualTracker::NackNextWrite(int after) {
    if (after < 0) {
        throw std::invalid_argument("the writes before the refused one must not be negative");
    }
    std::lock_guard lock(impl_->mu);
    impl_->nack_in = after;
}

void VirtualTracker::DelayNextReply(Milliseconds delay) {
    if (delay.count() < 0) {
        throw std::invalid_argument("the reply delay must not be negative");
    }
    std::lock_guard lock(impl_->mu);
    impl_->delay_next = delay;
}

void VirtualTracker::FlipNextWrite() {
    std::lock_guard lock(impl_->mu);
    impl_->flip_next = true;
}

void VirtualTracker::NoiseBeforeNextReply(const Bytes& noise) {
    CheckNoise(noise);
    std::lock_guard lock(impl_->mu);
    impl_->noise_next = noise;
}

void VirtualTracker::SetReplyDelay(Milliseconds delay) {
    if (delay.count() < 0) {
        throw std::invalid_argument("the reply delay must not be negative");
    }
    std::lock_guard lock(impl_->mu);
    impl_->reply_delay = delay;
}

void VirtualTracker::SetNoise(const Bytes& noise) {
    CheckNoise(noise);
    std::lock_guard lock(impl_->mu);
    impl_->noise_always = noise;
}

void VirtualTracker::SetRealPace(bool on) {
    std::lock_guard lock(impl_->mu);
    impl_->real_pace = on;
}

void VirtualTracker::HangUp() {
    std::unique_lock lock(impl_->mu);
    if (impl_->hung_up || impl_->stop) {
        return;
    }
    impl_->hangup_requested = true;
    impl_->changed.notify_all();
    impl_->Wake();
    impl_->changed.wait(lock, [this] { return impl_->hung_up || impl_->stop; });
}

bool VirtualTracker::HungUp() const {
    std::lock_guard lock(impl_->mu);
    return impl_->hung_up;
}

void VirtualTracker::Inject(const Bytes& bytes) {
    {
        std::lock_guard lock(impl_->mu);
        impl_->injections.push_back(bytes);
    }
    impl_->Wake();
}

Bytes VirtualTracker::Memory() const {
    std::lock_guard lock(impl_->mu);
    return impl_->memory;
}

Bytes VirtualTracker::ReadMemory(std::size_t address, std::size_t count) const {
    std::lock_guard lock(impl_->mu);
    return impl_->ReadLocked(address, count);
}

void VirtualTracker::WriteMemory(std::size_t address, const Bytes& bytes) {
    std::lock_guard lock(impl_->mu);
    impl_->WriteLocked(address, bytes);
}

void VirtualTracker::RestoreFactoryMemory() {
    std::lock_guard lock(impl_->mu);
    impl_->memory = impl_->factory;
    impl_->cycle.Forget();
}

Bytes VirtualTracker::Factory() const {
    std::lock_guard lock(impl_->mu);
    return impl_->factory;
}

std::vector<LogEntry> VirtualTracker::Log() const {
    std::lock_guard lock(impl_->mu);
    return impl_->log;
}

std::size_t VirtualTracker::LogSize() const {
    std::lock_guard lock(impl_->mu);
    return impl_->log.size();
}

std::size_t VirtualTracker::Count(const LogPredicate& match, std::size_t from) const {
    std::lock_guard lock(impl_->mu);
    const auto& log = impl_->log;
    if (from >= log.size()) {
        return 0;
    }
    return static_cast<std::size_t>(
        std::count_if(log.begin() + static_cast<std::ptrdiff_t>(from), log.end(), match));
}

std::optional<LogEntry> VirtualTracker::WaitFor(const LogPredicate& match, Milliseconds timeout,
                                                std::size_t nth, std::size_t from) const {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock lock(impl_->mu);
    const auto& log = impl_->log;
    std::size_t next = from;
    std::size_t found = 0;
    for (;;) {
        for (; next < log.size(); ++next) {
            if (match(log[next]) && ++found >= nth) {
                return log[next];
            }
        }
        if (impl_->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; next < log.size(); ++next) {
                if (match(log[next]) && ++found >= nth) {
                    return log[next];
                }
            }
            return std::nullopt;
        }
    }
}

}  // namespace qx17::sim
