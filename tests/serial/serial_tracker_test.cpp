// The serial component, the frame code and the virtual tracker together: what
// the tool sends reaches the tracker whole, and what the tracker answers
// arrives as a chunk in which the frame finder sees the reply.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "protocol/frame_builders.h"
#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_sender.h"
#include "serial/tcomm.h"
#include "tests/support/comm_events.h"
#include "tools/tracker_sim/virtual_tracker.h"

namespace qx17 {
namespace {

using namespace std::chrono_literals;
using sim::Event;
using sim::Is;

class TrackerLink : public testing::Test {
  protected:
    TrackerLink() : tracker(Quick()) {
        ApplyComm1FormValues(comm);
        comm.SetCommName(tracker.SlavePath());
        events.Attach(comm);
        BindSendData([this](const std::uint8_t* buffer, std::uint16_t length) {
            return comm.SendData(buffer, length);
        });
        comm.OpenPort();
    }
    ~TrackerLink() override { BindSendData(nullptr); }

    static sim::Options Quick() {
        sim::Options options;
        options.announce_interval = 300ms;  // well apart from the 100 ms read interval
        return options;
    }

    // Waits for the next chunk and runs the frame finder on it, as the
    // receive side does: the command byte of the frame, or 0.
    std::uint16_t NextFrame(std::size_t& seen) {
        if (!test::PumpUntil(comm, [&] { return events.chunks.size() > seen; })) {
            return 0;
        }
        const auto& chunk = events.chunks[seen++];
        std::copy(chunk.begin(), chunk.end(), RxBuffer.begin());
        RxLength = static_cast<std::uint16_t>(chunk.size());
        return FindFrame(0);
    }

    // The next frame that is not an announcement (one may still have been on
    // its way), or 0.
    std::uint16_t NextReply(std::size_t& seen) {
        for (int tries = 0; tries < 20; ++tries) {
            const std::uint16_t at = NextFrame(seen);
            if (at == 0 || RxBuffer[at] != 0xAA) {
                return at;
            }
        }
        return 0;
    }

    // Answers the announcements, so that nothing but replies comes after.
    void Handshake() {
        SendHandshakeReply();
        ASSERT_TRUE(tracker.WaitFor(Is(Event::kHandshake), 5s));
        test::PumpFor(comm, 400ms);
    }

    sim::VirtualTracker tracker;
    TComm comm{nullptr};
    test::CommEvents events;
};

TEST_F(TrackerLink, AnnouncementHandshakeAndReadAll) {
    std::size_t seen = 0;
    std::uint16_t at = NextFrame(seen);
    ASSERT_NE(at, 0);
    EXPECT_EQ(RxBuffer[at], 0xAA);
    EXPECT_EQ(RxBuffer[at + 1], 0x99);

    Handshake();
    seen = events.chunks.size();
    SendRawFrame(std::string("\x95\x00\x00\x01\x00", 5));
    ASSERT_TRUE(tracker.WaitFor(Is(Event::kReadReply), 5s));
    at = NextReply(seen);
    ASSERT_NE(at, 0);
    ASSERT_EQ(RxBuffer[at], 0x95);
    const auto memory = tracker.ReadMemory(0, 256);
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), RxBuffer.begin() + at + 1));
}

TEST_F(TrackerLink, AWriteIsStoredAndAcknowledged) {
    Handshake();
    std::size_t seen = events.chunks.size();
    SendWriteFrame(
        std::string("\x00\x02"
                    "1234",
                    6));
    ASSERT_TRUE(tracker.WaitFor(Is(Event::kAck), 5s));
    EXPECT_EQ(tracker.ReadMemory(2, 4), (sim::Bytes{'1', '2', '3', '4'}));

    const std::uint16_t at = NextReply(seen);
    ASSERT_NE(at, 0);
    EXPECT_EQ(RxBuffer[at], 0x94);
    EXPECT_EQ(RxBuffer[at + 1], 0x01);
}

TEST_F(TrackerLink, AReplySplitByAPauseArrivesAsTwoChunksAndIsNotFound) {
    Handshake();
    const std::size_t before = events.chunks.size();
    tracker.SplitNextReply(150ms);
    SendRawFrame(std::string("\x95\x00\x00\x01\x00", 5));
    ASSERT_TRUE(test::PumpUntil(comm, [&] { return events.chunks.size() >= before + 2; }));
    std::size_t seen = before;
    EXPECT_EQ(NextFrame(seen), 0);
    EXPECT_EQ(NextFrame(seen), 0);
}

TEST_F(TrackerLink, AnUnpluggedTrackerEndsTheReaderWithAHangup) {
    tracker.HangUp();
    ASSERT_TRUE(test::PumpUntil(comm, [&] { return events.hangups >= 1; }));
    comm.ClosePort();
    EXPECT_FALSE(comm.IsOpen());
}

}  // namespace
}  // namespace qx17
