#include "params/field_rules.h"

#include "params/text_conversions.h"

namespace qx17 {

namespace {

// At most `max` bytes, none of them an end mark: the tracker ends a text at
// its first '#' or NUL, so one inside would cut the value short there.
bool FreeText(std::string_view text, std::size_t max) {
    return text.size() <= max &&
           text.find_first_of(std::string_view("#\0", 2)) == std::string_view::npos;
}

// Only digits, at most `max_digits` of them, and not empty unless allowed.
bool Digits(std::string_view text, std::size_t max_digits, bool empty_ok) {
    if (text.empty()) {
        return empty_ok;
    }
    return text.size() <= max_digits && IsAllDigits(text);
}

// Digits as above whose value is at most `max_value`.
bool Number(std::string_view text, std::size_t max_digits, bool empty_ok, std::int32_t max_value) {
    return Digits(text, max_digits, empty_ok) && TextToInt(text) <= max_value;
}

}  // namespace

bool Accepts(FieldRule rule, std::string_view text) {
    switch (rule) {
        case FieldRule::kText32:
            return FreeText(text, 32);
        case FieldRule::kText20:
            return FreeText(text, 20);
        case FieldRule::kText16:
            return FreeText(text, 16);
        case FieldRule::kPortNumber:
            return Number(text, 5, true, 65535);
        case FieldRule::kTrackerId:
            return Digits(text, 14, true);
        case FieldRule::kGprsInterval:
            return Number(text, 6, false, 655350);
        case FieldRule::kPhone: {
            if (text.size() > 16) {
                return false;
            }
            const std::string_view rest = text.starts_with('+') ? text.substr(1) : text;
            return IsAllDigits(rest);
        }
        case FieldRule::kSmsInterval: {
            if (!Number(text, 5, true, 65535)) {
                return false;
            }
            const std::int32_t minutes = TextToInt(text);
            return minutes == 0 || minutes >= 10;
        }
        case FieldRule::kPassword:
            return text.size() == 4 && IsAllDigits(text);
        case FieldRule::kTimeZoneMinutes: {
            const std::string_view digits =
                (text.starts_with('+') || text.starts_with('-')) ? text.substr(1) : text;
            return Number(digits, 5, false, 65535);
        }
        case FieldRule::kPowerSaving:
            // One byte in the image: a larger value would reach the tracker
            // as its low byte.
            return Number(text, 5, false, 255);
    }
    return false;
}

const char* RuleText(FieldRule rule) {
    switch (rule) {
        case FieldRule::kText32:
            return "at most 32 characters, no '#' or NUL";
        case FieldRule::kText20:
            return "at most 20 characters, no '#' or NUL";
        case FieldRule::kText16:
            return "at most 16 characters, no '#' or NUL";
        case FieldRule::kPortNumber:
            return "empty, or up to 5 digits with a value of at most 65535";
        case FieldRule::kTrackerId:
            return "empty, or up to 14 digits";
        case FieldRule::kGprsInterval:
            return "1 to 6 digits with a value of at most 655350";
        case FieldRule::kPhone:
            return "at most 16 characters: digits, with one optional leading '+'";
        case FieldRule::kSmsInterval:
            return "empty, or up to 5 digits with a value of 0 or 10 to 65535";
        case FieldRule::kPassword:
            return "exactly 4 digits";
        case FieldRule::kTimeZoneMinutes:
            return "an optional '+' or '-', then 1 to 5 digits with a value of at most 65535";
        case FieldRule::kPowerSaving:
            return "1 to 5 digits with a value of at most 255";
    }
    return "";
}

}  // namespace qx17
