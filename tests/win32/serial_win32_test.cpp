// The Win32 serial backend under Wine: the component on a real Wine COM port,
// with pty-peer playing the device on the Linux side of a pseudo-terminal
// (scripts/with_com_peer.sh links it as COMn and sets QX17_TEST_COM=COMn).
// Each group of tests needs the peer in one mode:
//   Win32Port*, Win32Echo*  the peer echoes every byte
//   Win32Line*              the peer answers with the tty's line settings
//   Win32Held*              the peer reads nothing until the speed is 19200
// Win32Platform* needs no port at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "serial/tcomm.h"
#include "tests/support/comm_events.h"

// Last: it brings in <windows.h>, whose macros would clash with the names of
// the project's headers above.
#include "serial/serial_port_win32.h"

namespace qx17 {
namespace {

using test::CommEvents;
using test::PumpFor;
using test::PumpUntil;
using testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// The line of the window's component: 9600 8N1, DTR and RTS on, no flow
// control; the flag word the component writes for it.
constexpr std::uint32_t kFormFlags = 0x1091;

Bytes Pattern(std::size_t count, std::uint8_t seed = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) % 251);
    }
    return bytes;
}

Bytes Concat(std::initializer_list<const Bytes*> parts) {
    Bytes all;
    for (const Bytes* part : parts) {
        all.insert(all.end(), part->begin(), part->end());
    }
    return all;
}

std::string OpenError(TComm& comm) {
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return "";
}

std::string TestPort() {
    const char* name = std::getenv("QX17_TEST_COM");
    return name != nullptr ? name : "";
}

// ---------------------------------------------------------------------------
// The backend's own pieces, without a port.

TEST(Win32PlatformDcb, EveryFlagBitLandsInItsOwnField) {
    // In the order of one_bit_fields below.
    const struct {
        std::uint32_t flag;
        const char* name;
    } cases[] = {
        {kDcbBinary, "fBinary"},
        {kDcbParity, "fParity"},
        {kDcbOutxCtsFlow, "fOutxCtsFlow"},
        {kDcbOutxDsrFlow, "fOutxDsrFlow"},
        {kDcbDsrSensitivity, "fDsrSensitivity"},
        {kDcbTxContinueOnXoff, "fTXContinueOnXoff"},
        {kDcbOutX, "fOutX"},
        {kDcbInX, "fInX"},
        {kDcbErrorChar, "fErrorChar"},
        {kDcbNull, "fNull"},
        {kDcbAbortOnError, "fAbortOnError"},
    };
    const auto one_bit_fields = [](const DCB& d) {
        return std::vector<unsigned>{
            d.fBinary,           d.fParity, d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDsrSensitivity,
            d.fTXContinueOnXoff, d.fOutX,   d.fInX,         d.fErrorChar,   d.fNull,
            d.fAbortOnError};
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ControlBlock block;
        block.Flags = cases[i].flag;
        const DCB dcb = win32::ToDcb(block);
        std::vector<unsigned> expected(std::size(cases), 0);
        expected[i] = 1;
        EXPECT_EQ(one_bit_fields(dcb), expected) << cases[i].name;
        EXPECT_EQ(dcb.fDtrControl, 0u) << cases[i].name;
        EXPECT_EQ(dcb.fRtsControl, 0u) << cases[i].name;
        EXPECT_EQ(win32::FromDcb(dcb).Flags, cases[i].flag) << cases[i].name << " back";
    }
    for (std::uint32_t mode = 0; mode < 4; ++mode) {
        ControlBlock block;
        block.Flags = (mode << 4) | ((3 - mode) << 12);
        const DCB dcb = win32::ToDcb(block);
        EXPECT_EQ(dcb.fDtrControl, mode);
        EXPECT_EQ(dcb.fRtsControl, 3 - mode);
        EXPECT_EQ(dcb.fBinary, 0u);
        EXPECT_EQ(win32::FromDcb(dcb).Flags, block.Flags);
    }
}

TEST(Win32PlatformDcb, TheFormLineTranslatesWhole) {
    ControlBlock block;
    block.DCBlength = sizeof(DCB);
    block.EofChar = 26;
    block.EvtChar = 7;
    LineSettings line;
    line.Outx_XonXoffFlow = false;
    line.Inx_XonXoffFlow = false;
    line.XonLimit = 100;
    line.XoffLimit = 200;
    line.ReplacedChar = '?';
    WriteLineSettings(line, block);
    ASSERT_EQ(block.Flags, kFormFlags);

    const DCB dcb = win32::ToDcb(block);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<unsigned>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<unsigned>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fOutX + dcb.fInX + dcb.fParity + dcb.fOutxCtsFlow + dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 200);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.EofChar, 26);
    EXPECT_EQ(dcb.EvtChar, 7);
    EXPECT_EQ(win32::FromDcb(dcb), block);
}

TEST(Win32PlatformEvent, ManualResetAndTheLowestSetIndexWins) {
    auto a = WaitableEvent::Create();
    auto b = WaitableEvent::Create(true);
    auto c = WaitableEvent::Create();
    ASSERT_TRUE(a && b && c);
    EXPECT_FALSE(a->IsSet());
    EXPECT_TRUE(b->IsSet());
    EXPECT_EQ(WaitableEvent::WaitAny({a.get(), b.get(), c.get()}), 1);
    EXPECT_TRUE(b->IsSet()) << "a wait does not reset it";
    c->Set();
    EXPECT_EQ(WaitableEvent::WaitAny({a.get(), c.get(), b.get()}), 1);
    b->Reset();
    c->Reset();
    EXPECT_FALSE(b->IsSet());

    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        c->Set();
    });
    EXPECT_EQ(WaitableEvent::WaitAny({a.get(), b.get(), c.get()}), 2) << "sleeps until set";
    setter.join();
}

TEST(Win32PlatformThread, PriorityReachesTheSystem) {
    int seen = -100;
    std::thread worker([&] {
        SetCurrentThreadPriority(THREAD_PRIORITY_HIGHEST);
        seen = ::GetThreadPriority(::GetCurrentThread());
    });
    worker.join();
    EXPECT_EQ(seen, THREAD_PRIORITY_HIGHEST);
}

// ---------------------------------------------------------------------------
// On a Wine COM port.

// The native platform, remembering the port it opened last, so that a test can
// ask the open port what it reports (GetCommState on TComm's own handle: no
// second handle can be had while TComm holds the port).
class WatchedNativePlatform : public SerialPlatform {
  public:
    OpenResult Open(const std::string& comm_name) override {
        OpenResult result = NativeSerialPlatform().Open(comm_name);
        last_port = result.port.get();
        return result;
    }
    SerialPort* last_port = nullptr;
};

class WinePort : public testing::Test {
  protected:
    void SetUp() override {
        port_name = TestPort();
        if (port_name.empty()) {
            GTEST_SKIP() << "QX17_TEST_COM is not set: run through scripts/with_com_peer.sh";
        }
        ApplyComm1FormValues(comm);
        comm.SetCommName(port_name);
        events.Attach(comm);
    }
    void Open() {
        comm.OpenPort();
        ASSERT_TRUE(PumpUntil(
            comm, [&] { return events.send_empty >= 1; }, 10s));
    }
    void Send(const Bytes& bytes) {
        ASSERT_TRUE(comm.SendData(bytes.data(), static_cast<std::uint16_t>(bytes.size())));
    }
    bool ReceiveTotal(std::size_t total, std::chrono::milliseconds limit = 10s) {
        return PumpUntil(
            comm, [&] { return events.TotalBytes() >= total; }, limit);
    }
    void ExpectChunksWellFormed() {
        for (std::size_t i = 0; i < events.chunks.size(); ++i) {
            EXPECT_GE(events.chunks[i].size(), 1u) << "chunk " << i;
            EXPECT_LE(events.chunks[i].size(), 2048u) << "chunk " << i;
            EXPECT_TRUE(events.chunk_zero_terminated[i]) << "chunk " << i;
        }
    }

    std::string port_name;
    WatchedNativePlatform platform;
    TComm comm{nullptr, platform};
    CommEvents events;
};

// --- Opening (echo peer) ---------------------------------------------------

using Win32PortOpen = WinePort;

TEST_F(Win32PortOpen, OpenPortTwiceRaisesAndKeepsThePort) {
    Open();
    EXPECT_EQ(OpenError(comm), "This serial port already opened");
    EXPECT_TRUE(comm.IsOpen());
    Send({0x42});
    ASSERT_TRUE(ReceiveTotal(1));
    EXPECT_EQ(events.AllBytes(), Bytes{0x42});
}

TEST_F(Win32PortOpen, ASecondComponentIsRefusedUntilTheFirstCloses) {
    Open();
    TComm second(nullptr);
    ApplyComm1FormValues(second);
    second.SetCommName(port_name);
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    EXPECT_FALSE(second.IsOpen());

    // The refused attempt left the first component's port working.
    Send({0x10, 0x20});
    ASSERT_TRUE(ReceiveTotal(2));
    EXPECT_EQ(events.AllBytes(), (Bytes{0x10, 0x20}));

    comm.ClosePort();
    second.OpenPort();
    EXPECT_TRUE(second.IsOpen());
    EXPECT_EQ(OpenError(comm), "Error opening serial port");
    second.ClosePort();
    {
        TComm third(nullptr);
        third.SetCommName(port_name);
        third.OpenPort();
    }  // the destructor releases the port
    Open();
    EXPECT_TRUE(comm.IsOpen());
}

TEST_F(Win32PortOpen, NamesWithoutAPortRaiseTheirMessages) {
    // A named pipe opens, but as a pipe; the drive C: opens as a volume (Wine
    // reports FILE_TYPE_UNKNOWN for it); NUL is a character device that takes
    // no comm settings.
    HANDLE pipe = ::CreateNamedPipeA("\\\\.\\pipe\\qx17-serial-test", PIPE_ACCESS_DUPLEX, 0, 1, 512,
                                     512, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"COM30", "Error opening serial port"},  // no device linked behind it
        {"COM5X", "Error opening serial port"},
        {"pipe\\qx17-serial-test", "File handle is not a comm handle "},
        {"C:", "File handle is not a comm handle "},
        {"NUL", "Cannot setup comm buffer"},
    };
    for (const auto& c : cases) {
        comm.SetCommName(c.name);
        EXPECT_EQ(OpenError(comm), c.message) << c.name;
        EXPECT_FALSE(comm.IsOpen()) << c.name;
    }
    ::CloseHandle(pipe);

    comm.SetCommName(port_name);
    Open();
    EXPECT_TRUE(comm.IsOpen());
}

// --- Data both ways (echo peer) ----------------------------------------------

using Win32Echo = WinePort;

TEST_F(Win32Echo, BlocksGoOutInOrderAndTheQueueReportsEmpty) {
    Open();
    PumpFor(comm, 200ms);
    EXPECT_EQ(events.send_empty, 1) << "once after opening";

    const Bytes a = Pattern(700, 1), b = Pattern(10, 2), c = Pattern(300, 3);
    Send(a);
    Send(b);
    Send(c);
    ASSERT_TRUE(ReceiveTotal(a.size() + b.size() + c.size()));
    EXPECT_EQ(events.AllBytes(), Concat({&a, &b, &c}));
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.send_empty >= 2; }));
    PumpFor(comm, 100ms);
    // Once more when the queue ran empty; at most once per block, as the
    // writer may empty the queue between two SendData calls.
    EXPECT_LE(events.send_empty, 4);
    EXPECT_EQ(events.hangups, 0);
    ExpectChunksWellFormed();
}

TEST_F(Win32Echo, ALargeBlockArrivesWholeInChunksOfAtMost2048) {
    Open();
    const Bytes block = Pattern(5000, 9);
    Send(block);
    ASSERT_TRUE(ReceiveTotal(block.size()));
    EXPECT_EQ(events.AllBytes(), block);
    EXPECT_GE(events.chunks.size(), 3u);
    ExpectChunksWellFormed();

    // The same again at once: the read pending since is not disturbed.
    events.chunks.clear();
    events.chunk_zero_terminated.clear();
    Send(block);
    ASSERT_TRUE(ReceiveTotal(block.size()));
    EXPECT_EQ(events.AllBytes(), block);
}

TEST_F(Win32Echo, ABurstIsSplitAtTheReadSize) {
    Open();
    const Bytes burst = Pattern(3000, 4);
    Send(burst);
    ASSERT_TRUE(ReceiveTotal(burst.size()));
    EXPECT_GE(events.chunks.size(), 2u);
    EXPECT_EQ(events.AllBytes(), burst);
    ExpectChunksWellFormed();
}

TEST_F(Win32Echo, APauseLongerThanTheReadIntervalSplitsAMessage) {
    Open();
    Send({0xAB, 0xAB, 0x00});
    std::this_thread::sleep_for(150ms);
    Send({0x02, 0xAA, 0x99});
    ASSERT_TRUE(ReceiveTotal(6));
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{0xAB, 0xAB, 0x00}, Bytes{0x02, 0xAA, 0x99}));
    ExpectChunksWellFormed();
}

TEST_F(Win32Echo, BytesWithinTheReadIntervalMakeOneChunk) {
    Open();
    for (std::uint8_t b = 1; b <= 4; ++b) {
        Send({b});
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(ReceiveTotal(4));
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{1, 2, 3, 4}));
}

TEST_F(Win32Echo, ClosePortWithNothingPendingIsQuiet) {
    Open();
    comm.ClosePort();
    PumpFor(comm, 100ms);
    EXPECT_EQ(events.hangups, 0);
    EXPECT_FALSE(comm.IsOpen());
    comm.ClosePort();
    EXPECT_EQ(events.hangups, 0);

    Open();  // and the port opens again
    Send({0x77});
    ASSERT_TRUE(ReceiveTotal(1));
    EXPECT_EQ(events.hangups, 0);
}

TEST_F(Win32Echo, AChunkPostedBeforeClosePortIsDeliveredAfterIt) {
    Open();
    Send({0x95, 0x01});
    ASSERT_TRUE(comm.Notices().WaitNonEmpty(10s));
    // The writer's empty notice may come first; wait for the chunk itself.
    for (int i = 0; i < 1000 && comm.Notices().Size() < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    comm.ClosePort();
    EXPECT_TRUE(events.chunks.empty());
    comm.DispatchNotices();
    EXPECT_THAT(events.chunks, ElementsAre(Bytes{0x95, 0x01}));
    EXPECT_EQ(events.hangups, 0);
}

// --- The line settings (peer reports the tty's settings) -----------------------

class Win32Line : public WinePort {
  protected:
    // Sends a byte and returns the line the peer answers with.
    std::string AskPeer() {
        events.chunks.clear();
        events.chunk_zero_terminated.clear();
        Send({0x3F});
        std::string text;
        const bool got = PumpUntil(comm, [&] {
            const Bytes all = events.AllBytes();
            text.assign(all.begin(), all.end());
            return !text.empty() && text.back() == '\n';
        });
        EXPECT_TRUE(got) << "no answer from the peer, got '" << text << "'";
        return text;
    }
};

TEST_F(Win32Line, TheTtyCarriesTheFormLineSettings) {
    Open();
    EXPECT_EQ(AskPeer(), "baud=9600 bits=8 parity=none stop=1 rtscts=0 ixon=0 ixoff=0\n");

    comm.SetBaudRate(19200);
    comm.SetStopBits(TStopBits::_2);
    comm.SetOutx_XonXoffFlow(true);
    EXPECT_EQ(AskPeer(), "baud=19200 bits=8 parity=none stop=2 rtscts=0 ixon=1 ixoff=0\n");

    comm.SetOutx_XonXoffFlow(false);
    comm.SetInx_XonXoffFlow(true);
    comm.SetOutx_CtsFlow(true);
    comm.SetBaudRate(115200);
    EXPECT_EQ(AskPeer(), "baud=115200 bits=8 parity=none stop=2 rtscts=1 ixon=0 ixoff=1\n");
}

// What the port itself reports once OpenPort has configured it: GetCommState
// on the component's own handle. Wine builds that DCB from the tty, so only
// what a tty keeps is compared; a pseudo-terminal always has 8 data bits and
// no parity.
TEST_F(Win32Line, TheDcbThePortReportsAfterOpenPort) {
    Open();
    ASSERT_NE(platform.last_port, nullptr);
    ControlBlock block = platform.last_port->GetControlBlock();
    EXPECT_EQ(block.DCBlength, sizeof(DCB));
    EXPECT_EQ(block.BaudRate, 9600u);
    EXPECT_EQ(block.ByteSize, 8);
    EXPECT_EQ(block.Parity, NOPARITY);
    EXPECT_EQ(block.StopBits, ONESTOPBIT);
    EXPECT_NE(block.Flags & kDcbBinary, 0u);
    EXPECT_EQ(block.Flags & (kDcbOutX | kDcbInX | kDcbOutxCtsFlow), 0u);
    EXPECT_EQ(block.XonChar, 17);
    EXPECT_EQ(block.XoffChar, 19);

    comm.SetBaudRate(57600);
    comm.SetStopBits(TStopBits::_2);
    comm.SetInx_XonXoffFlow(true);
    block = platform.last_port->GetControlBlock();
    EXPECT_EQ(block.BaudRate, 57600u);
    EXPECT_EQ(block.StopBits, TWOSTOPBITS);
    EXPECT_NE(block.Flags & kDcbInX, 0u);
    EXPECT_EQ(block.Flags & kDcbOutX, 0u);

    const CommTimeouts timeouts = platform.last_port->GetTimeouts();
    EXPECT_EQ(timeouts, (CommTimeouts{100, 0, 0, 0, 0}));
    comm.SetWriteTotalTimeoutConstant(500);
    EXPECT_EQ(platform.last_port->GetTimeouts(), (CommTimeouts{100, 0, 0, 0, 500}));
}

// --- A writer left waiting (the peer reads nothing unless at 19200 bit/s) ------

class Win32Held : public WinePort {
  protected:
    // Switches the line to 19200, which makes the peer take what the tty held
    // (until the line has been quiet a while) and send "held N\n" with those
    // N bytes, then echo whatever follows. Waits for the header and for
    // `expected_after` bytes after it (at least N); returns N and leaves in
    // `after` everything that came after the header.
    std::size_t Release(std::size_t expected_after, Bytes& after) {
        comm.SetBaudRate(19200);
        std::size_t header_end = 0;
        EXPECT_TRUE(PumpUntil(
            comm,
            [&] {
                const Bytes all = events.AllBytes();
                const auto newline = std::find(all.begin(), all.end(), '\n');
                header_end = static_cast<std::size_t>(newline - all.begin()) + 1;
                return newline != all.end();
            },
            20s))
            << "no header from the peer";
        const Bytes all = events.AllBytes();
        const std::string header(all.begin(),
                                 all.begin() + static_cast<std::ptrdiff_t>(header_end));
        EXPECT_EQ(header.rfind("held ", 0), 0u) << header;
        const std::size_t held = std::strtoul(header.c_str() + 5, nullptr, 10);
        const std::size_t want = header_end + std::max(held, expected_after);
        EXPECT_TRUE(ReceiveTotal(want, 30s)) << "got " << events.TotalBytes() << " of " << want;
        const Bytes now = events.AllBytes();
        after.assign(now.begin() + static_cast<std::ptrdiff_t>(header_end), now.end());
        return held;
    }
};

// Blocks queued while the writer waits in a write the tty cannot take yet all
// go out, in order, once the device reads again: the pending write completes
// through its event, and the line carries on.
TEST_F(Win32Held, AStalledWriteCompletesWhenTheDeviceReadsAgain) {
    Open();
    const Bytes f1 = Pattern(60000, 1), f2 = Pattern(60000, 2);
    const Bytes a = Pattern(100, 3), b = Pattern(5, 4), c = Pattern(2000, 5);
    for (const Bytes* block : {&f1, &f2, &a, &b, &c}) {
        Send(*block);
    }
    PumpFor(comm, 300ms);
    EXPECT_EQ(events.send_empty, 1) << "the writer is left waiting";
    EXPECT_EQ(events.TotalBytes(), 0u);

    const Bytes sent = Concat({&f1, &f2, &a, &b, &c});
    Bytes after;
    const std::size_t held = Release(sent.size(), after);
    EXPECT_GT(held, 0u);
    EXPECT_LE(held, sent.size());
    EXPECT_EQ(after.size(), sent.size());
    EXPECT_TRUE(after == sent) << "everything sent comes back once, in order";
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.send_empty >= 2; }));
    EXPECT_EQ(events.hangups, 0);

    events.chunks.clear();
    events.chunk_zero_terminated.clear();
    Send(a);  // echoed at 19200
    ASSERT_TRUE(ReceiveTotal(a.size()));
    EXPECT_EQ(events.AllBytes(), a);
}

// ClosePort while the writer waits in the middle of a block returns, raises
// nothing, and what was not written by then is dropped: reopened, the port
// brings back only what the tty had taken, the start of what was sent and
// unchanged (the cancelled write's buffer was not freed under it).
TEST_F(Win32Held, ClosePortDuringALargeWriteDropsTheRest) {
    Open();
    const Bytes big = Pattern(60000, 7);
    for (int i = 0; i < 4; ++i) {
        Send(big);
    }
    PumpFor(comm, 300ms);
    comm.ClosePort();
    EXPECT_FALSE(comm.IsOpen());
    PumpFor(comm, 100ms);
    EXPECT_EQ(events.hangups, 0);
    EXPECT_EQ(events.send_empty, 1) << "only the one right after opening";

    Open();  // at 9600 again: the peer holds what reaches it
    Bytes after;
    const std::size_t held = Release(0, after);
    EXPECT_LT(held, 4 * big.size());
    ASSERT_EQ(after.size(), held);
    Bytes sent;
    for (int i = 0; i < 4; ++i) {
        sent.insert(sent.end(), big.begin(), big.end());
    }
    EXPECT_TRUE(std::equal(after.begin(), after.end(), sent.begin()))
        << "what went through is the start of what was sent, unchanged";
    PumpFor(comm, 300ms);
    EXPECT_EQ(events.TotalBytes() - after.size(), std::to_string(held).size() + 6)
        << "nothing of the dropped rest follows";
    EXPECT_EQ(events.hangups, 0);
}

}  // namespace
}  // namespace qx17
