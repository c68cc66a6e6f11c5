#include "ctl/profiles/profile_file.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include "ctl/profiles/profile_check.h"
#include "params/file_io.h"
#include "params/profile.h"

namespace qx17::ctl {

namespace {

// "COM3", "com12": what a port is called, not a profile.
bool IsComName(const std::string& name) {
    return name.size() > 3 && (name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'o' &&
           (name[2] | 0x20) == 'm' && name.find_first_not_of("0123456789", 3) == std::string::npos;
}

[[noreturn]] void Swapped(const std::string& name, const char* what) {
    throw BadProfile(name + " is a " + what +
                     ", not a profile file: are PORT and PROFILE swapped?");
}

[[noreturn]] void CannotRead(const std::filesystem::path& file, const std::error_code& error) {
    if (IsComName(file.string()) && error == std::errc::no_such_file_or_directory) {
        Swapped(file.string(), "port");
    }
    throw BadProfile(file.string() + ": cannot read the profile (" + error.message() + ").");
}

}  // namespace

FieldValues LoadProfile(const std::filesystem::path& file, std::string* bytes) {
    // Only a regular file is opened: reading a serial device would raise its
    // lines and wait for bytes that never end.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(file, error);
    if (std::filesystem::is_character_file(status)) {
        Swapped(file.string(), "device");
    }
    if (std::filesystem::is_directory(status)) {
        CannotRead(file, std::make_error_code(std::errc::is_a_directory));
    }
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        throw BadProfile(file.string() + ": cannot read the profile (not a regular file).");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        CannotRead(file, std::error_code(errno, std::generic_category()));
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        CannotRead(file, std::error_code(errno, std::generic_category()));
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
    // It holds the tracker's passwords: a new profile is its owner's alone.
    if (!ReplaceFileAtomically(file, SerializeProfile(values), error, /*owner_only=*/true)) {
        throw std::runtime_error(file.string() + ": cannot write the profile: " + error);
    }
}

}  // namespace qx17::ctl
