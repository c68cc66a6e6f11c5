// The rules an entry field's text must meet: in the window when the field is
// left (a text that breaks it is replaced by the one the field had when it
// was entered), in the command-line tool for every value of a profile. Which
// field has which rule: params/field_descriptors.h.
// Lengths count bytes of the ANSI code page; every rule tests the length
// before it converts, so a conversion never sees more than 6 digits.
#pragma once

#include <string_view>

namespace qx17 {

enum class FieldRule {
    kText32,           // IN_APN, IN_IP: at most 32 characters, no '#' or NUL
    kText20,           // IN_APNNAME, IN_APNPW: at most 20 characters, no '#' or NUL
    kText16,           // IN_DNS (only in profiles): at most 16 characters, no '#' or NUL
    kPortNumber,       // IN_PORT, Edit1: up to 5 digits, at most 65535, empty allowed
    kTrackerId,        // IN_ID: up to 14 digits, empty allowed
    kGprsInterval,     // IN_GPRSTM: 1 to 6 digits, at most 655350
    kPhone,            // IN_ATEL, Edit7, IN_SMS1: 16 characters, an optional leading '+', digits
    kSmsInterval,      // IN_ATM: up to 5 digits, 0 or 10 to 65535, empty allowed
    kPassword,         // IN_PW: exactly 4 digits
    kTimeZoneMinutes,  // Edit2: an optional sign, then 1 to 5 digits, at most 65535
    kPowerSaving,      // Edit3: 1 to 5 digits, at most 255 (its place is one byte)
};

bool Accepts(FieldRule rule, std::string_view text);

// The rule in words, for a message that refuses a value.
const char* RuleText(FieldRule rule);

}  // namespace qx17
