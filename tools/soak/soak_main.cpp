// make soak: the tool under faults for a while, in one table of what was
// tried and what was seen. Each part runs on its own (--part NAME) so that
// scripts/soak.sh can run parts side by side and in the sanitizer build.
#include <CLI/CLI.hpp>

#include <string>

#include "tools/soak/soak_line.h"
#include "tools/soak/soak_record.h"
#include "tools/soak/soak_serve.h"
#include "tools/soak/soak_window.h"

int main(int argc, char** argv) {
    CLI::App app{"The tool under random faults for a while: one part, one table.", "soak"};
    app.set_version_flag("--version", std::string("soak ") + QX17_VERSION);
    std::string part;
    unsigned seed = 1;
    int count = 0;  // 0: the part's own number of rounds
    app.add_option("--part", part, "the part to run")
        ->required()
        ->check(CLI::IsMember({"window", "line", "kill-saves", "kill-log", "hangups", "record",
                               "record-station", "serve", "serve-server"}));
    app.add_option("--seed", seed, "the seed of the faults; the same seed, the same faults");
    app.add_option("--count", count,
                   "rounds instead of the part's own number (1000; hangups 100; record 500; "
                   "serve: minutes, 15)")
        ->check(CLI::NonNegativeNumber);
    // record-station: one station of the record part, started by it.
    std::string station;
    std::vector<std::string> ports;
    std::string connection;
    std::string outbox;
    app.add_option("--station", station)->group("");
    app.add_option("--ports", ports)->delimiter(',')->group("");
    app.add_option("--connection", connection)->group("");
    app.add_option("--outbox", outbox)->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    using namespace qx17::soak;
    const auto rounds = [count](int normal) { return count > 0 ? count : normal; };
    Report report;
    if (part == "window") {
        report = SoakWindow(rounds(1000), seed);
    } else if (part == "line") {
        report = SoakLine(rounds(1000), seed);
    } else if (part == "kill-saves") {
        report = SoakKilledSaves(rounds(1000), seed);
    } else if (part == "kill-log") {
        report = SoakKilledLog(rounds(1000), seed);
    } else if (part == "hangups") {
        report = SoakHangups(rounds(100));
    } else if (part == "record") {
        try {
            report = SoakRecord(rounds(500), seed);
        } catch (const std::exception& e) {
            report = {"shared record, 2 stations", "", e.what(), false};
        }
    } else if (part == "serve") {
        try {
            report = SoakServe(rounds(15), seed);
        } catch (const std::exception& e) {
            report = {"record serve, viewers", "", e.what(), false};
        }
    } else if (part == "serve-server") {
        return ServeForSoak(connection);
    } else if (part == "record-station") {
        return RecordStation(station, ports, connection, outbox);
    }
    Print(report);
    return report.passed ? 0 : 1;
}
