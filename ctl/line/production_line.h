// The production line: on every port at once, wait for a tracker to
// announce itself, give it the profile (read, merge, write, verify), log it,
// and wait for the next one. Each port has its own thread, link and state;
// they share the log, the ID sequence and the count, nothing else.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ctl/link/tracker_link.h"
#include "ctl/record/shared_record.h"
#include "params/field_values.h"
#include "serial/serial_port.h"

namespace qx17::ctl {

class Progress;

struct LineOptions {
    std::vector<std::string> ports;
    FieldValues profile;
    std::optional<std::filesystem::path> log;
    // The shared record (an ODBC connection string) where IDs come from and
    // rows go; `log` then gets the same rows as a local copy.
    std::optional<std::string> record;
    std::string station;       // this station's name in the record
    std::string profile_text;  // the profile file's bytes, kept in the record
    std::string profile_name;  // its file name, as the board shows it
    std::string rows_to;       // where the rows go, in words (no password)
    // Where rows wait while the record is away (empty: they cannot wait).
    std::filesystem::path outbox;
    RecordTimes record_times;             // how long a silent network may hold a call
    std::optional<long> count;            // stop after this many trackers in all
    std::optional<std::string> id_start;  // give each tracker the next ID
    bool new_series = false;              // id_start may begin another series in the record
    LinkTimes times;
    std::chrono::milliseconds reopen_every{1000};  // a lost port is opened again
    // Run after each tracker's row is durable, with the tracker in its
    // environment; stopped past its time.
    std::optional<std::string> on_done;
    std::chrono::milliseconds on_done_timeout{30000};
};

// Runs until the count is reached or Ctrl-C (which lets every tracker in
// progress finish; a second one interrupts them, and stops every wait for
// the record at once), or until the log cannot be written or the ID
// sequence is used up. Returns the exit code: 6 when the log could not be
// written, 2 when the sequence was used up, otherwise 0 when every tracker
// ended ok, else that of the last one that did not (a tracker the line
// stopped while it waited for the record: 130 after a second Ctrl-C, 6
// otherwise).
int RunProductionLine(const LineOptions& options, Progress& progress,
                      SerialPlatform& platform = NativeSerialPlatform());

}  // namespace qx17::ctl
