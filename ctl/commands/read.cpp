// qx17ctl read PORT [-o PROFILE] [--json]: a tracker's values, as a table or
// as JSON, and if asked as a profile.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/exit_codes.h"
#include "ctl/output/progress.h"
#include "ctl/profiles/field_table.h"
#include "ctl/profiles/profile_file.h"
#include "params/ansi_text.h"

namespace qx17::ctl {

void PrintTable(const FieldValues& values, std::ostream& out) {
    for (const FieldRow& row : FieldRows()) {
        if (!row.shown) {
            continue;
        }
        char line[256];
        std::snprintf(line, sizeof line, "%-20s %-10s ", row.label.c_str(), row.name);
#ifdef _WIN32
        out << line << row.Shown(values) << "\n";  // the console's own code page
#else
        out << line << AnsiToUtf8(row.Shown(values)) << "\n";
#endif
    }
}

void PrintJson(const FieldValues& values, std::ostream& out) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const FieldRow& row : FieldRows()) {
        if (!row.shown) {
            continue;
        }
        if (row.IsText()) {
            object[row.name] = AnsiToUtf8(values.*row.text);
        } else {
            object[row.name] = row.Number(values);
        }
    }
    out << object.dump(2) << "\n";
}

int ReadCommand(const TrackerTarget& target, const std::optional<std::filesystem::path>& profile,
                bool json, Progress& progress, std::ostream& out) {
    return OnTracker(target, progress, [&](TrackerLink& link) {
        const FieldValues values = ImageToFields(ReadTracker(link));
        progress.Finish();
        if (profile) {
            try {
                SaveProfile(*profile, values);
            } catch (const std::runtime_error& e) {
                progress.Message(e.what());
                return kExitUsage;
            }
        }
        if (json) {
            PrintJson(values, out);
        } else {
            PrintTable(values, out);
        }
        return kExitDone;
    });
}

Command AddReadCommand(CLI::App& program) {
    struct Options {
        TrackerTarget target;
        std::string profile;
        bool json = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = program.add_subcommand("read", "read a tracker and print its values");
    AddPortArgument(*command, options->target);
    command->add_option("-o", options->profile, "also write the values as a profile")
        ->type_name("PROFILE");
    command->add_flag("--json", options->json, "print one JSON object instead of a table");
    AddLinkOptions(*command, options->target.times);
    return {command, [options] {
                return WithProgress([&](Progress& progress) {
                    std::optional<std::filesystem::path> profile;
                    if (!options->profile.empty()) {
                        profile = options->profile;
                    }
                    return ReadCommand(options->target, profile, options->json, progress,
                                       std::cout);
                });
            }};
}

}  // namespace qx17::ctl
