// The rule of every entry field, on its own.
#include <gtest/gtest.h>

#include <string>

#include "params/field_rules.h"

namespace qx17 {
namespace {

struct RuleCase {
    FieldRule rule;
    std::string text;
    bool accepted;
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << static_cast<int>(c.rule) << " '" << c.text << "'";
}

class Rules : public testing::TestWithParam<RuleCase> {};

TEST_P(Rules, AcceptOrRefuse) {
    EXPECT_EQ(Accepts(GetParam().rule, GetParam().text), GetParam().accepted);
}

using R = FieldRule;
const std::string k16Digits = "1234567890123456";

INSTANTIATE_TEST_SUITE_P(
    Fields, Rules,
    testing::Values(
        // Free texts: their length, and no '#', which would end them early
        // in the tracker's memory.
        RuleCase{R::kText32, std::string(32, ' '), true},
        RuleCase{R::kText32, std::string(33, 'a'), false}, RuleCase{R::kText32, "", true},
        RuleCase{R::kText32, "a#b", false}, RuleCase{R::kText32, "#", false},
        RuleCase{R::kText20, std::string(20, '~'), true},
        RuleCase{R::kText20, std::string(21, 'x'), false}, RuleCase{R::kText20, "pass#", false},
        // A NUL ends a text as '#' does.
        RuleCase{R::kText32, std::string("a\0b", 3), false},
        RuleCase{R::kText20, std::string(1, '\0'), false},
        RuleCase{R::kText16, std::string(16, '9'), true},
        RuleCase{R::kText16, "208.67.222.222.x", true},
        RuleCase{R::kText16, "208.67.222.222.ex", false}, RuleCase{R::kText16, "1.1#1.1", false},
        RuleCase{R::kText16, std::string("1.1.1.1\0", 8), false},
        // Port and logging interval.
        RuleCase{R::kPortNumber, "65535", true}, RuleCase{R::kPortNumber, "65536", false},
        RuleCase{R::kPortNumber, "000000", false}, RuleCase{R::kPortNumber, "80a", false},
        RuleCase{R::kPortNumber, "a80", false}, RuleCase{R::kPortNumber, "", true},
        RuleCase{R::kPortNumber, "00080", true}, RuleCase{R::kPortNumber, "+80", false},
        // Tracker ID.
        RuleCase{R::kTrackerId, "12345678901234", true},
        RuleCase{R::kTrackerId, "123456789012345", false}, RuleCase{R::kTrackerId, "+123", false},
        RuleCase{R::kTrackerId, "", true},
        // GPRS interval.
        RuleCase{R::kGprsInterval, "0", true}, RuleCase{R::kGprsInterval, "655350", true},
        RuleCase{R::kGprsInterval, "655351", false}, RuleCase{R::kGprsInterval, "0000001", false},
        RuleCase{R::kGprsInterval, "", false}, RuleCase{R::kGprsInterval, "25", true},
        // Telephone numbers.
        RuleCase{R::kPhone, "+" + k16Digits.substr(0, 15), true},
        RuleCase{R::kPhone, k16Digits, true}, RuleCase{R::kPhone, k16Digits + "7", false},
        RuleCase{R::kPhone, "12+34", false}, RuleCase{R::kPhone, "++123", false},
        RuleCase{R::kPhone, "-123", false}, RuleCase{R::kPhone, "123 45", false},
        RuleCase{R::kPhone, "", true}, RuleCase{R::kPhone, "+", true},
        // SMS tracking interval: 0, or 10 and more.
        RuleCase{R::kSmsInterval, "", true}, RuleCase{R::kSmsInterval, "0", true},
        RuleCase{R::kSmsInterval, "00", true}, RuleCase{R::kSmsInterval, "5", false},
        RuleCase{R::kSmsInterval, "09", false}, RuleCase{R::kSmsInterval, "10", true},
        RuleCase{R::kSmsInterval, "65535", true}, RuleCase{R::kSmsInterval, "65536", false},
        // Password.
        RuleCase{R::kPassword, "3794", true}, RuleCase{R::kPassword, "379", false},
        RuleCase{R::kPassword, "37945", false}, RuleCase{R::kPassword, "37a4", false},
        RuleCase{R::kPassword, "37 4", false}, RuleCase{R::kPassword, "", false},
        // Time zone: a sign, then the size of the number without it.
        RuleCase{R::kTimeZoneMinutes, "-480", true}, RuleCase{R::kTimeZoneMinutes, "+0", true},
        RuleCase{R::kTimeZoneMinutes, "0", true}, RuleCase{R::kTimeZoneMinutes, "+", false},
        RuleCase{R::kTimeZoneMinutes, "-", false}, RuleCase{R::kTimeZoneMinutes, "+-5", false},
        RuleCase{R::kTimeZoneMinutes, "", false}, RuleCase{R::kTimeZoneMinutes, "-65536", false},
        RuleCase{R::kTimeZoneMinutes, "-65535", true}, RuleCase{R::kTimeZoneMinutes, "4-", false},
        // Power saving: one byte in the image, so 0 to 255 only.
        RuleCase{R::kPowerSaving, "", false}, RuleCase{R::kPowerSaving, "0", true},
        RuleCase{R::kPowerSaving, "255", true}, RuleCase{R::kPowerSaving, "00255", true},
        RuleCase{R::kPowerSaving, "256", false}, RuleCase{R::kPowerSaving, "300", false},
        RuleCase{R::kPowerSaving, "65535", false}, RuleCase{R::kPowerSaving, "000001", false}));

}  // namespace
}  // namespace qx17
