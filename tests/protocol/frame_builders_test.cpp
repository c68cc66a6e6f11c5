#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame_builders.h"
#include "protocol/frame_finder.h"
#include "protocol/link_buffers.h"
#include "protocol/link_sender.h"
#include "tests/support/hex_bytes.h"
#include "tests/support/rx_chunk.h"

namespace qx17 {
namespace {

using test::Hex;
using test::HexString;
using test::ToHex;
using Bytes = std::vector<std::uint8_t>;

// Binds the send seam to a capture of every frame handed over.
class FrameBuildersTest : public testing::Test {
  protected:
    void SetUp() override {
        BindSendData([this](const std::uint8_t* buffer, std::uint16_t length) {
            sent_.emplace_back(buffer, buffer + length);
            return true;
        });
    }
    void TearDown() override {
        BindSendData(nullptr);
        test::ReleaseChunk();
    }

    std::vector<Bytes> sent_;
};

TEST_F(FrameBuildersTest, WireBytesOfTheFixedFrames) {
    SendHandshakeReply();
    SendRawFrame(HexString("95 00 00 01 00"));
    SendRawFrame(HexString("94 00 02 FF"));
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(ToHex(sent_[0]), "AB AB 00 03 99 AA 55 D8 F5");
    EXPECT_EQ(ToHex(sent_[1]), "AB AB 00 05 95 00 00 01 00 21 2C");
    EXPECT_EQ(ToHex(sent_[2]), "AB AB 00 04 94 00 02 FF 12 A2");
}

TEST_F(FrameBuildersTest, WriteFrameOfTheDefaultDataIsTheDefaultFrame) {
    SendWriteFrame(HexString("00 02 FF"));
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(ToHex(sent_[0]), "AB AB 00 04 94 00 02 FF 12 A2");
}

// Every frame the builders produce is one the finder accepts, with the payload
// intact, up to the largest payload TxBuffer holds; 0x00 bytes included.
TEST_F(FrameBuildersTest, BuiltFramesAreFoundWithTheirPayload) {
    for (std::size_t n : {0u, 1u, 3u, 136u, 255u, 256u, 2043u}) {
        std::string data(n, '\0');
        for (std::size_t i = 0; i < n; ++i)
            data[i] = static_cast<char>(i * 7);
        sent_.clear();
        SendWriteFrame(data);
        ASSERT_EQ(sent_.size(), 1u) << n;
        const Bytes& frame = sent_[0];
        ASSERT_EQ(frame.size(), n + 7) << n;

        test::LoadChunk(frame);
        ASSERT_EQ(FindFrame(0), 4) << n;
        EXPECT_EQ(RxBuffer[4], 0x94);
        EXPECT_EQ(std::string(frame.begin() + 5, frame.end() - 2), data) << n;
    }
}

TEST_F(FrameBuildersTest, LengthFieldIsBigEndian) {
    SendRawFrame(std::string(0x0234, 'x'));
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(sent_[0][2], 0x02);
    EXPECT_EQ(sent_[0][3], 0x34);
    EXPECT_EQ(sent_[0].size(), 564u + 6);
}

TEST_F(FrameBuildersTest, PayloadsThatDoNotFitTxBufferAreNotSent) {
    SendRawFrame(std::string(kMaxTxPayload, 'r'));
    SendWriteFrame(std::string(kMaxTxPayload - 1, 'w'));
    ASSERT_EQ(sent_.size(), 2u);
    EXPECT_EQ(sent_[0].size(), kTxBufferSize);
    EXPECT_EQ(sent_[1].size(), kTxBufferSize);

    sent_.clear();
    SendRawFrame(std::string(kMaxTxPayload + 1, 'r'));
    SendWriteFrame(std::string(kMaxTxPayload, 'w'));
    SendWriteFrame(std::string(70000, 'w'));  // would also wrap a 16-bit length
    EXPECT_TRUE(sent_.empty());
}

// The callee gets TxBuffer itself and must copy; the next frame reuses it.
TEST_F(FrameBuildersTest, EachFrameIsBuiltFromIndexZeroOfTxBuffer) {
    const std::uint8_t* seen = nullptr;
    BindSendData([&](const std::uint8_t* buffer, std::uint16_t) {
        seen = buffer;
        return true;
    });
    SendHandshakeReply();
    EXPECT_EQ(seen, TxBuffer.data());
}

TEST(FrameBuildersUnbound, SendingWithNothingBoundGoesNowhere) {
    BindSendData(nullptr);
    SendHandshakeReply();
    SendWriteFrame(HexString("00 02 FF"));
    SendRawFrame(HexString("95 00 00 01 00"));
    EXPECT_EQ(ToHex(Bytes(TxBuffer.begin(), TxBuffer.begin() + 11)),
              "AB AB 00 05 95 00 00 01 00 21 2C");  // built all the same
}

TEST_F(FrameBuildersTest, SendResultIsIgnored) {
    int calls = 0;
    BindSendData([&](const std::uint8_t*, std::uint16_t) {
        ++calls;
        return false;  // as on a closed port
    });
    SendHandshakeReply();
    SendHandshakeReply();
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace qx17
