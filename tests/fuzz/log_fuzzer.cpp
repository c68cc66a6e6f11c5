// The production line's log and claims reader, the real LineLog on two files
// in memory, under any log and claims file, and then the line's own work on
// them: a tracker's claim and its row (or its claim alone, as a killed line
// leaves it), and the next start. It checks:
// - an open is refused with the file (the log or its claims) and the line,
//   and the refusal changes neither file;
// - after an open the log is whole lines: no torn row is left at its end;
// - the last one out leaves no claim behind, and reopening the log then
//   reads it without a change;
// - what `record import` reads of the log and claims before and of the log
//   after holds the same IDs with the same outcomes (an open claim is an
//   interrupted row), and the tracker's row;
// - a crash tears only the last line: what an open cuts off holds no line
//   end;
// - a claimed ID is used by nothing else, unless the tracker keeps its own;
//   the tracker's row (or its interrupted row) is read back with its fields;
// - nothing crashes or reads outside a buffer (AddressSanitizer).
//
// The input: the log, the claims, then the tracker's port, ID, --id-start
// (empty: IDs are not given out), outcome, differences (';' between them)
// and flags ('h': it holds the profile, 's': seconds known, 'k': the line
// is killed after the claim), all separated by NULs. With two parts or
// fewer, only the opens.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ctl/files/csv.h"
#include "ctl/files/durable_file.h"
#include "ctl/line/id_sequence.h"
#include "ctl/line/line_log.h"
#include "ctl/record/log_import.h"

namespace {

using qx17::ctl::AppendFile;
using qx17::ctl::FileLock;
using qx17::ctl::ImportedRow;
using qx17::ctl::LineLog;

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "log_fuzzer: %s\n", what.c_str());
    std::abort();
}

// A file in memory. Nothing else uses it: every lock is had at once. A
// crash tears only the last line, so a cut never takes a line end, unless
// it empties a claims file whose claims are settled.
class MemoryFile final : public AppendFile {
  public:
    MemoryFile(std::string& content, bool claims) : content_(content), claims_(claims) {}
    bool Lock(FileLock, bool, bool) override { return true; }
    void Unlock(FileLock) override {}
    bool ReadFrom(std::uint64_t offset, std::string& content) override {
        if (offset > content_.size()) {
            Broken("read from beyond the end of a file");
        }
        content = content_.substr(offset);
        return true;
    }
    bool Append(std::string_view text, std::string&) override {
        content_ += text;
        return true;
    }
    bool TruncateTo(std::uint64_t size) override {
        if (size > content_.size()) {
            Broken("a file cut to beyond its end");
        }
        if ((size > 0 || !claims_) && content_.find_first_of("\r\n", size) != std::string::npos) {
            Broken("a cut took a whole line");
        }
        content_.resize(size);
        return true;
    }

  private:
    std::string& content_;
    const bool claims_;
};

struct Files {
    std::string log;
    std::string claims;
};

std::unique_ptr<LineLog> Opened(Files& files, std::string& error) {
    LineLog::Failure failure;
    std::unique_ptr<LineLog> log =
        LineLog::OpenOn("line.csv", std::make_unique<MemoryFile>(files.log, false),
                        std::make_unique<MemoryFile>(files.claims, true), error, failure);
    if (!log && failure != LineLog::Failure::kRefused) {
        Broken("files that cannot fail reported as not writable: " + error);
    }
    return log;
}

// "line.csv:LINE: " or "line.csv.claims:LINE: ".
bool NamesFileAndLine(const std::string& error, bool& claims) {
    std::size_t at = 0;
    if (error.rfind("line.csv.claims:", 0) == 0) {
        claims = true;
        at = 16;
    } else if (error.rfind("line.csv:", 0) == 0) {
        claims = false;
        at = 9;
    } else {
        return false;
    }
    const std::size_t digits = error.find_first_not_of("0123456789", at);
    return digits != at && digits != std::string::npos && error.compare(digits, 2, ": ") == 0;
}

void CheckWholeLines(const std::string& log) {
    const std::vector<qx17::ctl::CsvRecord> records = qx17::ctl::ParseCsv(log);
    if (records.empty()) {
        Broken("an open left the log without its header");
    }
    for (const qx17::ctl::CsvRecord& record : records) {
        if (!record.ended) {
            Broken("an open left a torn row at the log's end");
        }
    }
}

std::vector<ImportedRow> Imported(const Files& files, bool& read) {
    std::vector<ImportedRow> rows;
    std::string error;
    read = qx17::ctl::ReadLogForImport(files.log, files.claims, "line.csv", "line.csv.claims", rows,
                                       error);
    return rows;
}

// The rows' IDs and outcomes.
std::multiset<std::pair<std::string, std::string>> Outcomes(const std::vector<ImportedRow>& rows) {
    std::multiset<std::pair<std::string, std::string>> outcomes;
    for (const ImportedRow& row : rows) {
        outcomes.emplace(row.id_written, row.outcome);
    }
    return outcomes;
}

std::string Trimmed(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return "";
    }
    return std::string(text.substr(begin, text.find_last_not_of(" \t") + 1 - begin));
}

std::vector<std::string> Split(std::string_view text, char at) {
    std::vector<std::string> parts;
    for (std::size_t begin = 0;;) {
        const std::size_t end = text.find(at, begin);
        parts.emplace_back(text.substr(begin, end - begin));
        if (end == std::string_view::npos) {
            return parts;
        }
        begin = end + 1;
    }
}

// A tracker as the line would have it: its row's fields and the names of
// its differences never begin or end with a blank (the log's reader ignores
// blanks around fields), and no name is empty.
struct Tracker {
    qx17::ctl::LogRow row;
    std::string start;
    bool killed = false;
};

Tracker TrackerOf(const std::vector<std::string>& parts) {
    const auto part = [&](std::size_t k) { return k < parts.size() ? parts[k] : std::string(); };
    Tracker tracker;
    qx17::ctl::LogRow& row = tracker.row;
    row.time = std::chrono::system_clock::time_point(std::chrono::seconds(1796742312));
    row.port = Trimmed(part(2));
    row.id_before = Trimmed(part(3));
    tracker.start = part(4);
    row.outcome = Trimmed(part(5));
    if (row.outcome.empty()) {
        row.outcome = "ok";
    }
    for (const std::string& name : Split(part(6), ';')) {
        if (!Trimmed(name).empty()) {
            row.differences.push_back(Trimmed(name));
        }
    }
    const std::string flags = part(7);
    row.holds_profile = flags.find('h') != std::string::npos;
    if (flags.find('s') != std::string::npos) {
        row.seconds = 12.5;
    }
    tracker.killed = flags.find('k') != std::string::npos;
    return tracker;
}

// Claims the tracker's ID and appends its row, or only claims it; false
// when no ID is left.
bool Work(LineLog& log, Tracker& tracker) {
    std::string error;
    qx17::ctl::LogRow& row = tracker.row;
    const bool giving = qx17::ctl::IdNumber(tracker.start).has_value();
    if (giving && !log.GiveIds(tracker.start, true, error)) {
        Broken("IDs not given out from a log no one else uses: " + error);
    }
    const std::vector<std::string> used = log.WrittenIds();
    std::string claim;
    switch (log.Claim(row, claim, error)) {
        case LineLog::ClaimResult::kClaimed:
            break;
        case LineLog::ClaimResult::kNoIdLeft:
            if (!giving) {
                Broken("no ID left while giving out none");
            }
            return false;
        default:
            Broken("a claim failed on files that cannot fail: " + error);
    }
    if (giving && !qx17::ctl::IdNumber(row.id_written)) {
        Broken("a claim gave something else than an ID");
    }
    const bool kept = row.holds_profile && row.id_written == row.id_before;
    for (const std::string& id : used) {
        if (!row.id_written.empty() && id == row.id_written && !kept) {
            Broken("an ID in use was claimed again");
        }
    }
    if (!tracker.killed && !log.Append(row, claim, error)) {
        Broken("a row not appended to files that cannot fail: " + error);
    }
    return true;
}

std::string Outcome(const Tracker& tracker) {
    return tracker.killed ? "interrupted" : tracker.row.outcome;
}

bool HasRow(const std::vector<ImportedRow>& rows, const Tracker& tracker) {
    const qx17::ctl::LogRow& row = tracker.row;
    std::string differences;
    std::string seconds;
    if (!tracker.killed) {
        for (const std::string& name : row.differences) {
            differences += (differences.empty() ? "" : ";") + name;
        }
        if (row.seconds) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f", *row.seconds);
            seconds = text;
        }
    }
    const std::string outcome = Outcome(tracker);
    for (const ImportedRow& read : rows) {
        if (read.time == qx17::ctl::UtcTimestamp(row.time) && read.port == row.port &&
            read.id_before == row.id_before && read.id_written == row.id_written &&
            read.outcome == outcome && read.differences == differences && read.seconds == seconds) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> parts =
        Split(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
    Files files{parts[0], parts.size() > 1 ? parts[1] : std::string()};
    const Files given = files;
    bool imported_before = false;
    const auto outcomes_before = Outcomes(Imported(given, imported_before));

    std::string error;
    std::unique_ptr<LineLog> log = Opened(files, error);
    if (!log) {
        bool claims = false;
        if (!NamesFileAndLine(error, claims)) {
            Broken("a refusal without its file and line: " + error);
        }
        if (files.claims != given.claims || (!claims && files.log != given.log)) {
            Broken("a refused open changed a file");
        }
        return 0;
    }
    CheckWholeLines(files.log);
    Tracker tracker = TrackerOf(parts);
    const bool worked = parts.size() > 2 && Work(*log, tracker);
    log.reset();
    if (!files.claims.empty()) {
        Broken("the last one out left claims");
    }

    const Files closed = files;
    log = Opened(files, error);
    if (!log) {
        Broken("a log the line left is refused: " + error);
    }
    log.reset();
    if (files.log != closed.log || !files.claims.empty()) {
        Broken("reopening the log changed it");
    }

    bool imported = false;
    const std::vector<ImportedRow> rows = Imported(files, imported);
    if (!imported) {
        Broken("a log the line left is not one an import reads");
    }
    if (worked && !HasRow(rows, tracker)) {
        Broken("the tracker's row is not read back");
    }
    // The same rows, the claims' as interrupted ones, and the tracker's.
    auto outcomes = Outcomes(rows);
    if (worked) {
        outcomes.erase(outcomes.find({tracker.row.id_written, Outcome(tracker)}));
    }
    if (imported_before && outcomes != outcomes_before) {
        Broken("the log's IDs and outcomes are not those it was opened with");
    }
    return 0;
}
