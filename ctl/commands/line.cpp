// qx17ctl line PORT... --profile P [--record CONNECTION [--station NAME]]
// [--log FILE.csv] [--count N] [--id-start DIGITS] [--json]: the production
// line, with the station's board on a terminal.
#include <cstdint>
#include <cstdio>
#include <memory>

#include "ctl/board/board.h"
#include "ctl/board/json_events.h"
#include "ctl/commands/commands.h"
#include "ctl/commands/tracker_target.h"
#include "ctl/exit_codes.h"
#include "ctl/line/production_line.h"
#include "ctl/line/station.h"
#include "ctl/output/progress.h"
#include "ctl/profiles/profile_file.h"
#include "ctl/record/connection_string.h"
#include "ctl/record/odbc.h"

namespace qx17::ctl {

namespace {

// Where this station keeps the rows that wait for `record`: one file per
// station and record (a station may use a test record and a real one).
std::filesystem::path OutboxFor(const std::string& record, const std::string& station) {
    const std::filesystem::path folder = StateFolder();
    if (folder.empty()) {
        return {};
    }
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    // Named as before the driver's logs were turned off in a string made
    // from a URI, so that rows an earlier version left waiting are found.
    std::string named = record;
    const std::string logs_off = ";CommLog=0;Debug=0";
    if (named.size() > logs_off.size() &&
        named.compare(named.size() - logs_off.size(), logs_off.size(), logs_off) == 0) {
        named.resize(named.size() - logs_off.size());
    }
    for (char c : MaskedConnection(named) + '\n' + station) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    std::string name;
    for (char c : station) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        name += plain ? c : '_';
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%016llx.outbox", static_cast<unsigned long long>(hash));
    return folder / ("record-" + name.substr(0, 40) + suffix);
}

// What the line shows: JSON Lines when asked for; the board on a terminal
// that takes its sequences; otherwise a line per event.
std::unique_ptr<Progress> LineDisplay(bool json) {
    if (json) {
        return std::make_unique<JsonEvents>();
    }
    if (StdoutIsTerminal() && StdoutTerminalSize() && EnableTerminalSequences()) {
        Board::Screen screen;
        screen.colour = Board::ColourWanted();
        screen.messages_on_board = StderrSharesTheTerminal();
        return std::make_unique<Board>(std::move(screen));
    }
    return nullptr;
}

}  // namespace

Command AddLineCommand(CLI::App& program) {
    struct Options {
        LineOptions line;
        std::string profile;
        std::string log;
        long count = 0;
        std::string id_start;
        std::string record;
        std::string station;
        bool json = false;
        std::string on_done;
        double on_done_timeout = 30;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = program.add_subcommand("line",
                                               "the production line: every tracker that announces "
                                               "itself on the ports gets the profile, verified and "
                                               "logged");
    command->add_option("PORT", options->line.ports, "the ports")->required()->expected(1, -1);
    command->add_option("--profile", options->profile, "the values to write")->required();
    command->add_option("--log", options->log, "append a CSV row per tracker")
        ->type_name("FILE.csv");
    command
        ->add_option("--record", options->record,
                     "the record shared by every station: an ODBC connection string, or a "
                     "postgresql:// URI")
        ->type_name("CONNECTION");
    command
        ->add_option("--station", options->station,
                     "this station's name in the record (default: the host name)")
        ->type_name("NAME");
    command->add_option("--count", options->count, "stop after N trackers in all")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--id-start", options->id_start,
                     "give each tracker the next ID from DIGITS on")
        ->check(CheckIdDigits);
    command->add_flag("--new-series", options->line.new_series,
                      "let --id-start begin another series: other digits, or below the IDs the "
                      "log or record gave out");
    command->add_flag("--json", options->json,
                      "print the line's events as JSON Lines on stdout (no board)");
    command
        ->add_option("--on-done", options->on_done,
                     "run COMMAND (through the shell) after each tracker's row is on the disk, "
                     "with the tracker in its environment (QX17_PORT, QX17_OUTCOME, "
                     "QX17_ID_WRITTEN ...)")
        ->type_name("COMMAND");
    command
        ->add_option("--on-done-timeout", options->on_done_timeout,
                     "stop an --on-done command still running after SECONDS (default 30)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 86400.0));
    AddLinkOptions(*command, options->line.times);
    return {command, [options] {
                return WithProgress(
                    [&](Progress& progress) {
                        LineOptions line = options->line;
                        try {
                            line.profile = LoadProfile(options->profile, &line.profile_text);
                        } catch (const BadProfile& e) {
                            progress.Message(e.what());
                            return kExitUsage;
                        }
                        line.profile_name =
                            std::filesystem::path(options->profile).filename().string();
                        line.rows_to = "no log";
                        if (!options->log.empty()) {
                            line.log = options->log;
                            line.rows_to = "log " + options->log;
                        }
                        if (!options->station.empty() && options->record.empty()) {
                            progress.Message("--station names this station in a --record.");
                            return kExitUsage;
                        }
                        if (!options->record.empty()) {
                            std::string error;
                            line.record = OdbcConnectionString(options->record,
                                                               odbc::InstalledDrivers(), error);
                            if (!line.record) {
                                progress.Message("--record: " + error + ".");
                                return kExitUsage;
                            }
                            line.station = options->station.empty() ? HostName() : options->station;
                            line.rows_to = "record: " + RecordPlace(*line.record) +
                                           (line.log ? " (and log " + options->log + ")" : "");
                            line.outbox = OutboxFor(*line.record, line.station);
                        }
                        if (options->count > 0) {
                            line.count = options->count;
                        }
                        if (!options->on_done.empty()) {
                            line.on_done = options->on_done;
                        }
                        line.on_done_timeout = std::chrono::milliseconds(
                            static_cast<long long>(options->on_done_timeout * 1000));
                        if (!options->id_start.empty()) {
                            line.id_start = options->id_start;
                        }
                        return RunProductionLine(line, progress);
                    },
                    LineDisplay(options->json));
            }};
}

}  // namespace qx17::ctl
