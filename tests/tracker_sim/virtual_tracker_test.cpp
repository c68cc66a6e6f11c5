// The virtual tracker driven from the slave side of its line, as the tool
// would drive it, with plain POSIX calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "tests/tracker_sim/slave_line.h"
#include "tools/tracker_sim/virtual_tracker.h"

namespace qx17::sim {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::kPatience;
using test::SlaveLine;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const Bytes kAnnouncement = Hex("AB AB 00 02 AA 99 64 44");
const Bytes kHandshake = Hex("AB AB 00 03 99 AA 55 D8 F5");
const Bytes kReadAll = Hex("AB AB 00 05 95 00 00 01 00 21 2C");
const Bytes kAck = Hex("AB AB 00 02 94 01 40 6F");
const Bytes kDefault = Hex("AB AB 00 04 94 00 02 FF 12 A2");

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + count));
}

Bytes Request(std::uint8_t command, std::size_t address, const Bytes& rest) {
    Bytes payload = {command, static_cast<std::uint8_t>(address >> 8),
                     static_cast<std::uint8_t>(address & 0xFF)};
    payload.insert(payload.end(), rest.begin(), rest.end());
    return EncodeFrame(payload);
}

Bytes WriteRequest(std::size_t address, const Bytes& data) {
    return Request(0x94, address, data);
}

Bytes ReadRequest(std::size_t address, std::size_t count) {
    return Request(
        0x95, address,
        {static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count & 0xFF)});
}

// The correct reply to kReadAll from the factory memory.
Bytes ReadAllReply(const Bytes& memory) {
    Bytes payload = {0x95};
    payload.insert(payload.end(), memory.begin(), memory.begin() + 256);
    return EncodeFrame(payload);
}

Options Quiet() {
    Options o;
    o.announce = false;
    return o;
}

class TrackerTest : public testing::Test {
  protected:
    void Start(const Options& options = Quiet()) {
        tracker_.emplace(options);
        line_.emplace(tracker_->SlavePath());
        ASSERT_TRUE(line_->IsOpen()) << tracker_->SlavePath();
    }

    std::optional<Bytes> Ask(const Bytes& request, Bytes* before = nullptr) {
        line_->Write(request);
        return line_->ReadFrame(kPatience, before);
    }

    std::optional<VirtualTracker> tracker_;
    std::optional<SlaveLine> line_;
};

TEST_F(TrackerTest, AnnouncesUntilTheHandshakeThenKeepsQuietUntilAskedAgain) {
    Options o;
    o.announce_interval = 50ms;
    Start(o);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(line_->ReadFrame(), kAnnouncement) << i;
    }
    line_->Write(kHandshake);
    const std::optional<LogEntry> handshake = tracker_->WaitFor(Is(Event::kHandshake), kPatience);
    ASSERT_TRUE(handshake);
    EXPECT_FALSE(tracker_->Announcing());

    line_->ReadFor(500ms);  // ten intervals; drains announcements sent before
    EXPECT_EQ(tracker_->Count(Is(Event::kAnnounce), handshake->index), 0u);
    EXPECT_TRUE(line_->ReadFor(200ms).empty());

    tracker_->Announce();
    EXPECT_TRUE(tracker_->Announcing());
    EXPECT_EQ(line_->ReadFrame(), kAnnouncement);
}

TEST_F(TrackerTest, ReadReplyCarriesTheMemoryWithAValidCrc) {
    Start();
    const std::optional<Bytes> reply = Ask(kReadAll);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 263u);
    EXPECT_EQ(ToHex(Slice(*reply, 0, 5)), "AB AB 01 01 95");
    EXPECT_EQ(Slice(*reply, 5, 256), Slice(tracker_->Factory(), 0, 256));
    EXPECT_EQ(*reply, ReadAllReply(tracker_->Factory()));  // the CRC too

    const std::optional<LogEntry> rx = tracker_->WaitFor(Is(Event::kRead), kPatience);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->direction, Direction::kRx);
    EXPECT_EQ(rx->bytes, kReadAll);
    EXPECT_EQ(rx->note, "read 0000+256");
    const std::optional<LogEntry> tx = tracker_->WaitFor(Is(Event::kReadReply), kPatience);
    ASSERT_TRUE(tx);
    EXPECT_EQ(tx->direction, Direction::kTx);
    EXPECT_EQ(tx->bytes, *reply);
}

TEST_F(TrackerTest, WriteIsStoredAcknowledgedAndReadBack) {
    Start();
    EXPECT_EQ(Ask(WriteRequest(2, Hex("33 37 39 34"))), kAck);
    EXPECT_EQ(ToHex(tracker_->ReadMemory(2, 4)), "33 37 39 34");
    const std::optional<Bytes> reply = Ask(kReadAll);
    ASSERT_TRUE(reply);
    EXPECT_EQ(ToHex(Slice(*reply, 5 + 2, 4)), "33 37 39 34");
    EXPECT_EQ(ToHex(Slice(*reply, 5 + 6, 4)), "FF FF FF FF");  // neighbours untouched

    const std::optional<LogEntry> rx = tracker_->WaitFor(Is(Event::kWrite), kPatience);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->note, "write 0002 4 bytes");
    const std::optional<LogEntry> ack = tracker_->WaitFor(Is(Event::kAck), kPatience);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->note, "ack 1");
}

TEST_F(TrackerTest, ReadsAndWritesAreClippedAtTheEndOfMemory) {
    Start();
    EXPECT_EQ(Ask(WriteRequest(4095, Hex("01 02 03 04"))), kAck);
    EXPECT_EQ(Ask(WriteRequest(0xFFFF, Hex("05"))), kAck);
    const Bytes memory = tracker_->Memory();
    ASSERT_EQ(memory.size(), kMemorySize);
    EXPECT_EQ(ToHex(Slice(memory, 4094, 3)), "FF 01 02");

    const struct {
        std::size_t address, count, expected;
    } reads[] = {
        {4090, 100, 7}, {4096, 1, 1}, {4097, 1, 0}, {0xFFFF, 0xFFFF, 0}, {0, 0xFFFF, 4097}};
    for (const auto& r : reads) {
        const std::optional<Bytes> reply = Ask(ReadRequest(r.address, r.count));
        ASSERT_TRUE(reply) << r.address;
        const Bytes payload = PayloadOf(*reply);
        ASSERT_EQ(payload.size(), 1 + r.expected) << r.address;
        EXPECT_EQ(Slice(payload, 1, r.expected),
                  Slice(memory, std::min(r.address, kMemorySize), r.expected));
    }
}

TEST_F(TrackerTest, DefaultRestoresTheFactoryMemoryButOnlyForExactlyItsFrame) {
    Start();
    tracker_->WriteMemory(300, Bytes(50, 0x11));
    EXPECT_EQ(Ask(WriteRequest(2, Hex("FF FF"))), kAck);  // an ordinary write of FF FF
    EXPECT_EQ(ToHex(tracker_->ReadMemory(2, 2)), "FF FF");
    EXPECT_NE(tracker_->Memory(), tracker_->Factory());

    EXPECT_EQ(Ask(kDefault), kAck);
    EXPECT_EQ(tracker_->Memory(), tracker_->Factory());
    EXPECT_TRUE(tracker_->WaitFor(Is(Event::kDefault), kPatience));
}

TEST_F(TrackerTest, FrameInSingleBytesAfterGarbageAndABadCopyIsAnsweredOnce) {
    Start();
    Bytes damaged = kReadAll;
    damaged.back() ^= 0xFF;
    line_->Write(Hex("00 11 AB 22"));
    line_->Write(damaged);
    for (std::uint8_t b : kReadAll) {
        line_->Write({b});
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(line_->ReadFrame(), ReadAllReply(tracker_->Factory()));
    EXPECT_EQ(tracker_->Count(Is(Event::kRead)), 1u);

    const std::optional<LogEntry> bad = tracker_->WaitFor(Is(Event::kBadCrc), kPatience);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->bytes, damaged);
    Bytes garbage;  // may have been read in more than one piece
    for (const LogEntry& e : tracker_->Log()) {
        if (e.event == Event::kGarbage)
            garbage.insert(garbage.end(), e.bytes.begin(), e.bytes.end());
    }
    EXPECT_EQ(ToHex(garbage), "00 11 AB 22");
}

TEST_F(TrackerTest, UnknownCommandsAreLoggedAndIgnored) {
    Start();
    line_->Write(EncodeFrame(Hex("42 01 02")));
    line_->Write(EncodeFrame(Hex("95 00 00")));  // a read without its count
    EXPECT_TRUE(tracker_->WaitFor(Is(Event::kIgnored), kPatience, 2));
    EXPECT_TRUE(line_->ReadFor(200ms).empty());
    EXPECT_EQ(Ask(kReadAll), ReadAllReply(tracker_->Factory()));  // still answering
}

// One-shot faults on a read reply: the faulty reply, then a clean one.
struct OneShotCase {
    const char* name;
    std::function<void(VirtualTracker&)> arm;
    bool answered;
    Bytes before;                        // expected bytes ahead of the frame
    std::function<Bytes(Bytes)> mangle;  // the clean reply into the expected one
};

void PrintTo(const OneShotCase& c, std::ostream* os) {
    *os << c.name;
}

class OneShotFault : public TrackerTest, public testing::WithParamInterface<OneShotCase> {};

TEST_P(OneShotFault, AppliesToTheNextReplyOnly) {
    const OneShotCase& c = GetParam();
    Start();
    const Bytes clean = ReadAllReply(tracker_->Factory());
    c.arm(*tracker_);
    Bytes before;
    if (c.answered) {
        const std::optional<Bytes> reply = Ask(kReadAll, &before);
        ASSERT_TRUE(reply);
        EXPECT_EQ(ToHex(*reply), ToHex(c.mangle(clean)));
        EXPECT_EQ(ToHex(before), ToHex(c.before));
    } else {
        line_->Write(kReadAll);
        const std::optional<LogEntry> dropped = tracker_->WaitFor(Is(Event::kDropped), kPatience);
        ASSERT_TRUE(dropped);
        EXPECT_EQ(dropped->bytes, clean);
        EXPECT_TRUE(line_->ReadFor(300ms).empty());
        EXPECT_EQ(tracker_->Count(Is(Event::kReadReply)), 0u);
    }
    EXPECT_EQ(Ask(kReadAll, &before), clean);
    EXPECT_TRUE(before.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OneShotFault,
    testing::Values(
        OneShotCase{
            "drop", [](VirtualTracker& tracker) { tracker.DropNextReply(); }, false, {}, nullptr},
        OneShotCase{"corrupt",
                    [](VirtualTracker& tracker) { tracker.CorruptNextReply(); },
                    true,
                    {},
                    [](Bytes b) {
                        b[b.size() - 2] ^= 0xFF;
                        b[b.size() - 1] ^= 0xFF;
                        return b;
                    }},
        OneShotCase{"noise",
                    [](VirtualTracker& tracker) { tracker.NoiseBeforeNextReply(Hex("00 11 FE")); },
                    true, Hex("00 11 FE"), [](Bytes b) { return b; }},
        OneShotCase{"split",
                    [](VirtualTracker& tracker) { tracker.SplitNextReply(50ms); },
                    true,
                    {},
                    [](Bytes b) { return b; }}),
    [](const testing::TestParamInfo<OneShotCase>& param_info) {
        return std::string(param_info.param.name);
    });

// A dropped reply leaves the other one-shots for the reply after it.
TEST_F(TrackerTest, DropLeavesCorruptArmedForTheFollowingReply) {
    Start();
    tracker_->DropNextReply();
    tracker_->CorruptNextReply();
    line_->Write(kReadAll);
    ASSERT_TRUE(tracker_->WaitFor(Is(Event::kDropped), kPatience));
    const std::optional<Bytes> reply = Ask(kReadAll);
    ASSERT_TRUE(reply);
    EXPECT_NE(*reply, ReadAllReply(tracker_->Factory()));
    EXPECT_EQ(PayloadOf(*reply), PayloadOf(ReadAllReply(tracker_->Factory())));
}

TEST_F(TrackerTest, NackRefusesOneWriteWithoutStoringIt) {
    Start();
    const Bytes nack = EncodeFrame(Hex("94 00"));
    tracker_->NackNextWrite();
    EXPECT_EQ(Ask(WriteRequest(2, Hex("31 32 33 34"))), nack);
    EXPECT_EQ(tracker_->Memory(), tracker_->Factory());

    tracker_->WriteMemory(2, Hex("39"));
    tracker_->NackNextWrite();
    EXPECT_EQ(Ask(kDefault), nack);  // a refused Default restores nothing
    EXPECT_EQ(ToHex(tracker_->ReadMemory(2, 1)), "39");

    EXPECT_EQ(Ask(WriteRequest(2, Hex("31 32 33 34"))), kAck);
    EXPECT_EQ(ToHex(tracker_->ReadMemory(2, 4)), "31 32 33 34");
}

TEST_F(TrackerTest, PersistentNoisePrecedesEveryReplyUntilCleared) {
    Start();
    tracker_->SetNoise(Hex("01 02"));
    for (const Bytes& request : {kReadAll, WriteRequest(2, Hex("30"))}) {
        Bytes before;
        EXPECT_TRUE(Ask(request, &before));
        EXPECT_EQ(ToHex(before), "01 02");
    }
    tracker_->SetNoise({});
    Bytes before;
    EXPECT_EQ(Ask(kReadAll, &before), ReadAllReply(tracker_->Memory()));
    EXPECT_TRUE(before.empty());

    EXPECT_THROW(tracker_->SetNoise(Hex("00 AB")), std::invalid_argument);
    EXPECT_THROW(tracker_->NoiseBeforeNextReply(Hex("AB")), std::invalid_argument);
    Options o = Quiet();
    o.noise = Hex("AB 01");
    EXPECT_THROW(VirtualTracker{o}, std::invalid_argument);
}

// Timing: only lower bounds, which a slow machine cannot break.
TEST_F(TrackerTest, SplitReplyArrivesInTwoPartsWithTheGapBetween) {
    Start();
    tracker_->SplitNextReply(600ms);
    line_->Write(kReadAll);
    const Bytes first = line_->Read(1);
    const Clock::time_point first_at = Clock::now();
    const Bytes rest = line_->Read(262);
    const auto gap = Clock::now() - first_at;
    ASSERT_EQ(first.size() + rest.size(), 263u);
    Bytes whole = first;
    whole.insert(whole.end(), rest.begin(), rest.end());
    EXPECT_EQ(whole, ReadAllReply(tracker_->Factory()));
    EXPECT_GE(gap, 300ms);
}

TEST_F(TrackerTest, ReplyDelayAndRealPaceMakeRepliesLate) {
    Start();
    const Bytes clean = ReadAllReply(tracker_->Factory());
    tracker_->SetReplyDelay(400ms);
    Clock::time_point asked = Clock::now();
    EXPECT_EQ(Ask(kReadAll), clean);
    EXPECT_GE(Clock::now() - asked, 350ms);

    tracker_->SetReplyDelay(0ms);
    tracker_->SetRealPace(true);  // 263 bytes at 9600 bit/s: about 274 ms
    asked = Clock::now();
    EXPECT_EQ(Ask(kReadAll), clean);
    EXPECT_GE(Clock::now() - asked, 220ms);
}

// The host's frames at the real pace: a frame is taken no sooner than its
// bytes take on a 9600 bit/s line, and one written just behind another
// (read apart) waits for that one's bytes too. Lower bounds only.
TEST_F(TrackerTest, RealPaceTakesTheHostsFramesAtTheirWireTime) {
    Options o = Quiet();
    o.real_pace = true;
    Start(o);
    const Bytes write = WriteRequest(16, Bytes(136, '7'));  // 145 bytes, 151 ms
    const struct {
        const char* name;
        std::vector<Bytes> frames;  // written 5 ms apart
        Event last;                 // the entry of the last frame taken
    } cases[] = {
        {"read", {kReadAll}, Event::kRead},
        {"write", {write}, Event::kWrite},
        {"read behind a write", {write, kReadAll}, Event::kRead},
    };
    for (const auto& c : cases) {
        std::size_t bytes = 0;
        const std::size_t from = tracker_->LogSize();
        const Clock::time_point written = Clock::now();
        for (const Bytes& frame : c.frames) {
            if (bytes > 0) {
                std::this_thread::sleep_for(5ms);
            }
            line_->Write(frame);
            bytes += frame.size();
        }
        const std::optional<LogEntry> taken = tracker_->WaitFor(Is(c.last), kPatience, 1, from);
        ASSERT_TRUE(taken) << c.name;
        const auto at = tracker_->StartTime() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(taken->time));
        EXPECT_GE(at - written, std::chrono::microseconds(1040) * static_cast<long>(bytes))
            << c.name;
        line_->ReadFor(400ms);  // the paced replies
    }
}

TEST_F(TrackerTest, ReplugPutsTheNextTrackerOnTheLine) {
    Options o = Quiet();
    o.tracker_id = "98";
    Start(o);
    EXPECT_EQ(Ask(WriteRequest(2, Hex("31 32 33 34"))), kAck);
    const Bytes unfinished = Slice(kReadAll, 0, 5);
    line_->Write(unfinished);
    std::this_thread::sleep_for(100ms);  // time to read it: held as an unfinished frame
    tracker_->NackNextWrite();           // armed for the old tracker, it stays

    ASSERT_TRUE(tracker_->Replug());
    EXPECT_EQ(tracker_->TrackerId(), "99");
    EXPECT_EQ(tracker_->Factory(), FactoryMemory("99"));
    EXPECT_EQ(tracker_->Memory(), tracker_->Factory());
    EXPECT_TRUE(tracker_->Announcing());
    EXPECT_EQ(line_->ReadFrame(), kAnnouncement);
    const std::optional<LogEntry> replug = tracker_->WaitFor(Is(Event::kReplug), kPatience);
    ASSERT_TRUE(replug);
    EXPECT_EQ(replug->note, "replug 99, 5 bytes from the host dropped");
    EXPECT_EQ(replug->bytes, unfinished);

    // A fresh frame is taken whole: the old bytes do not run into it.
    EXPECT_EQ(Ask(kReadAll), ReadAllReply(FactoryMemory("99")));
    EXPECT_EQ(tracker_->Count(Is(Event::kBadCrc)), 0u);
    EXPECT_EQ(Ask(WriteRequest(2, Hex("35"))), EncodeFrame(Hex("94 00")));  // the nack
    EXPECT_EQ(Ask(kDefault), kAck);
    EXPECT_EQ(tracker_->Memory(), FactoryMemory("99"));  // the current tracker's factory

    // 99 is the last id of two digits: refused, nothing changes.
    tracker_->WriteMemory(2, Hex("39"));
    const std::size_t log_size = tracker_->LogSize();
    EXPECT_FALSE(tracker_->Replug());
    EXPECT_EQ(tracker_->TrackerId(), "99");
    EXPECT_EQ(ToHex(tracker_->ReadMemory(2, 1)), "39");
    EXPECT_EQ(tracker_->Count(Is(Event::kReplug), log_size), 0u);
}

TEST_F(TrackerTest, HangUpClosesTheLineUnderTheTool) {
    Start();
    tracker_->HangUp();
    EXPECT_TRUE(tracker_->HungUp());
    pollfd p{line_->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    std::uint8_t b;
    const ssize_t n = read(line_->fd(), &b, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
    EXPECT_TRUE(tracker_->WaitFor(Is(Event::kHangUp), kPatience));
    // The tool lets go and retries the name, as a line does: while the tracker
    // lives the name stays its own, never a pty another program opened since.
    line_.reset();
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_NE(ttyname(slave), tracker_->SlavePath());
    close(slave);
    close(master);
    EXPECT_LT(open(tracker_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), 0);

    tracker_->HangUp();  // again: nothing left to close
    tracker_->Inject(Hex("01"));
    EXPECT_TRUE(tracker_->WaitFor(Is(Event::kLineError), kPatience));
}

TEST_F(TrackerTest, InjectPutsRawBytesOnTheLine) {
    Start();
    tracker_->Inject(Hex("01 AB 02 AB AB"));
    EXPECT_EQ(ToHex(line_->Read(5)), "01 AB 02 AB AB");
    EXPECT_TRUE(tracker_->WaitFor(Is(Event::kInjected), kPatience));
}

TEST_F(TrackerTest, LogLinesAndWaitsForTheNthEntry) {
    std::ostringstream text;
    Options o;
    o.announce_interval = 20ms;
    o.log_stream = &text;
    Start(o);
    const std::optional<LogEntry> third = tracker_->WaitFor(Is(Event::kAnnounce), kPatience, 3);
    ASSERT_TRUE(third);
    EXPECT_GE(third->index, 2u);
    EXPECT_GE(third->time, 0.03);  // three announcements are two intervals apart at least
    EXPECT_FALSE(tracker_->WaitFor(Is(Event::kDefault), 50ms));
    tracker_->Stop();
    tracker_->Stop();  // idempotent

    std::istringstream lines(text.str());
    std::size_t count = 0;
    const std::regex form(
        R"(\d+\.\d{6} tx AB AB 00 02 AA 99 64 44 announce \(last byte \d+\.\d{6}\))");
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(std::regex_match(line, form)) << line;
    }
    EXPECT_EQ(count, tracker_->LogSize());
}

// The API is called while the worker answers: clean under ThreadSanitizer.
TEST_F(TrackerTest, ApiCallsWhileTheLineIsBusy) {
    Start();
    std::thread poker([this] {
        for (int i = 0; i < 200; ++i) {
            tracker_->WriteMemory(300, {static_cast<std::uint8_t>(i)});
            tracker_->SetNoise({});
            tracker_->SetReplyDelay(0ms);
            [[maybe_unused]] const std::size_t size =
                tracker_->Log().size() + tracker_->Memory().size();
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Ask(WriteRequest(2, {static_cast<std::uint8_t>('0' + i % 10)})), kAck);
    }
    poker.join();
    EXPECT_EQ(tracker_->Count(Is(Event::kAck)), 20u);
}

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/tracker-sim-test-XXXXXX";
        if (mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir() {
        std::error_code e;
        fs::remove_all(path_, e);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

TEST(TrackerLink, ReplacesAnOldLinkLeadsToTheTrackerAndIsRemovedAfterwards) {
    TempDir dir;
    const fs::path link = dir.path() / "com7";
    fs::create_symlink("/nonexistent/old", link);
    {
        Options o = Quiet();
        o.link_port = 7;
        o.link_dir = dir.path().string();
        VirtualTracker tracker(o);
        EXPECT_EQ(tracker.LinkPath(), link.string());
        EXPECT_EQ(fs::read_symlink(link).string(), tracker.SlavePath());
        SlaveLine line(link.string());
        ASSERT_TRUE(line.IsOpen());
        line.Write(kReadAll);
        EXPECT_EQ(line.ReadFrame(), ReadAllReply(tracker.Factory()));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(TrackerLink, MakesMissingFoldersAndNeverReplacesAFile) {
    TempDir dir;
    Options o = Quiet();
    o.link_port = 32;
    o.link_dir = (dir.path() / "a" / "b").string();
    {
        VirtualTracker tracker(o);
        EXPECT_TRUE(fs::is_symlink(dir.path() / "a" / "b" / "com32"));
    }
    { std::ofstream(dir.path() / "a" / "b" / "com32") << "keep me"; }
    EXPECT_THROW(VirtualTracker{o}, std::system_error);
    std::ifstream kept(dir.path() / "a" / "b" / "com32");
    std::string content;
    std::getline(kept, content);
    EXPECT_EQ(content, "keep me");

    for (int bad : {-1, 33}) {
        o.link_port = bad;
        EXPECT_THROW(VirtualTracker{o}, std::invalid_argument) << bad;
    }
}

TEST(TrackerLink, DefaultPortFolderFollowsTheEnvironment) {
    const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> saved_xdg =
        old_xdg ? std::optional<std::string>(old_xdg) : std::nullopt;
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";

    setenv("XDG_CONFIG_HOME", "/srv/conf", 1);
    EXPECT_EQ(DefaultPortFolder(), "/srv/conf/Kestrowind/QX17EEP/ports");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(DefaultPortFolder(), "/home/tester/.config/Kestrowind/QX17EEP/ports");
    setenv("XDG_CONFIG_HOME", "", 1);  // empty counts as unset
    EXPECT_EQ(DefaultPortFolder(), "/home/tester/.config/Kestrowind/QX17EEP/ports");
    unsetenv("HOME");
    EXPECT_EQ(DefaultPortFolder(), "");
    Options o = Quiet();
    o.link_port = 1;
    EXPECT_THROW(VirtualTracker{o}, std::invalid_argument);  // no folder to put the link in

    if (saved_xdg) {
        setenv("XDG_CONFIG_HOME", saved_xdg->c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    setenv("HOME", home.c_str(), 1);
}

TEST(TrackerOptions, TrackerIdGoesIntoTheMemoryAndBadOptionsAreRefused) {
    Options o = Quiet();
    o.tracker_id = "123";
    VirtualTracker tracker(o);
    EXPECT_EQ(ToHex(tracker.ReadMemory(107, 7)), "12 3F FF FF FF FF FF");

    o.tracker_id = "12x";
    EXPECT_THROW(VirtualTracker{o}, std::invalid_argument);
    o = Quiet();
    o.announce_interval = 0ms;
    EXPECT_THROW(VirtualTracker{o}, std::invalid_argument);
}

}  // namespace
}  // namespace qx17::sim
