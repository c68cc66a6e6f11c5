// The serial component on real pseudo-terminals, through the kernel's tty
// layer: names, exclusive opening, the line settings as the tty sees them,
// chunking by the read interval, writing, closing and hang-ups.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "serial/port_names_posix.h"
#include "serial/tcomm.h"
#include "tests/support/comm_events.h"
#include "tests/support/pty_pair.h"

namespace qx17 {
namespace {

using test::Bytes;
using test::CommEvents;
using test::Pattern;
using test::PtyPair;
using test::PumpUntil;
using testing::ElementsAre;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string OpenError(TComm& comm) {
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return "";
}

// A private configuration folder, so the port links of the test never meet
// the user's.
class ConfigHome {
  public:
    ConfigHome() {
        char pattern[] = "/tmp/qx17-config-XXXXXX";
        path_ = ::mkdtemp(pattern);
        ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
    }
    ~ConfigHome() {
        ::unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(path_);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

TEST(PortNames, ResolveLikeDosDevices) {
    const fs::path folder = "/nonexistent-port-folder";
    const struct {
        const char* name;
        const char* path;  // nullptr: names no port
    } cases[] = {
        {"COM1", "/dev/ttyS0"},   {"com2", "/dev/ttyS1"},
        {"CoM32", "/dev/ttyS31"}, {"COM33", nullptr},
        {"COM0", nullptr},        {"COM01", nullptr},
        {"COM", nullptr},         {"", nullptr},
        {"COM1x", nullptr},       {"ttyS0", nullptr},
        {"\\\\.\\COM1", nullptr}, {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/tmp/x y", "/tmp/x y"},
    };
    for (const auto& c : cases) {
        const auto path = ResolvePortPath(c.name, folder);
        if (c.path == nullptr) {
            EXPECT_FALSE(path.has_value()) << c.name;
        } else {
            EXPECT_EQ(path.value_or("<none>"), c.path) << c.name;
        }
    }
}

TEST(PortNames, DefaultFolderFollowsTheEnvironment) {
    ConfigHome home;
    EXPECT_EQ(DefaultPortFolder(), home.path() / "Kestrowind/QX17EEP/ports");
    ::setenv("XDG_CONFIG_HOME", "", 1);
    const char* user_home = std::getenv("HOME");
    ASSERT_NE(user_home, nullptr);
    EXPECT_EQ(DefaultPortFolder(), fs::path(user_home) / ".config/Kestrowind/QX17EEP/ports");
}

class PtyComm : public testing::Test {
  protected:
    PtyComm() {
        ApplyComm1FormValues(comm);
        comm.SetCommName(pty.SlavePath());
        events.Attach(comm);
    }
    void Open() {
        comm.OpenPort();
        ASSERT_TRUE(PumpUntil(comm, [&] { return events.send_empty == 1; }));
    }
    void Send(const Bytes& bytes) {
        ASSERT_TRUE(comm.SendData(bytes.data(), static_cast<std::uint16_t>(bytes.size())));
    }
    termios SlaveTermios() {
        termios tio{};
        EXPECT_EQ(::tcgetattr(pty.Master(), &tio), 0);
        return tio;
    }

    ConfigHome home;
    PtyPair pty;
    TComm comm{nullptr};
    CommEvents events;
};

TEST_F(PtyComm, ComNameOpensThroughTheLinkInThePortFolder) {
    const fs::path folder = home.path() / "Kestrowind/QX17EEP/ports";
    fs::create_directories(folder);
    fs::create_symlink(pty.SlavePath(), folder / "com7");
    comm.SetCommName("COM7");
    Open();
    Send({0x11, 0x22});
    EXPECT_EQ(pty.Read(2, 5s), (Bytes{0x11, 0x22}));
}

TEST_F(PtyComm, BadNamesRaiseAndALaterGoodNameOpens) {
    const fs::path file = home.path() / "plain-file";
    std::ofstream(file) << "not a port";
    const fs::path folder = home.path() / "Kestrowind/QX17EEP/ports";
    fs::create_directories(folder);
    fs::create_symlink("/nonexistent-device", folder / "com3");
    const struct {
        std::string name;
        const char* message;
    } cases[] = {
        {"", "Error opening serial port"},
        {"COM99", "Error opening serial port"},
        {"COM3", "Error opening serial port"},  // a dangling link
        {"/nonexistent-device", "Error opening serial port"},
        {home.path().string(), "Error opening serial port"},  // a directory
        {file.string(), "File handle is not a comm handle "},
        {"/dev/null", "File handle is not a comm handle "},  // a device, but no tty
    };
    for (const auto& c : cases) {
        comm.SetCommName(c.name);
        EXPECT_EQ(OpenError(comm), c.message) << c.name;
        EXPECT_FALSE(comm.IsOpen()) << c.name;
    }
    comm.SetCommName(pty.SlavePath());
    Open();
    EXPECT_TRUE(comm.IsOpen());
}

TEST_F(PtyComm, NoDescriptorIsLeftBehindByAFailedOpen) {
    const fs::path file = home.path() / "plain-file";
    std::ofstream(file) << "x";
    const auto count_fds = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto before = count_fds();
    for (int i = 0; i < 20; ++i) {
        comm.SetCommName(file.string());
        EXPECT_EQ(OpenError(comm), "File handle is not a comm handle ");
        comm.SetCommName("/nonexistent-device");
        EXPECT_EQ(OpenError(comm), "Error opening serial port");
    }
    EXPECT_EQ(count_fds(), before);
}

TEST_F(PtyComm, APortHeldByAnotherInstanceIsRefused) {
    Open();
    TComm second(nullptr);
    second.SetCommName(pty.SlavePath());
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    comm.ClosePort();
    second.OpenPort();
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(PtyComm, TheTtyCarriesTheFormLineSettings) {
    Open();
    termios tio = SlaveTermios();
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    EXPECT_EQ(::cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);

    // A pseudo-terminal always keeps 8 data bits and no parity, so those two
    // are checked against the fake platform; the rest reaches the tty.
    comm.SetBaudRate(19200);
    comm.SetStopBits(TStopBits::_2);
    comm.SetOutx_XonXoffFlow(true);
    comm.SetParityCheck(true);
    tio = SlaveTermios();
    EXPECT_EQ(::cfgetospeed(&tio), B19200);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_iflag & IXON, 0u);
    EXPECT_NE(tio.c_iflag & INPCK, 0u);

    comm.SetBaudRate(12345);  // no tty speed: refused quietly, the port works on
    tio = SlaveTermios();
    EXPECT_EQ(::cfgetospeed(&tio), B19200);
    Send({0x01});
    EXPECT_EQ(pty.Read(1, 5s), (Bytes{0x01}));
}

TEST_F(PtyComm, ReceivedChunksFollowTheReadInterval) {
    Open();
    const Bytes burst = Pattern(3000);
    pty.Write(burst);
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.TotalBytes() == burst.size(); }));
    EXPECT_GE(events.chunks.size(), 2u);
    for (const auto& chunk : events.chunks) {
        EXPECT_LE(chunk.size(), 2048u);
    }
    EXPECT_EQ(events.AllBytes(), burst);
    for (bool terminated : events.chunk_zero_terminated) {
        EXPECT_TRUE(terminated);
    }

    // A 150 ms pause in the middle of a message splits it in two.
    events.chunks.clear();
    pty.Write({0xAB, 0xAB, 0x00});
    std::this_thread::sleep_for(150ms);
    pty.Write({0x02, 0xAA, 0x99});
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.TotalBytes() == 6; }));
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{0xAB, 0xAB, 0x00}, Bytes{0x02, 0xAA, 0x99}));
}

TEST_F(PtyComm, BytesWithinTheIntervalMakeOneChunk) {
    Open();
    for (std::uint8_t b = 1; b <= 5; ++b) {
        pty.Write({b});
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.TotalBytes() == 5; }));
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{1, 2, 3, 4, 5}));
}

TEST_F(PtyComm, BlocksAreWrittenInOrderThenOneEmptyNotice) {
    Open();
    const Bytes a = Pattern(5000, 1), b = Pattern(10, 2), c = Pattern(300, 3);
    Send(a);
    Send(b);
    Send(c);
    const Bytes got = pty.Read(a.size() + b.size() + c.size(), 5s);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(PumpUntil(comm, [&] { return events.send_empty >= 2; }));
    test::PumpFor(comm, 50ms);
    EXPECT_LE(events.send_empty, 4) << "one notice each time the queue ran empty";
    EXPECT_EQ(events.hangups, 0);
}

TEST_F(PtyComm, ClosePortWithNothingPendingIsQuiet) {
    Open();
    comm.ClosePort();
    test::PumpFor(comm, 50ms);
    EXPECT_EQ(events.hangups, 0);
    EXPECT_FALSE(comm.IsOpen());
    comm.ClosePort();
    EXPECT_EQ(events.hangups, 0);
}

TEST_F(PtyComm, AChunkPostedBeforeClosePortIsDeliveredAfterIt) {
    Open();
    pty.Write({0x95, 0x01});
    ASSERT_TRUE(comm.Notices().WaitNonEmpty(5s));
    comm.ClosePort();
    EXPECT_TRUE(events.chunks.empty());
    comm.DispatchNotices();
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{0x95, 0x01}));
}

// Notices of a closed port wait for the main thread, but they never reach the
// port's next opening as if the new device had sent them.
TEST_F(PtyComm, NoticesOfAnEarlierOpeningNeverReachTheNextOne) {
    Open();
    pty.Write({0x95, 0x01});
    ASSERT_TRUE(comm.Notices().WaitNonEmpty(5s));
    pty.CloseMaster();  // and a hang-up behind the chunk
    for (int i = 0; i < 500 && comm.Notices().Size() < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(comm.Notices().Size(), 2u);
    comm.ClosePort();

    PtyPair other;
    comm.SetCommName(other.SlavePath());
    comm.OpenPort();
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.send_empty == 2; }));
    other.Write({0x42});
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.TotalBytes() != 0; }));
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{0x42}));
    EXPECT_EQ(events.hangups, 0);
}

// The master side reads nothing, so the tty's buffers fill and the writer is
// left waiting in the middle of a block when the port closes.
TEST_F(PtyComm, ClosePortDuringALargeWriteDropsTheRest) {
    Open();
    const Bytes big = Pattern(60000);
    for (int i = 0; i < 4; ++i) {
        Send(big);
    }
    std::this_thread::sleep_for(100ms);
    comm.ClosePort();
    const std::size_t through = pty.ReadUntilQuiet(200ms).size();
    EXPECT_LT(through, 4 * big.size());
    test::PumpFor(comm, 50ms);
    EXPECT_EQ(events.hangups, 0);
    EXPECT_EQ(events.send_empty, 1) << "only the one right after opening";
}

TEST_F(PtyComm, AVanishingDeviceEndsTheReaderWithAHangup) {
    Open();
    pty.Write({0x01, 0x02});
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.TotalBytes() == 2; }));
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.hangups >= 1; }));
    test::PumpFor(comm, 300ms);
    EXPECT_EQ(events.hangups, 1) << "the reader gives up once, it does not spin";
    const std::uint8_t byte = 3;
    comm.SendData(&byte, 1);  // the writer meets the hang-up too
    test::PumpFor(comm, 200ms);
    EXPECT_LE(events.hangups, 2);
    comm.ClosePort();
    EXPECT_FALSE(comm.IsOpen());
}

TEST_F(PtyComm, DestructorReleasesThePort) {
    {
        TComm first(nullptr);
        first.SetCommName(pty.SlavePath());
        first.OpenPort();
    }
    Open();  // the exclusive lock went with the first component
    EXPECT_TRUE(comm.IsOpen());
}

}  // namespace
}  // namespace qx17
