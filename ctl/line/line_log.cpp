#include "ctl/line/line_log.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <utility>

#include "ctl/files/csv.h"
#include "ctl/files/durable_file.h"

namespace qx17::ctl {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTime = 0;
constexpr std::size_t kPort = 1;
constexpr std::size_t kIdBefore = 2;
constexpr std::size_t kIdWritten = 3;
constexpr std::size_t kOutcome = 4;
constexpr std::size_t kSeconds = 6;

// Holds the file's append lock for a scope.
class Locked {
  public:
    explicit Locked(AppendFile& file)
        : file_(file), held_(file.Lock(FileLock::kAppend, true, true)) {}
    ~Locked() {
        if (held_) {
            file_.Unlock(FileLock::kAppend);
        }
    }
    bool Held() const { return held_; }

  private:
    AppendFile& file_;
    const bool held_;
};

bool IsIdOrEmpty(const std::string& id) {
    return id.empty() || IdNumber(id).has_value();
}

std::string RowKey(const std::array<std::string, kLogColumns.size()>& fields) {
    return fields[kTime] + '\n' + fields[kPort] + '\n' + fields[kIdBefore] + '\n' +
           fields[kIdWritten];
}

std::string NewClaimName() {
    std::random_device random;
    char name[24];
    std::snprintf(name, sizeof name, "%08x%08x", random(), random());
    return name;
}

// The record cannot take what it was given: the line stops with exit 6.
bool CannotWrite(LineLog::Failure& failure) {
    failure = LineLog::Failure::kCannotWrite;
    return false;
}
bool CannotWrite(std::string& error, LineLog::Failure& failure, std::string why) {
    error = std::move(why);
    return CannotWrite(failure);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

fs::path ClaimsPathOf(const fs::path& file) {
    std::error_code ignored;
    const fs::path real = fs::weakly_canonical(file, ignored);
    return (real.empty() ? file : real).string() + ".claims";
}

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

LineLog::LineLog(fs::path path, std::unique_ptr<AppendFile> log, std::unique_ptr<AppendFile> claims)
    : path_(std::move(path)), log_(std::move(log)), claims_(std::move(claims)) {}

std::unique_ptr<LineLog> LineLog::Open(const fs::path& file, std::string& error, Failure& failure) {
    failure = Failure::kRefused;
    std::unique_ptr<AppendFile> log = AppendFile::Open(file, error);
    if (!log) {
        error = file.string() + ": " + error;
        return nullptr;
    }
    const fs::path claims_path = ClaimsPathOf(file);
    std::unique_ptr<AppendFile> claims = AppendFile::Open(claims_path, error);
    if (!claims) {
        error = claims_path.string() + ": " + error;
        return nullptr;
    }
    return OpenOn(file, std::move(log), std::move(claims), error, failure);
}

std::unique_ptr<LineLog> LineLog::OpenOn(const fs::path& file, std::unique_ptr<AppendFile> log,
                                         std::unique_ptr<AppendFile> claims, std::string& error,
                                         Failure& failure) {
    failure = Failure::kRefused;
    std::unique_ptr<LineLog> opened(new LineLog(file, std::move(log), std::move(claims)));
    AppendFile& f = *opened->log_;
    // Alone on the file: the claims that no process is working on any more
    // are settled. Otherwise the others' claims stay theirs.
    const bool alone = f.Lock(FileLock::kUsers, true, false);
    {
        Locked lock(f);
        if (!lock.Held()) {
            error = file.string() + ": cannot lock the log";
            return nullptr;
        }
        if (!opened->CatchUp(error, failure)) {
            return nullptr;
        }
        if (alone && !opened->SettleClaims(error)) {
            failure = Failure::kCannotWrite;
            return nullptr;
        }
    }
    if (!f.Lock(FileLock::kUsers, false, true)) {
        error = file.string() + ": cannot lock the log";
        return nullptr;
    }
    return opened;
}

LineLog::~LineLog() {
    // The last one out settles what a crashed process left.
    if (log_->Lock(FileLock::kUsers, true, false)) {
        Locked lock(*log_);
        std::string error;
        Failure failure;
        if (lock.Held() && CatchUp(error, failure)) {
            (void)SettleClaims(error);
        }
    }
    log_->Unlock(FileLock::kUsers);
    log_->Unlock(FileLock::kIds);
}

std::string LineLog::Where(std::size_t line) const {
    return path_.string() + ":" + std::to_string(line) + ": ";
}

bool LineLog::CatchUp(std::string& error, Failure& failure) {
    return CatchUpLog(error, failure) && CatchUpClaims(error, failure);
}

void LineLog::UseId(const std::string& id) {
    if (!id.empty() && ids_seen_.insert(id).second) {
        ids_.push_back(id);
        if (sequence_) {
            sequence_->Use(id);
        }
    }
}

void LineLog::TakeRow(const Fields& fields) {
    UseId(fields[kIdWritten]);
    row_keys_.insert(RowKey(fields));
    // A row whose tracker kept the ID it came with gave it nothing.
    if (!fields[kIdWritten].empty() && fields[kIdWritten] != fields[kIdBefore]) {
        written_.insert(fields[kIdWritten]);
        NoteGiven(given_, fields[kIdWritten]);
    }
}

bool LineLog::CatchUpLog(std::string& error, Failure& failure) {
    failure = Failure::kRefused;
    std::string content;
    if (!log_->ReadFrom(log_read_, content)) {
        return CannotWrite(error, failure, path_.string() + ": cannot read the log");
    }
    if (log_read_ == 0 && content.empty()) {
        if (!log_->Append(kLogHeader, error)) {
            return CannotWrite(error, failure, path_.string() + ": " + error);
        }
        order_ = {0, 1, 2, 3, 4, 5, 6};
        log_read_ = std::string_view(kLogHeader).size();
        log_line_ = 2;
        return true;
    }
    if (log_read_ == 0) {
        line_end_ = LineEndOf(content);
    }
    const std::vector<CsvRecord> records = ParseCsv(content, log_line_);
    // A crash tears the last line of a row, and a line end ends any row this
    // program writes. A record that holds a line end, or a header whose
    // quote is left open, is not what a crash left: refused, not cut. A row
    // whose quote is open on its last line is torn inside that quote.
    bool open_quote = false;
    if (!records.empty() && !records.back().ended) {
        const CsvRecord& last = records.back();
        open_quote = !ParseCsv(content.substr(last.begin) + line_end_).back().ended;
        if (content.find_first_of("\r\n", last.begin) != std::string::npos ||
            (open_quote && order_.empty() && records.size() == 1)) {
            error = Where(last.line) +
                    "the log ends inside this record, which is not a row a crash tore (a quote "
                    "left open?)";
            return false;
        }
    }
    std::size_t taken = 0;  // bytes of content read for good
    std::size_t i = 0;
    if (order_.empty()) {
        // The header: each column named once, in any order.
        const CsvRecord* header = records.empty() ? nullptr : &records[0];
        if (header && !header->ended &&
            std::string_view(kLogHeader).substr(0, content.size()) == content) {
            // A header torn while the log was being made: made again.
            if (!log_->TruncateTo(0)) {
                return CannotWrite(error, failure,
                                   path_.string() + ": cannot make the header again");
            }
            return CatchUpLog(error, failure);
        }
        std::vector<std::size_t> order;
        bool known = header != nullptr;
        for (std::size_t k = 0; known && k < header->fields.size(); ++k) {
            std::size_t column = 0;
            while (column < kLogColumns.size() && header->fields[k] != kLogColumns[column]) {
                ++column;
            }
            known = column < kLogColumns.size() &&
                    std::find(order.begin(), order.end(), column) == order.end();
            order.push_back(column);
        }
        if (!known || order.size() != kLogColumns.size()) {
            error = Where(header ? header->line : 1) +
                    "not the header of a line log: it names the columns time, port, id_before, "
                    "id_written, outcome, differences and seconds, each once";
            return false;
        }
        if (!header->ended) {
            if (!log_->Append(line_end_, error)) {
                return CannotWrite(error, failure, path_.string() + ": " + error);
            }
            content += line_end_;
        }
        order_ = order;
        i = 1;
    }
    for (; i < records.size(); ++i) {
        const CsvRecord& record = records[i];
        Fields fields;
        for (std::size_t k = 0; k < record.fields.size() && k < order_.size(); ++k) {
            fields[order_[k]] = record.fields[k];
        }
        // Where the fields of an interrupted row end in this file's rows
        // (time, port and both IDs), and whether the row went on past them
        // (then they are whole).
        std::size_t kept_end = 0;
        for (std::size_t column : {kTime, kPort, kIdBefore, kIdWritten}) {
            kept_end = std::max(
                kept_end, static_cast<std::size_t>(std::find(order_.begin(), order_.end(), column) -
                                                   order_.begin()));
        }
        const bool whole = record.fields.size() >= order_.size() && !(open_quote && !record.ended);
        if (whole && !CheckRow(record, fields, error)) {
            return false;
        }
        if (!record.ended) {
            // The end of the file, left by a crash or saved without its end.
            if (whole) {
                if (!log_->Append(line_end_, error)) {
                    return CannotWrite(error, failure, path_.string() + ": " + error);
                }
                content += line_end_;
                TakeRow(fields);
                taken = content.size();
                break;
            }
            if (!log_->TruncateTo(log_read_ + record.begin)) {
                return CannotWrite(error, failure,
                                   path_.string() + ": cannot cut off the torn row at line " +
                                       std::to_string(record.line));
            }
            content.resize(record.begin);
            taken = content.size();
            if (record.fields.size() > kept_end + 1 && IdNumber(fields[kIdWritten])) {
                Fields kept;
                for (std::size_t column : {kTime, kPort, kIdBefore, kIdWritten}) {
                    kept[column] = fields[column];
                }
                kept[kOutcome] = "interrupted";
                Advance(content, taken);
                if (!AppendRow(kept, error)) {
                    return CannotWrite(failure);
                }
                return true;  // AppendRow read past what it wrote
            }
            break;
        }
        if (!whole && !CheckRow(record, fields, error)) {
            return false;
        }
        TakeRow(fields);
        taken = i + 1 < records.size() ? records[i + 1].begin : content.size();
    }
    if (records.size() == 1 && i == 1) {
        taken = content.size();  // the header alone
    }
    Advance(content, taken);
    return true;
}

bool LineLog::CheckRow(const CsvRecord& record, const Fields& fields, std::string& error) const {
    if (record.fields.size() != order_.size()) {
        error = Where(record.line) + std::to_string(record.fields.size()) +
                " fields where the header has " + std::to_string(order_.size());
        return false;
    }
    if (!IsIdOrEmpty(fields[kIdWritten])) {
        error = Where(record.line) + "id_written " + Quoted(fields[kIdWritten]) +
                " is not an ID of 1 to 14 digits";
        return false;
    }
    return true;
}

void LineLog::Advance(const std::string& content, std::size_t taken) {
    for (std::size_t k = 0; k < taken; ++k) {
        if (content[k] == '\n' ||
            (content[k] == '\r' && (k + 1 >= taken || content[k + 1] != '\n'))) {
            ++log_line_;
        }
    }
    log_read_ += taken;
}

bool LineLog::CatchUpClaims(std::string& error, Failure& failure) {
    failure = Failure::kRefused;
    std::string content;
    if (!claims_->ReadFrom(claims_read_, content)) {
        return CannotWrite(error, failure, path_.string() + ".claims: cannot read the claims");
    }
    const std::vector<CsvRecord> records = ParseCsv(content, claims_line_);
    std::size_t taken = 0;
    for (const CsvRecord& record : records) {
        if (!record.ended) {
            // A claim whose write never ended: its tracker was never sent it.
            // One that holds a line end is not a claim a crash tore.
            if (content.find_first_of("\r\n", record.begin) != std::string::npos) {
                error = path_.string() + ".claims:" + std::to_string(record.line) +
                        ": not a claim of this program";
                return false;
            }
            if (!claims_->TruncateTo(claims_read_ + record.begin)) {
                return CannotWrite(error, failure,
                                   path_.string() + ".claims: cannot cut off a torn claim");
            }
            break;
        }
        const std::vector<std::string>& f = record.fields;
        // Every claim this program writes has its time, and an ID or nothing.
        if (f.size() == 6 && f[0] == "claim" && !f[2].empty() && IsIdOrEmpty(f[5])) {
            PendingClaim& claim = claims_seen_[f[1]];
            claim.fields[kTime] = f[2];
            claim.fields[kPort] = f[3];
            claim.fields[kIdBefore] = f[4];
            claim.fields[kIdWritten] = f[5];
            UseId(f[5]);
            if (f[5] != f[4]) {
                NoteGiven(given_, f[5]);
            }
        } else if (f.size() == 2 && f[0] == "done") {
            claims_seen_[f[1]].done = true;
        } else {
            error = path_.string() + ".claims:" + std::to_string(record.line) +
                    ": not a claim of this program";
            return false;
        }
        ++claims_line_;
        taken = (&record == &records.back()) ? content.size() : (&record + 1)->begin;
    }
    claims_read_ += taken;
    return true;
}

bool LineLog::SettleClaims(std::string& error) {
    for (auto& [name, claim] : claims_seen_) {
        if (claim.done || claim.fields[kTime].empty() ||
            row_keys_.count(RowKey(claim.fields)) != 0) {
            continue;
        }
        Fields row = claim.fields;
        row[kOutcome] = "interrupted";
        if (!AppendRow(row, error)) {
            return false;
        }
    }
    if (!claims_->TruncateTo(0)) {
        error = path_.string() + ".claims: cannot empty the settled claims";
        return false;
    }
    claims_seen_.clear();
    claims_read_ = 0;
    claims_line_ = 1;
    return true;
}

bool LineLog::AppendRow(const Fields& fields, std::string& error) {
    std::string line;
    for (std::size_t k = 0; k < order_.size(); ++k) {
        line += (k == 0 ? "" : ",") + CsvField(fields[order_[k]]);
    }
    line += line_end_;
    if (!log_->Append(line, error)) {
        error = path_.string() + ": " + error;
        return false;
    }
    TakeRow(fields);
    log_read_ += line.size();
    log_line_ += 1;
    return true;
}

bool LineLog::GiveIds(const std::string& start, bool new_series, std::string& error) {
    std::lock_guard one(mutex_);
    IdSequence sequence(start);
    for (const std::string& id : ids_) {
        sequence.Use(id);
    }
    if (const std::string problem =
            SeriesProblem(start, sequence.NextFree().value_or(start), given_);
        !problem.empty() && !new_series) {
        error = path_.string() + ": " + problem;
        return false;
    }
    if (!log_->Lock(FileLock::kIds, true, false)) {
        error = path_.string() + ": another qx17ctl line gives out IDs from this log";
        return false;
    }
    sequence_ = std::move(sequence);
    return true;
}

bool LineLog::HasFreeIds(std::size_t n) {
    std::lock_guard one(mutex_);
    return sequence_ && sequence_->HasFree(n);
}

LineLog::ClaimResult LineLog::Claim(LogRow& row, std::string& claim, std::string& error) {
    std::lock_guard one(mutex_);
    Locked lock(*log_);
    Failure failure;
    if (!lock.Held()) {
        error = path_.string() + ": cannot lock the log";
        return ClaimResult::kFailed;
    }
    if (!CatchUp(error, failure)) {
        return ClaimResult::kFailed;
    }
    if (sequence_ && row.holds_profile && written_.count(row.id_before) != 0) {
        row.id_written = row.id_before;
    } else if (sequence_) {
        const std::optional<std::string> id = sequence_->NextFree();
        if (!id) {
            return ClaimResult::kNoIdLeft;
        }
        row.id_written = *id;
    }
    claim = NewClaimName();
    const std::string text = "claim," + claim + "," + UtcTimestamp(row.time) + "," +
                             CsvField(row.port) + "," + CsvField(row.id_before) + "," +
                             CsvField(row.id_written) + "\n";
    if (!claims_->Append(text, error)) {
        error = path_.string() + ".claims: " + error;
        return ClaimResult::kFailed;
    }
    // Read back in at the next look, like any other process's claim.
    return CatchUpClaims(error, failure) ? ClaimResult::kClaimed : ClaimResult::kFailed;
}

bool LineLog::Append(const LogRow& row, const std::string& claim, std::string& error) {
    std::lock_guard one(mutex_);
    Locked lock(*log_);
    Failure failure;
    if (!lock.Held()) {
        error = path_.string() + ": cannot lock the log";
        return false;
    }
    // What a crashed process left at the end is mended before this row goes after it.
    if (!CatchUp(error, failure)) {
        return false;
    }
    Fields fields;
    fields[kTime] = UtcTimestamp(row.time);
    fields[kPort] = row.port;
    fields[kIdBefore] = row.id_before;
    fields[kIdWritten] = row.id_written;
    fields[kOutcome] = row.outcome;
    for (const std::string& name : row.differences) {
        fields[5] += (fields[5].empty() ? "" : ";") + name;
    }
    if (row.seconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", *row.seconds);
        fields[kSeconds] = seconds;
    }
    if (!AppendRow(fields, error)) {
        return false;
    }
    if (!claim.empty()) {
        // Were this lost, the row itself ends the claim when it is settled.
        std::string ignored;
        if (claims_->Append("done," + claim + "\n", ignored)) {
            (void)CatchUpClaims(ignored, failure);
        }
    }
    return true;
}

}  // namespace qx17::ctl
