// The commands of qx17ctl, one file each (ctl/commands/<name>.cpp). Each
// registers its subcommand and options on the program's command line and
// returns what runs it once the line is parsed; main.cpp lists them.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "ctl/link/provisioning.h"
#include "ctl/link/tracker_link.h"
#include "ctl/record/shared_record.h"
#include "serial/serial_port.h"

namespace qx17::ctl {

class Progress;

// A subcommand on the command line and what runs it; run returns the
// program's exit code.
struct Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

Command AddPortsCommand(CLI::App& program);
Command AddLinkCommand(CLI::App& program);
Command AddUnlinkCommand(CLI::App& program);
Command AddReadCommand(CLI::App& program);
Command AddWriteCommand(CLI::App& program);
Command AddDiffCommand(CLI::App& program);
Command AddDefaultCommand(CLI::App& program);
Command AddLineCommand(CLI::App& program);
Command AddRecordCommand(CLI::App& program);

// The commands that talk to one tracker, apart from the command line.

struct TrackerTarget {
    std::string port;
    LinkTimes times;
    SerialPlatform* platform = &NativeSerialPlatform();
};

// Reads the tracker and prints its values as a table or as JSON; `profile`
// also writes them as a profile.
int ReadCommand(const TrackerTarget& target, const std::optional<std::filesystem::path>& profile,
                bool json, Progress& progress, std::ostream& out);

// Writes `profile` into the tracker: read, merge, the four write-all frames,
// and unless `verify` is false a read-back compared byte for byte.
int WriteCommand(const TrackerTarget& target, const std::filesystem::path& profile,
                 const IdChoice& id, bool verify, Progress& progress, std::ostream& out);

// What a write of `profile` would change: the tracker read, the profile
// merged as WriteCommand merges it, and the fields that differ printed (the
// passwords without their values); 0 when none would, 1 when some would.
// Nothing but the read is sent.
int DiffCommand(const TrackerTarget& target, const std::filesystem::path& profile,
                const IdChoice& id, bool json, Progress& progress, std::ostream& out);

// "Default" and its acknowledgement.
int DefaultCommand(const TrackerTarget& target, Progress& progress, std::ostream& out);

// What the shared record holds: the rows that `filter` lets through, as a
// table, CSV or JSON, or the IDs written and verified.
enum class RecordFormat { kTable, kCsv, kJson, kIds };
int RecordCommand(const std::string& connection, const RecordFilter& filter, RecordFormat format,
                  Progress& progress, std::ostream& out);
// A station's CSV log into the record.
int RecordImportCommand(const std::string& connection, const std::filesystem::path& log,
                        const std::string& station, Progress& progress, std::ostream& out);

// `record serve`: the live page, metrics and summary over HTTP until Ctrl-C.
struct RecordServeOptions {
    std::string connection;
    std::string listen = "127.0.0.1:8017";
    double interval = 1;  // seconds between the record's query rounds
    std::optional<long> plan;
    std::string day_start = "00:00";
    int max_viewers = 64;
    std::function<void(int port)> listening;  // told the port once it listens
};
int RecordServeCommand(const RecordServeOptions& options);
// `record summary`: each station's figures since `since` (HH:MM today, an
// ISO time; empty: since midnight), as a table on a terminal, CSV otherwise,
// or JSON.
int RecordSummaryCommand(const std::string& connection, const std::string& since, bool json,
                         std::ostream& out);

// The values as qx17ctl prints them.
void PrintTable(const FieldValues& values, std::ostream& out);
void PrintJson(const FieldValues& values, std::ostream& out);

}  // namespace qx17::ctl
