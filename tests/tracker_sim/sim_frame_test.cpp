// The virtual tracker's own frame codec and its factory memory.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/tracker_sim/slave_line.h"
#include "tools/tracker_sim/factory_memory.h"
#include "tools/tracker_sim/sim_frame.h"
#include "tools/tracker_sim/virtual_tracker.h"

namespace qx17::sim {
namespace {

using test::Hex;
using Kind = FrameDecoder::Kind;

const Bytes kAnnouncement = Hex("AB AB 00 02 AA 99 64 44");
const Bytes kAck = Hex("AB AB 00 02 94 01 40 6F");

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(SimFrame, CrcCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x29B1);
}

TEST(SimFrame, EncodesTheFixedFramesOfTheLink) {
    const struct {
        const char* payload;
        const char* wire;
    } cases[] = {
        {"AA 99", "AB AB 00 02 AA 99 64 44"},
        {"99 AA 55", "AB AB 00 03 99 AA 55 D8 F5"},
        {"94 01", "AB AB 00 02 94 01 40 6F"},
        {"95 00 00 01 00", "AB AB 00 05 95 00 00 01 00 21 2C"},
        {"94 00 02 FF", "AB AB 00 04 94 00 02 FF 12 A2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToHex(EncodeFrame(Hex(c.payload))), c.wire);
        EXPECT_EQ(PayloadOf(Hex(c.wire)), Hex(c.payload));
    }
}

struct DecodeCase {
    const char* name;
    std::vector<Bytes> chunks;  // fed one after the other
    std::vector<FrameDecoder::Piece> expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class Decoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, ReportsFramesAndNoiseInLineOrder) {
    FrameDecoder decoder;
    std::vector<FrameDecoder::Piece> got;
    for (const Bytes& chunk : GetParam().chunks) {
        for (FrameDecoder::Piece& p : decoder.Feed(chunk.data(), chunk.size()))
            got.push_back(std::move(p));
    }
    ASSERT_EQ(got.size(), GetParam().expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, GetParam().expected[i].kind) << i;
        EXPECT_EQ(ToHex(got[i].bytes), ToHex(GetParam().expected[i].bytes)) << i;
    }
    EXPECT_FALSE(decoder.Pending());
}

std::vector<Bytes> OneByOne(const Bytes& bytes) {
    std::vector<Bytes> chunks;
    for (std::uint8_t b : bytes)
        chunks.push_back({b});
    return chunks;
}

Bytes BadCrc(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, Decoding,
    testing::Values(
        DecodeCase{"whole_frame", {kAnnouncement}, {{Kind::kFrame, kAnnouncement}}},
        DecodeCase{"byte_by_byte",
                   OneByOne(Join({kAnnouncement, kAck})),
                   {{Kind::kFrame, kAnnouncement}, {Kind::kFrame, kAck}}},
        DecodeCase{"zero_length", {EncodeFrame({})}, {{Kind::kFrame, Hex("AB AB 00 00 3D C4")}}},
        DecodeCase{"garbage_with_lone_ab_before",
                   {Join({Hex("00 11 AB 22"), kAnnouncement})},
                   {{Kind::kGarbage, Hex("00 11 AB 22")}, {Kind::kFrame, kAnnouncement}}},
        DecodeCase{"ab_at_chunk_end_then_frame",
                   {Hex("00 AB"), kAnnouncement},
                   {{Kind::kGarbage, Hex("00")},  // the AB waits for the next chunk
                    {Kind::kGarbage, Hex("AB")},
                    {Kind::kFrame, kAnnouncement}}},
        DecodeCase{"length_too_large",
                   {Join({Hex("AB AB FF FF"), kAck})},
                   {{Kind::kGarbage, Hex("AB AB FF FF")}, {Kind::kFrame, kAck}}},
        DecodeCase{"bad_crc_then_good",
                   {Join({BadCrc(kAnnouncement), kAck})},
                   {{Kind::kBadCrc, BadCrc(kAnnouncement)}, {Kind::kFrame, kAck}}},
        // A false start pair swallows the beginning of a real frame; the
        // decoder resumes at the start pair inside the damaged one.
        DecodeCase{"frame_inside_a_bad_one",
                   {Join({Hex("AB AB 00 04 11 22"), kAnnouncement})},
                   {{Kind::kBadCrc, Hex("AB AB 00 04 11 22 AB AB 00 02")},
                    {Kind::kFrame, kAnnouncement}}}),
    [](const testing::TestParamInfo<DecodeCase>& param_info) {
        return std::string(param_info.param.name);
    });

TEST(SimFrame, FlushGivesUpAStalledFrameAndFindsTheOneInside) {
    FrameDecoder decoder;
    const Bytes stalled = Join({Hex("AB AB 00 10"), kAnnouncement});
    EXPECT_TRUE(decoder.Feed(stalled.data(), stalled.size()).empty());
    EXPECT_TRUE(decoder.Pending());
    const std::vector<FrameDecoder::Piece> pieces = decoder.Flush();
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].kind, Kind::kGarbage);
    EXPECT_EQ(ToHex(pieces[0].bytes), "AB AB 00 10");
    EXPECT_EQ(pieces[1].kind, Kind::kFrame);
    EXPECT_EQ(pieces[1].bytes, kAnnouncement);
    EXPECT_FALSE(decoder.Pending());
}

TEST(FactoryMemory, FieldsHoldTheDocumentedValues) {
    const Bytes memory = FactoryMemory();
    ASSERT_EQ(memory.size(), kMemorySize);
    const struct {
        std::size_t address;
        const char* bytes;
    } cases[] = {
        {0, "FF FF"},
        {2, "30 30 30 30"},                    // PW "0000"
        {6, "FF FF FF FF FF FF FF FF FF FF"},  // unmapped
        {16, "01 03 00"},                      // TCP, 3 x 10 s
        {19, "43 4D 4E 45 54 23"},             // "CMNET#"
        {51, "23"},
        {71, "23"},
        {91, "38 2E 38 2E 38 2E 38 23"},  // "8.8.8.8#"
        {107, "35 71 20 01 23 45 67"},    // id 35712001234567
        {114, "32 30 33 2E 30 2E 31 31 33 2E 31 37 23"},
        {146, "38 30 35 31 23"},  // "8051#"
        {168, "23"},
        {184, "3C 00 80 70 00 00"},  // 60 s; UTC+8 = 28800 s
        {212, "00 23"},
        {229, "0A 00 23"},
        {247, "00 FF"},
        {4096, "FF"},
    };
    for (const auto& c : cases) {
        const Bytes expected = Hex(c.bytes);
        const Bytes got(memory.begin() + static_cast<long>(c.address),
                        memory.begin() + static_cast<long>(c.address + expected.size()));
        EXPECT_EQ(ToHex(got), ToHex(expected)) << "at " << c.address;
    }
}

TEST(FactoryMemory, TrackerIdIsPackedWithFillerNibbles) {
    const struct {
        const char* id;
        const char* packed;
    } cases[] = {
        {"1", "1F FF FF FF FF FF FF"},
        {"123", "12 3F FF FF FF FF FF"},
        {"12345678901234", "12 34 56 78 90 12 34"},
    };
    for (const auto& c : cases) {
        const Bytes memory = FactoryMemory(c.id);
        EXPECT_EQ(ToHex(Bytes(memory.begin() + 107, memory.begin() + 114)), c.packed) << c.id;
        EXPECT_EQ(memory[106], 0xFF) << "the DNS field before is untouched";
        EXPECT_EQ(memory[114], '2') << "the server field after is untouched";
    }
    for (const char* bad : {"", "123456789012345", "12a4", "-1"}) {
        EXPECT_THROW(FactoryMemory(bad), std::invalid_argument) << bad;
    }
}

TEST(SimHex, ParsesSpacedAndPackedHexAndRejectsTheRest) {
    EXPECT_EQ(ParseHex("AB ab 00"), Hex("AB AB 00"));
    EXPECT_EQ(ParseHex("abab0002,0x11"), Hex("AB AB 00 02 11"));
    EXPECT_EQ(ParseHex(""), Bytes{});
    for (const char* bad : {"A", "ABC", "zz", "0x", "12 3"}) {
        EXPECT_FALSE(ParseHex(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace qx17::sim
