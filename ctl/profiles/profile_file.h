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

// Reads `file` and checks it as a profile (ctl/profiles/profile_check.h). BadProfile
// when the file cannot be read or has any problem (the message lists every
// one, each naming the file and line). `bytes`, when given, gets the file's
// bytes: the very ones checked.
FieldValues LoadProfile(const std::filesystem::path& file, std::string* bytes = nullptr);

// Writes `values` as a profile; the file is replaced whole or not at all. A
// new profile only its owner may read (it holds passwords); one that is
// there keeps its permissions. std::runtime_error when it cannot be written.
void SaveProfile(const std::filesystem::path& file, const FieldValues& values);

}  // namespace qx17::ctl
