// qx17ctl diff PORT PROFILE [--id DIGITS|profile] [--json]: what a write of
// PROFILE would change in the tracker, read and shown, nothing written.
#include <nlohmann/json.hpp>

#include <memory>

#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/exit_codes.h"
#include "ctl/output/progress.h"
#include "ctl/output/text_columns.h"
#include "ctl/profiles/field_table.h"
#include "ctl/profiles/profile_file.h"
#include "params/ansi_text.h"

namespace qx17::ctl {

namespace {

// A value as this platform's terminal shows it.
std::string Shown(const std::string& ansi) {
#ifdef _WIN32
    return ansi;  // the console's own code page
#else
    return AnsiToUtf8(ansi);
#endif
}

// One change a write would make: the field, its label, the tracker's value
// and the profile's (both empty for a password).
struct Change {
    std::string field;
    std::string label;
    std::string tracker;
    std::string profile;
    bool password = false;
};

// The profile's side is what the tracker would hold after the write, read
// from the merged image: a value the image cannot keep (the protocol of a
// GPRS that is off) shows as the tracker would then show it.
std::vector<Change> Changes(const ImageBytes& tracker, const WritePlan& plan) {
    const FieldValues before = ImageToFields(tracker);
    const FieldValues after = ImageToFields(plan.image);
    std::vector<Change> changes;
    for (const Difference& d : CompareWritten(plan.image, tracker)) {
        Change change{d.name, "", d.read, d.written, !d.password.empty()};
        for (const FieldRow& row : FieldRows()) {
            if (d.name == row.name) {
                change.label = row.label;
                change.tracker = row.Shown(before);
                change.profile = row.Shown(after);
            }
        }
        if (change.password) {
            change.tracker.clear();
            change.profile.clear();
        }
        changes.push_back(std::move(change));
    }
    return changes;
}

void PrintChanges(const std::string& port, const std::string& tracker_id,
                  const std::vector<Change>& changes, bool json, std::ostream& out) {
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const Change& c : changes) {
            nlohmann::ordered_json item = {{"field", c.field}, {"label", c.label}};
            if (c.password) {
                item["changed"] = true;  // never its values
            } else {
                item["tracker"] = AnsiToUtf8(c.tracker);
                item["profile"] = AnsiToUtf8(c.profile);
            }
            list.push_back(item);
        }
        out << nlohmann::ordered_json{{"port", port}, {"tracker", tracker_id}, {"changes", list}}
                   .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
            << "\n";
        return;
    }
    if (changes.empty()) {
        out << port << ": tracker " << tracker_id
            << " holds the profile already; a write would change nothing\n";
        return;
    }
    out << port << ": a write would change " << changes.size()
        << (changes.size() == 1 ? " field" : " fields") << " of tracker " << tracker_id << "\n";
    std::vector<std::vector<std::string>> rows = {{"FIELD", "LABEL", "TRACKER", "PROFILE"}};
    for (const Change& c : changes) {
        rows.push_back({c.field, c.label, c.password ? "(not shown)" : Shown(c.tracker),
                        c.password ? "(changed, not shown)" : Shown(c.profile)});
    }
    PrintColumns(out, rows);
}

}  // namespace

int DiffCommand(const TrackerTarget& target, const std::filesystem::path& profile_file,
                const IdChoice& id, bool json, Progress& progress, std::ostream& out) {
    FieldValues profile;
    try {
        profile = LoadProfile(profile_file);
    } catch (const BadProfile& e) {
        progress.Message(e.what());
        return kExitUsage;  // before the port is opened: nothing reaches the tracker
    }
    return OnTracker(target, progress, [&](TrackerLink& link) {
        const ImageBytes tracker = ReadTracker(link);
        const std::vector<Change> changes = Changes(tracker, MergeProfile(tracker, profile, id));
        progress.Finish();
        PrintChanges(target.port, ImageToFields(tracker).ID, changes, json, out);
        return changes.empty() ? kExitDone : kExitVerifyFailed;
    });
}

Command AddDiffCommand(CLI::App& program) {
    struct Options {
        TrackerTarget target;
        std::string profile;
        std::string id;
        bool json = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = program.add_subcommand(
        "diff", "what a write of a profile would change in a tracker (only reads it)");
    AddPortArgument(*command, options->target);
    command->add_option("PROFILE", options->profile, "the values a write would give")->required();
    AddIdOption(*command, options->id);
    command->add_flag("--json", options->json, "the changes as JSON");
    AddLinkOptions(*command, options->target.times);
    return {command, [options] {
                return WithProgress([&](Progress& progress) {
                    return DiffCommand(options->target, options->profile,
                                       ParseIdChoice(options->id), options->json, progress,
                                       std::cout);
                });
            }};
}

}  // namespace qx17::ctl
