#include "tools/qx17ctl/commands.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>

#include "params/ansi_text.h"
#include "tools/qx17ctl/exit_codes.h"
#include "tools/qx17ctl/field_table.h"
#include "tools/qx17ctl/profile_file.h"
#include "tools/qx17ctl/progress.h"

namespace qx17::ctl {

namespace {

// Runs `work` on the opened link and turns what can go wrong into the exit
// code and a message naming the port.
int OnTracker(const TrackerTarget& target, Progress& progress,
              const std::function<int(TrackerLink&)>& work) {
    TrackerLink link(target.port, target.times, progress, *target.platform);
    try {
        link.Open();
        const int code = work(link);
        progress.Finish();
        return code;
    } catch (const LinkError& e) {
        progress.Finish();
        progress.Message(e.what());
        return ExitCodeOf(e.Failure());
    } catch (const WriteRefused& e) {
        progress.Finish();
        progress.Message(target.port + ": " + e.what() + ".");
        return kExitRefused;
    }
}

}  // namespace

void PrintTable(const FieldValues& values, std::ostream& out) {
    for (const FieldRow& row : FieldRows()) {
        if (!row.shown) {
            continue;
        }
        char line[256];
        std::snprintf(line, sizeof line, "%-20s %-10s ", row.label, row.name);
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
            object[row.name] = row.number(values);
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

int WriteCommand(const TrackerTarget& target, const std::filesystem::path& profile_file,
                 const IdChoice& id, bool verify, Progress& progress, std::ostream& out) {
    FieldValues profile;
    try {
        profile = LoadProfile(profile_file);
    } catch (const BadProfile& e) {
        progress.Message(e.what());
        return kExitUsage;
    }
    return OnTracker(target, progress, [&](TrackerLink& link) {
        const ImageBytes tracker = ReadTracker(link);
        const WritePlan plan = MergeProfile(tracker, profile, id);
        WriteAll(link, plan.image);
        const std::string tracker_id = ImageToFields(tracker).ID;
        if (!verify) {
            progress.Finish();
            out << target.port << ": tracker " << tracker_id << " written, ID " << plan.values.ID
                << " (not verified)\n";
            return kExitDone;
        }
        const std::vector<Difference> differences = CompareWritten(plan.image, ReadTracker(link));
        progress.Finish();
        for (const Difference& d : differences) {
            progress.Message(target.port + ": " + d.name + " written \"" + AnsiToUtf8(d.written) +
                             "\", read \"" + AnsiToUtf8(d.read) + "\".");
        }
        if (!differences.empty()) {
            return kExitVerifyFailed;
        }
        out << target.port << ": tracker " << tracker_id << " written and verified, ID "
            << plan.values.ID << "\n";
        return kExitDone;
    });
}

int DefaultCommand(const TrackerTarget& target, Progress& progress, std::ostream& out) {
    return OnTracker(target, progress, [&](TrackerLink& link) {
        SendDefault(link);
        progress.Finish();
        out << target.port << ": Default acknowledged\n";
        return kExitDone;
    });
}

}  // namespace qx17::ctl
