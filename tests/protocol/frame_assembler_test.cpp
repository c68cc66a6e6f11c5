// Reassembling frames from a stream of chunks: splits, noise, bad CRCs and
// false start pairs, as the command-line tool's link meets them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame_assembler.h"
#include "tests/support/hex_bytes.h"

namespace qx17 {
namespace {

using test::Frame;
using test::Hex;
using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// `stream` cut into chunks at `cuts` (offsets), fed one by one; every
// payload taken after each chunk, in order.
std::vector<std::string> Feed(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    FrameAssembler frames;
    std::vector<std::string> taken;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (std::size_t end : ends) {
        frames.Add(stream.data() + from, end - from);
        from = end;
        while (auto payload = frames.Next()) {
            taken.push_back(test::ToHex(Bytes(payload->begin(), payload->end())));
        }
    }
    return taken;
}

const Bytes kAck = Frame(Hex("94 01"));
const Bytes kAnnounce = Frame(Hex("AA 99"));
const Bytes kReply = Frame(Cat({Hex("95"), Bytes(256, 0x30)}));

Bytes BadCrc(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

TEST(FrameAssembler, TakesEveryWholeGoodFrameWhateverTheChunks) {
    const std::string ack = "94 01";
    const std::string reply = test::ToHex(Cat({Hex("95"), Bytes(256, 0x30)}));
    const Bytes nesting_payload = Cat({Hex("95"), kAck, Bytes(248, 0x30)});
    const Bytes kNesting = Frame(nesting_payload);
    const std::string nesting = test::ToHex(nesting_payload);
    const struct {
        const char* name;
        Bytes stream;
        std::vector<std::size_t> cuts;
        std::vector<std::string> payloads;
    } cases[] = {
        {"one chunk", kAck, {}, {ack}},
        {"split in three", kReply, {3, 100}, {reply}},
        {"cut after the first start byte", kAck, {1}, {ack}},
        {"noise first, with a lone AB", Cat({Hex("00 AB 12 FF"), kAck}), {2}, {ack}},
        {"two frames in one chunk", Cat({kAnnounce, kAck}), {}, {"AA 99", ack}},
        {"a bad CRC is not taken", Cat({BadCrc(kAck), kAck}), {}, {ack}},
        {"a false pair declaring too much", Cat({Hex("AB AB FF FF"), kAck}), {}, {ack}},
        // Its declared 64 bytes never come: the good frame after it counts.
        {"a false pair declaring a little", Cat({Hex("AB AB 00 40 01"), kAck}), {6}, {ack}},
        // The false pair's extent swallows the start of the real frame.
        {"a frame inside a false one", Cat({Hex("AB AB 00 03"), kAck}), {}, {ack}},
        {"nothing but noise", Hex("01 02 03 AB 04"), {}, {}},
        {"an incomplete frame waits", Bytes(kReply.begin(), kReply.end() - 1), {}, {}},
        // A reply whose data hold a whole frame: whole, it is the reply; cut
        // before its end it cannot be told from a false pair and a frame.
        {"a frame inside a reply, whole", kNesting, {}, {nesting}},
        {"a frame inside a reply, cut", kNesting, {20}, {ack}},
    };
    for (const auto& c : cases) {
        EXPECT_THAT(Feed(c.stream, c.cuts), testing::ElementsAreArray(c.payloads)) << c.name;
    }
}

TEST(FrameAssembler, ClearForgetsAHalfFrame) {
    FrameAssembler frames;
    frames.Add(kAck.data(), 5);
    frames.Clear();
    frames.Add(kAck.data() + 5, kAck.size() - 5);
    EXPECT_FALSE(frames.Next().has_value());
    frames.Add(kAck.data(), kAck.size());
    EXPECT_EQ(frames.Next().value_or(""), std::string("\x94\x01"));
}

}  // namespace
}  // namespace qx17
