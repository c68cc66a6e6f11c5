#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>

#include "params/text_conversions.h"
#include "tests/support/hex_bytes.h"

namespace qx17 {
namespace {

using test::HexString;

std::string Nul(std::string_view a, std::string_view b) {
    return std::string(a) + '\0' + std::string(b);
}

TEST(HexDigitValue, MapsEveryCharacter) {
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        int expected = 0;
        if (c >= '0' && c <= '9')
            expected = c - '0';
        if (c >= 'A' && c <= 'F')
            expected = c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            expected = c - 'a' + 10;
        EXPECT_EQ(HexDigitValue(ch), expected) << "character " << c;
    }
}

struct HexCase {
    std::string text;
    bool ok;
    std::string bytes;
};

void PrintTo(const HexCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class HexTextToBytesTest : public testing::TestWithParam<HexCase> {};

TEST_P(HexTextToBytesTest, Converts) {
    const HexCase& c = GetParam();
    const HexBytes result = HexTextToBytes(c.text);
    EXPECT_EQ(result.ok, c.ok);
    EXPECT_EQ(result.bytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexTextToBytesTest,
    testing::Values(HexCase{"12 3F\r\n", true, HexString("12 3F")},
                    HexCase{"123", true, HexString("12")},             // unpaired digit dropped
                    HexCase{"12G4", false, ""},                        // no partial result
                    HexCase{"", false, ""}, HexCase{"   ", true, ""},  // only skipped characters
                    HexCase{"ab", true, HexString("AB")}, HexCase{"aBcD", true, HexString("AB CD")},
                    HexCase{"12345FFFFFFFFF", true, HexString("12 34 5F FF FF FF FF")},
                    HexCase{"1\t2", false, ""},           // a tab is not skipped
                    HexCase{Nul("12", "34"), false, ""},  // 0x00 is an ordinary bad character
                    HexCase{"+1234", false, ""}));

TEST(IsAllDigits, Cases) {
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0123456789"));
    EXPECT_FALSE(IsAllDigits("12 3"));
    EXPECT_FALSE(IsAllDigits("+12"));
    EXPECT_FALSE(IsAllDigits("-12"));
    EXPECT_FALSE(IsAllDigits("12a"));
    EXPECT_FALSE(IsAllDigits(Nul("1", "2")));
    EXPECT_FALSE(IsAllDigits("/"));  // the characters around '0' and '9'
    EXPECT_FALSE(IsAllDigits(":"));
}

struct IntCase {
    std::string text;
    std::int32_t value;
};

void PrintTo(const IntCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class TextToIntTest : public testing::TestWithParam<IntCase> {};

TEST_P(TextToIntTest, Converts) {
    EXPECT_EQ(TextToInt(GetParam().text), GetParam().value) << "text '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(Cases, TextToIntTest,
                         testing::Values(IntCase{"", 0}, IntCase{"+", 0}, IntCase{"-", 0},
                                         IntCase{"-480", -480}, IntCase{"+7", 7}, IntCase{"12a", 0},
                                         IntCase{"00000000000", 0}, IntCase{" 5", 0},
                                         IntCase{"5 ", 0}, IntCase{"--5", 0}, IntCase{"+-5", 0},
                                         IntCase{"0012", 12}, IntCase{"2147483647", 2147483647},
                                         IntCase{"-2147483648", INT32_MIN},
                                         IntCase{"-0000000001", -1},
                                         IntCase{"12345678901", 0},  // 11 digits: 0, no error
                                         IntCase{"-12345678901", 0}, IntCase{"65535", 65535}));

TEST(TextToInt, TenDigitOverflowRaisesWithTheWholeText) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"9999999999", "'9999999999' is not a valid integer value"},
        {"2147483648", "'2147483648' is not a valid integer value"},
        {"+2147483648", "'+2147483648' is not a valid integer value"},
        {"-2147483649", "'-2147483649' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        try {
            TextToInt(c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const EConvertError& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

// Every signed text of up to ten digits agrees with the standard library's
// parse, and overflow is reported exactly where the value leaves 32 bits.
TEST(TextToInt, AgreesWithFromCharsOnRandomTexts) {
    std::mt19937 rng(20091112);
    std::uniform_int_distribution<int> digit(0, 9), length(1, 10), sign(0, 2);
    for (int n = 0; n < 20000; ++n) {
        std::string text = sign(rng) == 0 ? "-" : (sign(rng) == 1 ? "+" : "");
        const int digits = length(rng);
        for (int i = 0; i < digits; ++i)
            text += static_cast<char>('0' + digit(rng));

        const std::string_view parsed = text[0] == '+' ? std::string_view(text).substr(1) : text;
        std::int64_t expected = 0;
        std::from_chars(parsed.data(), parsed.data() + parsed.size(), expected);
        if (expected < INT32_MIN || expected > INT32_MAX) {
            EXPECT_THROW(TextToInt(text), EConvertError) << text;
        } else {
            EXPECT_EQ(TextToInt(text), expected) << text;
        }
    }
}

TEST(TextBeforeHash, Cases) {
    EXPECT_EQ(TextBeforeHash("AB#CD"), "AB");
    EXPECT_EQ(TextBeforeHash(Nul("AB", "CD")), "AB");
    EXPECT_EQ(TextBeforeHash(Nul("A", "B#C")), "A");  // whichever comes first
    EXPECT_EQ(TextBeforeHash("ABCD"), "ABCD");
    EXPECT_EQ(TextBeforeHash("#ABCD"), "");
    EXPECT_EQ(TextBeforeHash(""), "");
    EXPECT_EQ(TextBeforeHash(std::string("\xFF\x80 x", 4)), std::string("\xFF\x80 x", 4));
}

TEST(PackedDigitsToText, Cases) {
    EXPECT_EQ(PackedDigitsToText(HexString("12 3F 45")), "123");
    EXPECT_EQ(PackedDigitsToText(HexString("A1")), "");
    EXPECT_EQ(PackedDigitsToText(HexString("90")), "90");
    EXPECT_EQ(PackedDigitsToText(HexString("FF FF FF FF FF FF FF")), "");
    EXPECT_EQ(PackedDigitsToText(HexString("12 34 56 78 90 12 34")), "12345678901234");
    EXPECT_EQ(PackedDigitsToText(HexString("00 00")), "0000");  // 0x00 is two zero digits
    EXPECT_EQ(PackedDigitsToText(""), "");
}

// The tracker ID travels as hex text padded with 'F' and comes back as packed
// digits: any text of up to 14 digits survives the round trip.
TEST(Conversions, TrackerIdRoundTrip) {
    for (const std::string id : {"", "1", "12345", "0000", "12345678901234"}) {
        std::string padded = id;
        padded.resize(std::max<std::size_t>(14, id.size()), 'F');
        const HexBytes packed = HexTextToBytes(padded);
        ASSERT_TRUE(packed.ok) << id;
        ASSERT_EQ(packed.bytes.size(), 7u) << id;
        EXPECT_EQ(PackedDigitsToText(packed.bytes), id);
    }
}

}  // namespace
}  // namespace qx17
