// Profiles on disk: read and checked before anything is sent, and written
// from what a tracker holds.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "params/field_values.h"

namespace qx17::ctl {

// A profile that cannot be used; what() holds one line per problem, each
// naming the file.
class BadProfile : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads `file` as the window reads its settings, then checks every value
// against its field's rule, as the window checks an entry. BadProfile when
// the file cannot be read, a value has the wrong type, or a value breaks
// its rule (the message names the field, the value and the rule).
FieldValues LoadProfile(const std::filesystem::path& file);

// The problems of `values` against the fields' rules, one line each, empty
// when there are none.
std::vector<std::string> RuleProblems(const FieldValues& values);

// Writes `values` as a profile; the file is replaced whole or not at all.
// std::runtime_error when it cannot be written.
void SaveProfile(const std::filesystem::path& file, const FieldValues& values);

}  // namespace qx17::ctl
