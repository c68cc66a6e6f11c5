// What `qx17ctl record serve` and `record summary` make of the record's
// figures: the JSON that the page and scripts read, the metrics in the
// Prometheus text format, and the table for a terminal.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "ctl/record/record_summary.h"

namespace qx17::ctl {

// Whether the record answers: since when it does or does not, and why not.
struct RecordState {
    bool up = false;
    bool no_tables = false;  // it answers, and has no tables yet
    std::string since;       // UTC
    std::string why;
};

struct SummaryContext {
    RecordState record;
    std::optional<long> plan_per_hour;
    std::chrono::system_clock::time_point now;
    // A station with no tracker for this long is stopped.
    std::chrono::seconds stopped_after{600};
};

// The summary as one line of JSON (format 1).
std::string SummaryJson(const RecordSummary& summary, const SummaryContext& context);

// The metrics, each with its HELP and TYPE.
std::string MetricsText(const RecordSummary& summary, const RecordState& record,
                        const std::string& version);

// The stations' figures as a table with a header line (`csv`: as CSV).
std::string SummaryTable(const RecordSummary& summary, const SummaryContext& context, bool csv);

}  // namespace qx17::ctl
