#include "ctl/profile_file.h"

#include <fstream>
#include <iterator>

#include "ctl/profile_check.h"
#include "params/file_io.h"
#include "params/profile.h"

namespace qx17::ctl {

FieldValues LoadProfile(const std::filesystem::path& file, std::string* bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw BadProfile(file.string() + ": cannot read the profile.");
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw BadProfile(file.string() + ": cannot read the profile.");
    }
    ProfileCheck check = CheckProfile(file.string(), content);
    if (!check.problems.empty()) {
        std::string message;
        for (const std::string& problem : check.problems) {
            message += (message.empty() ? "" : "\n") + problem;
        }
        throw BadProfile(message);
    }
    if (bytes != nullptr) {
        *bytes = std::move(content);
    }
    return check.values;
}

void SaveProfile(const std::filesystem::path& file, const FieldValues& values) {
    std::string error;
    if (!ReplaceFileAtomically(file, SerializeProfile(values), error)) {
        throw std::runtime_error(file.string() + ": cannot write the profile: " + error);
    }
}

}  // namespace qx17::ctl
