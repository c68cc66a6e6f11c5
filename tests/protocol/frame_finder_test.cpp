#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_crc.h"
#include "tests/support/hex_bytes.h"
#include "tests/support/rx_chunk.h"

namespace qx17 {
namespace {

using test::Frame;
using test::Hex;
using Bytes = std::vector<std::uint8_t>;

const Bytes kAnnouncement = Hex("AB AB 00 02 AA 99 64 44");
const Bytes kWriteAck = Hex("AB AB 00 02 94 01 40 6F");

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class FrameFinderTest : public testing::Test {
  protected:
    void TearDown() override { test::ReleaseChunk(); }

    std::uint16_t Find(const Bytes& chunk, std::uint16_t start = 0) {
        test::LoadChunk(chunk);
        return FindFrame(start);
    }
};

struct FindCase {
    const char* name;
    Bytes chunk;
    std::uint16_t expected;
};

void PrintTo(const FindCase& c, std::ostream* os) {
    *os << c.name;
}

class FindFrameCases : public FrameFinderTest, public testing::WithParamInterface<FindCase> {};

TEST_P(FindFrameCases, FindsTheCommandByte) {
    EXPECT_EQ(Find(GetParam().chunk), GetParam().expected) << test::ToHex(GetParam().chunk);
}

Bytes FlipBit(Bytes frame, std::size_t byte, int bit) {
    frame[byte] = static_cast<std::uint8_t>(frame[byte] ^ (1u << bit));
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, FindFrameCases,
    testing::Values(
        FindCase{"announcement", kAnnouncement, 4}, FindCase{"write_ack", kWriteAck, 4},
        FindCase{"after_noise", Concat({Hex("01 02 03"), kAnnouncement}), 7},
        FindCase{"two_frames_first_wins", Concat({kWriteAck, kAnnouncement}), 4},
        FindCase{"ab_pair_in_noise_hides_frame", Concat({Hex("AB AB 00"), kAnnouncement}), 0},
        FindCase{"single_ab_in_noise", Concat({Hex("AB 00"), kAnnouncement}), 6},
        FindCase{"wrong_crc_low_bit", FlipBit(kAnnouncement, 7, 0), 0},
        FindCase{"wrong_crc_high_bit", FlipBit(kAnnouncement, 6, 7), 0},
        FindCase{"wrong_payload_bit", FlipBit(kAnnouncement, 5, 3), 0},
        FindCase{"zero_length_frame", Frame({}), 4},  // index points at the first CRC byte
        FindCase{"five_bytes", Hex("AB AB 00 00 1D"), 0}, FindCase{"empty", Bytes{}, 0},
        FindCase{"trailing_bytes_ignored", Concat({kAnnouncement, Hex("00 11 22")}), 4},
        // Declared lengths that run past the received bytes: the frame is absent.
        FindCase{"length_one_past_end", Hex("AB AB 00 03 AA 99 64 44"), 0},
        FindCase{"length_ffff_short_chunk", Hex("AB AB FF FF AA 99 64 44"), 0},
        FindCase{"truncated_frame", Bytes(kAnnouncement.begin(), kAnnouncement.end() - 1), 0},
        FindCase{"pair_at_last_possible_index", Concat({Hex("00 00"), Frame({})}), 6}),
    [](const testing::TestParamInfo<FindCase>& param_info) {
        return std::string(param_info.param.name);
    });

TEST_F(FrameFinderTest, ChunksOfFiveBytesOrFewerGiveZeroWhateverTheyHold) {
    for (std::ptrdiff_t n = 0; n <= 5; ++n) {
        EXPECT_EQ(Find(Bytes(kAnnouncement.begin(), kAnnouncement.begin() + n)), 0) << n;
        EXPECT_EQ(Find(Bytes(static_cast<std::size_t>(n), 0xAB)), 0) << n;
    }
}

TEST_F(FrameFinderTest, StartSkipsEarlierBytes) {
    const Bytes chunk = Concat({kWriteAck, kAnnouncement});
    EXPECT_EQ(Find(chunk, 0), 4);
    EXPECT_EQ(Find(chunk, 8), 12);
    EXPECT_EQ(Find(chunk, 9), 0);  // from 9 on no pair starts
    EXPECT_EQ(Find(chunk, static_cast<std::uint16_t>(chunk.size() - 5)), 0);
    EXPECT_EQ(Find(chunk, static_cast<std::uint16_t>(chunk.size() - 4)), 0);
    EXPECT_EQ(Find(chunk, 0xFFFF), 0);
}

TEST_F(FrameFinderTest, LargestFrameThatFitsTheBuffer) {
    const Bytes frame = Frame(Bytes(kRxBufferSize - kFrameOverhead, 0x5A));
    ASSERT_EQ(frame.size(), kRxBufferSize);
    EXPECT_EQ(Find(frame), 4);
}

// The declared extent of a frame beyond the buffer is never followed, even if
// RxLength claims more bytes than the buffer holds.
TEST_F(FrameFinderTest, RxLengthBeyondTheBufferIsClamped) {
    Bytes chunk(kRxBufferSize, 0x00);
    chunk[kRxBufferSize - 6] = 0xAB;
    chunk[kRxBufferSize - 5] = 0xAB;
    chunk[kRxBufferSize - 4] = 0xFF;
    chunk[kRxBufferSize - 3] = 0xFF;
    test::LoadChunk(chunk);
    RxLength = 0xFFFF;
    EXPECT_EQ(FindFrame(0), 0);
}

// Only the bytes of the frame itself count: the bytes that follow it in the
// buffer from an earlier, longer chunk must not complete a shorter one.
TEST_F(FrameFinderTest, StaleBytesAfterRxLengthDoNotCompleteAFrame) {
    test::LoadChunk(kAnnouncement);
    test::ReleaseChunk();
    RxLength = 7;  // the last CRC byte is still in the buffer, but not received
    EXPECT_EQ(FindFrame(0), 0);
}

}  // namespace
}  // namespace qx17
