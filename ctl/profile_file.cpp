#include "ctl/profile_file.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "params/ansi_text.h"
#include "params/field_descriptors.h"
#include "params/file_io.h"
#include "params/profile.h"
#include "params/registry.h"

namespace qx17::ctl {

std::vector<std::string> RuleProblems(const FieldValues& values) {
    std::vector<std::string> problems;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (!field.rule) {
            continue;
        }
        const std::string& value = values.*field.text;
        if (!Accepts(*field.rule, value)) {
            problems.push_back(std::string(field.name) + " (\"" + field.label + "\") \"" +
                               AnsiToUtf8(value) + "\" breaks its rule: " + RuleText(*field.rule));
        }
    }
    return problems;
}

FieldValues LoadProfile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw BadProfile(file.string() + ": cannot read the profile.");
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FieldValues values;
    std::size_t found = 0;
    try {
        values = ParseProfile(bytes, &found);
    } catch (const ERegistryException& e) {
        throw BadProfile(file.string() + ": " + e.what() + ".");
    }
    if (found == 0) {
        // Not a profile (another file, or another key): its defaults would
        // go to every tracker.
        throw BadProfile(file.string() + ": no values under [" + kSettingsSection + "].");
    }
    const std::vector<std::string> problems = RuleProblems(values);
    if (!problems.empty()) {
        std::string message;
        for (const std::string& problem : problems) {
            message += (message.empty() ? "" : "\n") + file.string() + ": " + problem;
        }
        throw BadProfile(message);
    }
    return values;
}

void SaveProfile(const std::filesystem::path& file, const FieldValues& values) {
    std::string error;
    if (!ReplaceFileAtomically(file, SerializeProfile(values), error)) {
        throw std::runtime_error(file.string() + ": cannot write the profile: " + error);
    }
}

}  // namespace qx17::ctl
