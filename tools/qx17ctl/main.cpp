// qx17ctl: reads, writes, checks and logs QX17 trackers from the command
// line, on the same serial, protocol and parameter layers as the window.
#include <CLI/CLI.hpp>

#include <iostream>

#include "params/field_rules.h"
#include "tools/qx17ctl/commands.h"
#include "tools/qx17ctl/exit_codes.h"
#include "tools/qx17ctl/port_admin.h"
#include "tools/qx17ctl/production_line.h"
#include "tools/qx17ctl/profile_file.h"
#include "tools/qx17ctl/progress.h"
#include "tools/qx17ctl/stop_request.h"

namespace {

using namespace qx17;
using namespace qx17::ctl;

const char* const kExitCodes =
    "Exit codes: 0 done; 1 verify found a difference; 2 bad usage or bad profile; 3 the port "
    "cannot be opened (or was lost); 4 the tracker did not answer in time; 5 the tracker refused "
    "a write; 130 interrupted by a second Ctrl-C.";

// --id: "profile", or the digits of a tracker ID.
IdChoice ParseId(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    if (text == "profile") {
        return {IdChoice::Kind::kProfile, ""};
    }
    return {IdChoice::Kind::kGiven, text};
}

std::string CheckIdDigits(const std::string& text) {
    if (text.empty() || !Accepts(FieldRule::kTrackerId, text)) {
        return "a tracker ID is 1 to 14 digits";
    }
    return "";
}

void AddLinkOptions(CLI::App& command, LinkTimes& times) {
    command.add_option("--retries", times.retries, "send an unanswered request again N times")
        ->default_val(1)
        ->check(CLI::Range(0, 100));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads, writes, checks and logs QX17 trackers on serial ports.", "qx17ctl"};
    app.set_version_flag("--version", std::string("qx17ctl ") + QX17_VERSION);
    app.require_subcommand(1);
    app.footer(kExitCodes);

    app.add_subcommand("ports", "list the ports and the serial devices present");

    std::string com, device;
    auto* link = app.add_subcommand("link", "make COMn the link to a serial device (POSIX)");
    link->add_option("COMn", com, "the port name")->required();
    link->add_option("DEVICE", device, "the device, e.g. /dev/serial/by-id/...")->required();
    auto* unlink = app.add_subcommand("unlink", "remove the link of COMn (POSIX)");
    unlink->add_option("COMn", com, "the port name")->required();

    TrackerTarget target;
    std::string profile_out;
    bool json = false;
    auto* read = app.add_subcommand("read", "read a tracker and print its values");
    read->add_option("PORT", target.port, "COMn, or a device path starting with /")->required();
    read->add_option("-o", profile_out, "also write the values as a profile")->type_name("PROFILE");
    read->add_flag("--json", json, "print one JSON object instead of a table");
    AddLinkOptions(*read, target.times);

    std::string profile_in, id_text;
    bool no_verify = false;
    auto* write = app.add_subcommand("write", "write a profile into a tracker and verify it");
    write->add_option("PORT", target.port, "COMn, or a device path starting with /")->required();
    write->add_option("PROFILE", profile_in, "the values to write")->required();
    write
        ->add_option("--id", id_text,
                     "the ID to give: DIGITS, or 'profile' for the profile's "
                     "(default: the tracker keeps its own)")
        ->check([](const std::string& text) {
            return text == "profile" ? std::string() : CheckIdDigits(text);
        });
    write->add_flag("--no-verify", no_verify, "do not read the tracker back");
    AddLinkOptions(*write, target.times);

    auto* reset = app.add_subcommand("default", "send the tracker its \"Default\" command");
    reset->add_option("PORT", target.port, "COMn, or a device path starting with /")->required();
    AddLinkOptions(*reset, target.times);

    LineOptions line_options;
    std::string line_profile, log_file;
    long count = 0;
    std::string id_start;
    auto* line = app.add_subcommand("line",
                                    "the production line: every tracker that announces "
                                    "itself on the ports gets the profile, verified and "
                                    "logged");
    line->add_option("PORT", line_options.ports, "the ports")->required()->expected(1, -1);
    line->add_option("--profile", line_profile, "the values to write")->required();
    line->add_option("--log", log_file, "append a CSV row per tracker")->type_name("FILE.csv");
    line->add_option("--count", count, "stop after N trackers in all")->check(CLI::PositiveNumber);
    line->add_option("--id-start", id_start, "give each tracker the next ID from DIGITS on")
        ->check(CheckIdDigits);
    AddLinkOptions(*line, line_options.times);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitDone : kExitUsage;
    }

    if (app.got_subcommand("ports")) {
        return ListPorts(std::cout);
    }
    if (app.got_subcommand("link")) {
        return LinkPort(com, device, std::cout, std::cerr);
    }
    if (app.got_subcommand("unlink")) {
        return UnlinkPort(com, std::cout, std::cerr);
    }

    InstallStopHandlers();
    Progress progress(StdoutIsTerminal());
    if (app.got_subcommand("read")) {
        std::optional<std::filesystem::path> out;
        if (!profile_out.empty()) {
            out = profile_out;
        }
        return ReadCommand(target, out, json, progress, std::cout);
    }
    if (app.got_subcommand("write")) {
        return WriteCommand(target, profile_in, ParseId(id_text), !no_verify, progress, std::cout);
    }
    if (app.got_subcommand("default")) {
        return DefaultCommand(target, progress, std::cout);
    }
    try {
        line_options.profile = LoadProfile(line_profile);
    } catch (const BadProfile& e) {
        progress.Message(e.what());
        return kExitUsage;
    }
    if (!log_file.empty()) {
        line_options.log = log_file;
    }
    if (count > 0) {
        line_options.count = count;
    }
    if (!id_start.empty()) {
        line_options.id_start = id_start;
    }
    return RunProductionLine(line_options, progress);
}
