// The commands of qx17ctl that talk to one tracker, apart from parsing the
// command line: each returns the program's exit code.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "serial/serial_port.h"
#include "tools/qx17ctl/provisioning.h"
#include "tools/qx17ctl/tracker_link.h"

namespace qx17::ctl {

class Progress;

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

// "Default" and its acknowledgement.
int DefaultCommand(const TrackerTarget& target, Progress& progress, std::ostream& out);

// The values as qx17ctl prints them.
void PrintTable(const FieldValues& values, std::ostream& out);
void PrintJson(const FieldValues& values, std::ostream& out);

}  // namespace qx17::ctl
