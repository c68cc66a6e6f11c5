// The serial component and its threads against a fake platform: the exact
// platform calls, every way opening can fail, and how the threads turn what
// the port reports into events.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "serial/tcomm.h"
#include "tests/support/comm_events.h"
#include "tests/support/fake_serial_platform.h"

namespace qx17 {
namespace {

using test::CommEvents;
using test::FakeSerialPlatform;
using test::PumpUntil;
using testing::ElementsAre;
using testing::IsEmpty;
using Kind = ReadOutcome::Kind;
using namespace std::chrono_literals;

std::uint32_t FlagsOf(const LineSettings& line) {
    ControlBlock block;
    WriteLineSettings(line, block);
    return block.Flags;
}

LineSettings FormLine() {
    LineSettings line;
    line.Outx_XonXoffFlow = false;
    line.Inx_XonXoffFlow = false;
    return line;
}

TEST(ControlBlock, FlagWordIsRebuiltFromTheProperties) {
    const struct {
        const char* name;
        std::function<void(LineSettings&)> change;
        std::uint32_t flags;
    } cases[] = {
        {"form values", [](LineSettings&) {}, 0x1091},
        {"parity check", [](LineSettings& l) { l.ParityCheck = true; }, 0x1093},
        {"cts flow", [](LineSettings& l) { l.Outx_CtsFlow = true; }, 0x1095},
        {"dsr flow", [](LineSettings& l) { l.Outx_DsrFlow = true; }, 0x1099},
        {"dtr disable", [](LineSettings& l) { l.DtrControl = TDtrControl::DtrDisable; }, 0x1081},
        {"dtr handshake", [](LineSettings& l) { l.DtrControl = TDtrControl::DtrHandshake; },
         0x10A1},
        {"dsr sensitivity", [](LineSettings& l) { l.DsrSensitivity = true; }, 0x10D1},
        {"no tx continue", [](LineSettings& l) { l.TxContinueOnXoff = false; }, 0x1011},
        {"xon/xoff out", [](LineSettings& l) { l.Outx_XonXoffFlow = true; }, 0x1191},
        {"xon/xoff in", [](LineSettings& l) { l.Inx_XonXoffFlow = true; }, 0x1291},
        {"error char", [](LineSettings& l) { l.ReplaceWhenParityError = true; }, 0x1491},
        {"null", [](LineSettings& l) { l.IgnoreNullChar = true; }, 0x1891},
        {"rts disable", [](LineSettings& l) { l.RtsControl = TRtsControl::RtsDisable; }, 0x0091},
        {"rts handshake", [](LineSettings& l) { l.RtsControl = TRtsControl::RtsHandshake; },
         0x2091},
        {"rts toggle",
         [](LineSettings& l) { l.RtsControl = TRtsControl::RtsTransmissionAvailable; }, 0x3091},
    };
    for (const auto& c : cases) {
        LineSettings line = FormLine();
        c.change(line);
        EXPECT_EQ(FlagsOf(line), c.flags) << c.name;
    }
    EXPECT_EQ(FlagsOf(LineSettings{}), 0x1391u) << "constructor defaults";
}

TEST(ControlBlock, MembersFollowTheEnumerationsAndKeepTheDeviceFields) {
    ControlBlock block;
    block.DCBlength = 28;
    block.EofChar = 26;
    block.EvtChar = 7;
    block.Flags = 0xFFFFFFFF;  // fAbortOnError and the reserved bits among them
    LineSettings line = FormLine();
    line.ByteSize = TByteSize::_5;
    line.Parity = TParity::Space;
    line.StopBits = TStopBits::_1_5;
    line.XonLimit = 100;
    line.XoffLimit = 200;
    line.XonChar = 'Q';
    line.XoffChar = 'S';
    line.ReplacedChar = '?';
    line.BaudRate = 115200;
    WriteLineSettings(line, block);

    EXPECT_EQ(block.Flags, 0x1091u);
    EXPECT_EQ(block.Flags & kDcbAbortOnError, 0u);
    EXPECT_EQ(block.ByteSize, 5);
    EXPECT_EQ(block.Parity, 4);
    EXPECT_EQ(block.StopBits, 1);
    EXPECT_EQ(block.BaudRate, 115200u);
    EXPECT_EQ(block.XonLim, 100);
    EXPECT_EQ(block.XoffLim, 200);
    EXPECT_EQ(block.XonChar, 'Q');
    EXPECT_EQ(block.XoffChar, 'S');
    EXPECT_EQ(block.ErrorChar, '?');
    EXPECT_EQ(block.DCBlength, 28u);
    EXPECT_EQ(block.EofChar, 26);
    EXPECT_EQ(block.EvtChar, 7);
    EXPECT_EQ(block.DtrControl(), kDtrControlEnable);
    EXPECT_EQ(block.RtsControl(), kRtsControlEnable);

    line.ByteSize = TByteSize::_8;
    WriteLineSettings(line, block);
    EXPECT_EQ(block.ByteSize, 8);
}

TEST(TComm, ConstructorDefaultsAndFormValues) {
    FakeSerialPlatform platform;
    TComm comm(nullptr, platform);
    EXPECT_EQ(comm.CommName(), "COM2");
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_TRUE(comm.Outx_XonXoffFlow());
    EXPECT_TRUE(comm.Inx_XonXoffFlow());
    EXPECT_TRUE(comm.TxContinueOnXoff());
    EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(comm.XonLimit(), 500);
    EXPECT_EQ(comm.XoffLimit(), 500);
    EXPECT_EQ(comm.ByteSize(), TByteSize::_8);
    EXPECT_EQ(comm.Parity(), TParity::None);
    EXPECT_EQ(comm.StopBits(), TStopBits::_1);
    EXPECT_EQ(comm.XonChar(), 17);
    EXPECT_EQ(comm.XoffChar(), 19);
    EXPECT_EQ(comm.ReplacedChar(), 0);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(comm.ReadTotalTimeoutMultiplier() + comm.ReadTotalTimeoutConstant() +
                  comm.WriteTotalTimeoutMultiplier() + comm.WriteTotalTimeoutConstant(),
              0u);
    EXPECT_FALSE(comm.IsOpen());

    ApplyComm1FormValues(comm);
    EXPECT_FALSE(comm.Outx_XonXoffFlow());
    EXPECT_FALSE(comm.Inx_XonXoffFlow());
    EXPECT_THAT(platform.line->Calls(), IsEmpty()) << "a closed port is not touched";
}

class OpenComm : public testing::Test {
  protected:
    OpenComm() {
        ApplyComm1FormValues(comm);
        events.Attach(comm);
    }
    // Opens and waits until both threads have started: the writer has said
    // its queue is empty and the reader has set its event mask.
    void Open() {
        comm.OpenPort();
        ASSERT_TRUE(PumpUntil(comm, [&] { return events.send_empty == 1; }));
        for (int i = 0; i < 500 && !ReaderStarted(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(ReaderStarted());
    }
    bool ReaderStarted() {
        const auto calls = platform.line->Calls();
        return std::find(calls.begin(), calls.end(), "SetEventMask 416") != calls.end();
    }
    std::vector<std::string> CallsSince(std::size_t first) {
        const auto calls = platform.line->Calls();
        return {calls.begin() + static_cast<std::ptrdiff_t>(first), calls.end()};
    }

    FakeSerialPlatform platform;
    TComm comm{nullptr, platform};
    CommEvents events;
};

TEST_F(OpenComm, OpenPortConfiguresInOrder) {
    Open();
    const auto calls = platform.line->Calls();
    ASSERT_GE(calls.size(), 8u);
    EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 7),
                ElementsAre("Open COM2", "SetupQueues 4096 4096", "Purge 15", "GetTimeouts",
                            "SetTimeouts 100 0 0 0 0", "GetControlBlock",
                            "SetControlBlock baud=9600 flags=1091 bits=8 parity=0 stop=0"));
    EXPECT_EQ(calls[7], "SetEventMask 416");  // from the reader thread, after the open
}

TEST_F(OpenComm, SettersTouchAnOpenPortOnlyWhenTheValueChanges) {
    Open();
    std::size_t mark = platform.line->Calls().size();
    comm.SetBaudRate(9600);
    comm.SetReadIntervalTimeout(100);
    comm.SetDtrControl(TDtrControl::DtrEnable);
    EXPECT_THAT(CallsSince(mark), IsEmpty());

    comm.SetBaudRate(19200);
    EXPECT_THAT(CallsSince(mark),
                ElementsAre("GetControlBlock",
                            "SetControlBlock baud=19200 flags=1091 bits=8 parity=0 stop=0"));

    mark = platform.line->Calls().size();
    comm.SetParity(TParity::Even);  // stored only
    comm.SetCommName("COM5");
    EXPECT_THAT(CallsSince(mark), IsEmpty());
    comm.SetStopBits(TStopBits::_2);  // the next line change carries the parity along
    EXPECT_THAT(CallsSince(mark),
                ElementsAre("GetControlBlock",
                            "SetControlBlock baud=19200 flags=1091 bits=8 parity=2 stop=2"));

    mark = platform.line->Calls().size();
    comm.SetWriteTotalTimeoutConstant(50);
    EXPECT_THAT(CallsSince(mark), ElementsAre("GetTimeouts", "SetTimeouts 100 0 0 0 50"));

    comm.ClosePort();
    comm.OpenPort();
    EXPECT_THAT(platform.opened_names, ElementsAre("COM2", "COM5"));
}

TEST_F(OpenComm, OpenPortTwiceKeepsTheFirstPort) {
    Open();
    EXPECT_THROW(
        {
            try {
                comm.OpenPort();
            } catch (const ECommsError& e) {
                EXPECT_STREQ(e.what(), "This serial port already opened");
                throw;
            }
        },
        ECommsError);
    EXPECT_TRUE(comm.IsOpen());
    const std::uint8_t byte = 0x42;
    EXPECT_TRUE(comm.SendData(&byte, 1));
    EXPECT_TRUE(PumpUntil(comm, [&] { return platform.line->WrittenCount() == 1; }));
}

TEST(TCommOpenFailures, EachFailureLeavesThePortClosed) {
    const struct {
        const char* message;
        std::function<void(FakeSerialPlatform&)> arrange;
    } cases[] = {
        {"Error opening serial port",
         [](FakeSerialPlatform& p) { p.open_error = SerialPlatform::OpenError::CannotOpen; }},
        {"File handle is not a comm handle ",
         [](FakeSerialPlatform& p) { p.open_error = SerialPlatform::OpenError::NotCommDevice; }},
        {"Cannot setup comm buffer", [](FakeSerialPlatform& p) { p.line->setup_ok = false; }},
        {"Unable to create event", [](FakeSerialPlatform& p) { p.event_ok = false; }},
        {"Unable to create read thread", [](FakeSerialPlatform& p) { p.fail_spawn_at = 0; }},
        {"Unable to create write thread", [](FakeSerialPlatform& p) { p.fail_spawn_at = 1; }},
    };
    for (const auto& c : cases) {
        FakeSerialPlatform platform;
        c.arrange(platform);
        TComm comm(nullptr, platform);
        std::string message;
        try {
            comm.OpenPort();
        } catch (const ECommsError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message);
        EXPECT_FALSE(comm.IsOpen()) << c.message;
        EXPECT_FALSE(platform.line->port_alive) << c.message << ": port left open";
        EXPECT_FALSE(platform.line->reader_prepared) << c.message << ": reader ran";
        const std::uint8_t byte = 1;
        EXPECT_FALSE(comm.SendData(&byte, 1)) << c.message;

        // Mended, the next attempt opens.
        platform.open_error = SerialPlatform::OpenError::None;
        platform.line->setup_ok = true;
        platform.event_ok = true;
        platform.fail_spawn_at = -1;
        comm.OpenPort();
        EXPECT_TRUE(comm.IsOpen()) << c.message;
    }
}

TEST_F(OpenComm, ReaderTurnsLineEventsIntoEvents) {
    platform.line->clear_errors = CE_FRAME;
    platform.line->ScriptRead({Kind::Status, EV_RLSD});
    platform.line->ScriptRead({Kind::Status, EV_RING});
    platform.line->ScriptRead({Kind::Status, EV_RLSD | EV_RING});
    platform.line->ScriptRead({Kind::Status, EV_ERR});
    platform.line->ScriptRead({Kind::Data, 0});  // nothing yet: reads on
    platform.line->ScriptRead({Kind::Data, 3}, {1, 2, 3});
    Open();
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.chunks.size() == 1; }));
    EXPECT_THAT(events.modem_events, ElementsAre(8u, 4u, 12u));
    EXPECT_THAT(events.receive_errors, ElementsAre(CE_FRAME));
    EXPECT_THAT(events.chunks[0], ElementsAre(1, 2, 3));
    EXPECT_TRUE(events.chunk_zero_terminated[0]);
    EXPECT_EQ(events.hangups, 0);
}

TEST(TCommReaderEnd, HowTheReaderEnds) {
    const struct {
        const char* name;
        ReadOutcome outcome;
        int hangups;
    } cases[] = {
        {"hang-up", {Kind::HungUp}, 1},
        {"failure", {Kind::Failed}, 1},
        {"empty status", {Kind::Status, 0}, 1},
        {"closed handle", {Kind::Closed}, 0},
    };
    for (const auto& c : cases) {
        FakeSerialPlatform platform;
        TComm comm(nullptr, platform);
        CommEvents events;
        events.Attach(comm);
        platform.line->ScriptRead(c.outcome);
        platform.line->ScriptRead({Kind::Data, 1}, {0x55});  // never read: the reader ended
        comm.OpenPort();
        test::PumpFor(comm, 200ms);
        EXPECT_EQ(events.hangups, c.hangups) << c.name;
        EXPECT_THAT(events.chunks, IsEmpty()) << c.name;
        comm.ClosePort();  // still stops and releases everything
        EXPECT_FALSE(platform.line->port_alive) << c.name;
    }
}

TEST_F(OpenComm, QueuedBlocksAreWrittenWholeAndInOrder) {
    platform.line->max_write = 1000;  // the platform takes each block in parts
    Open();
    platform.line->HoldWrites(true);
    const std::vector<std::uint8_t> a(5000, 0xA1), b(3, 0xB2), c(700, 0xC3);
    EXPECT_TRUE(comm.SendData(a.data(), static_cast<std::uint16_t>(a.size())));
    EXPECT_TRUE(comm.SendData(b.data(), static_cast<std::uint16_t>(b.size())));
    EXPECT_TRUE(comm.SendData(c.data(), static_cast<std::uint16_t>(c.size())));
    platform.line->HoldWrites(false);
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.send_empty == 2; }));

    std::vector<std::uint8_t> expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), c.begin(), c.end());
    std::lock_guard lock(platform.line->mutex);
    EXPECT_EQ(platform.line->written, expected);
}

TEST_F(OpenComm, AFailedWriteEndsTheWriter) {
    Open();
    platform.line->fail_writes = true;
    const std::uint8_t byte = 7;
    EXPECT_TRUE(comm.SendData(&byte, 1));
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.hangups == 1; }));
    // The hang-up is posted just before the writer ends; from then on its
    // queue takes nothing more.
    bool refused = false;
    for (int i = 0; i < 500 && !refused; ++i) {
        refused = !comm.SendData(&byte, 1);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(refused) << "the writer has ended";
    EXPECT_TRUE(comm.IsOpen());
}

TEST_F(OpenComm, SendDataRefusesEmptyBlocksAndAClosedPort) {
    const std::uint8_t byte = 1;
    EXPECT_FALSE(comm.SendData(&byte, 1));
    Open();
    EXPECT_FALSE(comm.SendData(&byte, 0));
    comm.ClosePort();
    EXPECT_FALSE(comm.SendData(&byte, 1));
}

TEST_F(OpenComm, ClosePortStopsBothThreadsQuietly) {
    Open();
    const std::size_t mark = platform.line->Calls().size();
    comm.ClosePort();
    const auto calls = CallsSince(mark);
    // The main thread's purges, with each thread's own purge at its end.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Purge 10"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Purge 5"), 2);
    EXPECT_FALSE(platform.line->port_alive);
    comm.ClosePort();  // harmless
    test::PumpFor(comm, 50ms);
    EXPECT_EQ(events.hangups, 0);
}

TEST_F(OpenComm, NoticesPostedBeforeClosePortArriveAfterIt) {
    Open();
    platform.line->ScriptRead({Kind::Data, 2}, {9, 8});
    ASSERT_TRUE(comm.Notices().WaitNonEmpty(5s));
    comm.ClosePort();
    EXPECT_THAT(events.chunks, IsEmpty());
    comm.DispatchNotices();
    ASSERT_EQ(events.chunks.size(), 1u);
    EXPECT_THAT(events.chunks[0], ElementsAre(9, 8));
}

// A main thread that never drains: once the queue is full the reader's posts
// fail and it gives up, but its hang-up is still taken, beyond the capacity,
// so the owner hears of it; every block it allocated is released
// (LeakSanitizer watches the sanitizer build).
TEST_F(OpenComm, AFullNoticeQueueEndsTheReaderWithOneHangup) {
    Open();
    const std::size_t mark = platform.line->Calls().size();
    for (std::size_t i = 0; i < NotifyQueue::kCapacity + 5; ++i) {
        platform.line->ScriptRead({Kind::Data, 1}, {static_cast<std::uint8_t>(i)});
    }
    // Drain only once the reader has met the full queue and ended (its own
    // purge says so); draining earlier would let its last posts through.
    const auto reader_ended = [&] {
        const auto calls = CallsSince(mark);
        return std::count(calls.begin(), calls.end(), "Purge 10") > 0;
    };
    for (int i = 0; i < 500 && !reader_ended(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(reader_ended());
    EXPECT_EQ(comm.Notices().Size(), NotifyQueue::kCapacity + 1);
    comm.DispatchNotices();
    EXPECT_EQ(events.chunks.size(), NotifyQueue::kCapacity);
    EXPECT_EQ(events.hangups, 1);
    platform.line->ScriptRead({Kind::Data, 1}, {0xEE});
    test::PumpFor(comm, 100ms);
    EXPECT_EQ(events.chunks.size(), NotifyQueue::kCapacity) << "the reader has ended";
}

// A reader stuck in the driver at its end, as after a pulled USB adapter that
// never completes a cancelled request: ClosePort gives it up after the stop
// wait and returns. The stuck thread keeps its port until it ends, then frees
// it itself, and the component opens again in the meantime.
TEST_F(OpenComm, ClosePortGivesUpAThreadStuckInTheDriver) {
    platform.stop_wait = 100ms;
    Open();
    platform.line->HoldReaderEnd(true);
    auto closing = std::async(std::launch::async, [&] { comm.ClosePort(); });
    const bool returned = closing.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(platform.line->PortAlive()) << "freed under the stuck thread";
    platform.line->HoldReaderEnd(false);  // also lets a hung ClosePort finish
    closing.wait();
    ASSERT_TRUE(returned) << "ClosePort waited for the stuck thread without a bound";
    EXPECT_FALSE(comm.IsOpen());
    for (int i = 0; i < 500 && platform.line->PortAlive(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(platform.line->PortAlive()) << "the thread frees its port when it ends";

    comm.OpenPort();
    platform.line->ScriptRead({Kind::Data, 1}, {7});
    ASSERT_TRUE(PumpUntil(comm, [&] { return events.chunks.size() == 1; }));
    EXPECT_EQ(events.hangups, 0);
}

TEST(TComm, DestructorClosesAnOpenPort) {
    FakeSerialPlatform platform;
    {
        TComm comm(nullptr, platform);
        comm.OpenPort();
        EXPECT_TRUE(platform.line->port_alive);
    }
    EXPECT_FALSE(platform.line->port_alive);
}

TEST(TComponent, OwnerDestroysWhatItOwns) {
    FakeSerialPlatform platform;
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* comm = new TComm(owner.get(), platform);
    comm->SetName("Comm1");
    EXPECT_EQ(comm->Owner(), owner.get());
    comm->OpenPort();
    owner.reset();  // destroys comm, which closes its port
    EXPECT_FALSE(platform.line->port_alive);
}

}  // namespace
}  // namespace qx17
