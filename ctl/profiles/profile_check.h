// What qx17ctl asks of a profile before it writes one into any tracker: every
// value the window saves is there once, with the type the settings file
// gives it, within its rule and its list, and such that the tracker holds it
// exactly as written; nothing else is under the key. The window reads its
// own settings file more leniently (missing values take defaults); a profile
// that is written into trackers states every value itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "params/field_values.h"

namespace qx17::ctl {

struct ProfileCheck {
    FieldValues values;                 // as the profile states them
    std::vector<std::string> problems;  // one line each, "FILE:LINE: ...", empty when usable
};

// Checks the profile `bytes`, read from the file called `file_name`.
ProfileCheck CheckProfile(const std::string& file_name, std::string_view bytes);

// The problems of `values` against the fields' rules, one line each, empty
// when there are none.
std::vector<std::string> RuleProblems(const FieldValues& values);

// A value for a message: quoted, as UTF-8, a NUL as \0, cut after 60
// characters (the length then follows).
std::string QuotedValue(std::string_view ansi);

}  // namespace qx17::ctl
