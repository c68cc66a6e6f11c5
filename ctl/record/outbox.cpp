#include "ctl/record/outbox.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

#include "ctl/files/csv.h"
#include "ctl/files/durable_file.h"

namespace qx17::ctl {

namespace {

// claim, time (seconds since 1970, UTC), port, id_before, id_written,
// outcome, differences (';' between them), seconds (empty: unknown), key,
// profile. Lines of earlier versions end after seconds.
constexpr std::size_t kFields = 10;
constexpr std::size_t kEarlierFields = 8;
// The latest time (and before 1970 the earliest) the clock can hold.
constexpr long long kLatest =
    std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max())
        .count();

std::string Joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += (out.empty() ? "" : ";") + name;
    }
    return out;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

template <typename Number>
bool ReadNumber(const std::string& text, Number& number) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, number);
    return error == std::errc() && at == end;
}

// The same 32 hexadecimal digits for the same text, every time.
std::string KeyOfText(std::string_view text) {
    std::uint64_t a = 1469598103934665603ULL;  // FNV-1a, twice, seeded apart
    std::uint64_t b = 0x9E3779B97F4A7C15ULL;
    for (char c : text) {
        a = (a ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        b = (b ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL + 0x2545F4914F6CDD1DULL;
    }
    char key[40];
    std::snprintf(key, sizeof key, "%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return key;
}

}  // namespace

std::string NewRowKey() {
    std::random_device random;
    char key[40];
    std::snprintf(key, sizeof key, "%08x%08x%08x%08x", random(), random(), random(), random());
    return key;
}

std::string OutboxLine(const WaitingRow& waiting) {
    const LogRow& row = waiting.row;
    const auto since =
        std::chrono::duration_cast<std::chrono::seconds>(row.time.time_since_epoch());
    return CsvField(waiting.claim) + "," + std::to_string(since.count()) + "," +
           CsvField(row.port) + "," + CsvField(row.id_before) + "," + CsvField(row.id_written) +
           "," + CsvField(row.outcome) + "," + CsvField(Joined(row.differences)) + "," +
           (row.seconds ? std::to_string(*row.seconds) : "") + "," + CsvField(waiting.key) + "," +
           CsvField(waiting.profile) + "\n";
}

OutboxContent ParseOutbox(std::string_view content) {
    OutboxContent read;
    const std::vector<CsvRecord> records = ParseCsv(content);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CsvRecord& record = records[i];
        if (!record.ended) {
            break;  // torn: never on the disk whole
        }
        const auto& f = record.fields;
        WaitingRow waiting;
        long long time = 0;
        double seconds = 0;
        const bool readable = (f.size() == kFields || f.size() == kEarlierFields) &&
                              ReadNumber(f[1], time) && time >= -kLatest && time <= kLatest &&
                              (f[7].empty() || ReadNumber(f[7], seconds));
        // The line's text, up to the next line: blanks after the last line
        // end are where the next line begins.
        const std::size_t end = i + 1 < records.size() ? records[i + 1].begin : content.size();
        std::string_view text = content.substr(record.begin, end - record.begin);
        if (i + 1 == records.size()) {
            text = text.substr(0, text.find_last_not_of(" \t") + 1);
        }
        if (!readable) {
            read.unreadable.push_back(record.line);
            read.unreadable_text.emplace_back(text);
            continue;
        }
        waiting.claim = f[0];
        waiting.row.time = std::chrono::system_clock::time_point(std::chrono::seconds(time));
        waiting.row.port = f[2];
        waiting.row.id_before = f[3];
        waiting.row.id_written = f[4];
        waiting.row.outcome = f[5];
        waiting.row.differences = Split(f[6]);
        if (!f[7].empty()) {
            waiting.row.seconds = seconds;
        }
        if (f.size() == kFields && !f[8].empty()) {
            waiting.key = f[8];
            waiting.profile = f[9];
        } else {
            waiting.key = KeyOfText(text);
        }
        read.rows.push_back(std::move(waiting));
    }
    return read;
}

Outbox::Outbox(std::filesystem::path path, std::unique_ptr<AppendFile> file, long rows)
    : path_(std::move(path)), file_(std::move(file)), rows_(rows) {}

Outbox::~Outbox() = default;

std::unique_ptr<Outbox> Outbox::Open(const std::filesystem::path& file, std::string& error) {
    std::error_code made;
    std::filesystem::create_directories(file.parent_path(), made);
    std::unique_ptr<AppendFile> opened = AppendFile::Open(file, error);
    if (!opened) {
        error = file.string() + ": " + error;
        return nullptr;
    }
    // One process at a time sends what waits here.
    if (!opened->Lock(FileLock::kIds, true, false)) {
        error = file.string() + ": another qx17ctl line of this station uses it";
        return nullptr;
    }
    std::string content;
    if (!opened->ReadFrom(0, content)) {
        error = file.string() + ": cannot be read";
        return nullptr;
    }
    const std::vector<CsvRecord> records = ParseCsv(content);
    if (!records.empty() && !records.back().ended && !opened->TruncateTo(records.back().begin)) {
        error = file.string() + ": cannot cut off the line a crash tore";
        return nullptr;
    }
    const long rows =
        static_cast<long>(records.size()) - (!records.empty() && !records.back().ended ? 1 : 0);
    return std::unique_ptr<Outbox>(new Outbox(file, std::move(opened), rows));
}

bool Outbox::Add(const WaitingRow& row, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!file_->Append(OutboxLine(row), error)) {
        error = path_.string() + ": " + error;
        return false;
    }
    ++rows_;
    return true;
}

OutboxContent Outbox::Waiting(std::uint64_t& size) {
    std::lock_guard lock(mutex_);
    std::string content;
    if (!file_->ReadFrom(0, content)) {
        size = 0;
        return {{}, {1}, {}};  // unreadable as a whole: it waits, where it is
    }
    size = content.size();
    OutboxContent read = ParseOutbox(content);
    rows_ = static_cast<long>(read.rows.size() + read.unreadable.size());
    return read;
}

std::filesystem::path Outbox::SetAsidePath() const {
    return path_.string() + ".unreadable";
}

bool Outbox::SetAside(const std::vector<std::string>& lines, std::string& error) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<AppendFile> aside = AppendFile::Open(SetAsidePath(), error);
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        if (text.back() != '\n' && text.back() != '\r') {
            text += '\n';
        }
    }
    if (!aside || !aside->Append(text, error)) {
        error = SetAsidePath().string() + ": " + error;
        return false;
    }
    return true;
}

std::size_t Outbox::LinesSetAside() {
    std::lock_guard lock(mutex_);
    std::error_code missing;
    if (!std::filesystem::exists(SetAsidePath(), missing)) {
        return 0;
    }
    std::string ignored;
    std::unique_ptr<AppendFile> aside = AppendFile::Open(SetAsidePath(), ignored);
    std::string content;
    if (!aside || !aside->ReadFrom(0, content)) {
        return 1;  // there, and unreadable as a whole: it still counts
    }
    return ParseCsv(content).size();
}

bool Outbox::Clear(std::uint64_t size, std::string& error) {
    std::lock_guard lock(mutex_);
    std::string content;
    if (!file_->ReadFrom(0, content)) {
        error = path_.string() + ": cannot be read";
        return false;
    }
    if (content.size() != size) {
        return true;  // rows came in meanwhile: everything stays, and is sent again
    }
    if (!file_->TruncateTo(0)) {
        error = path_.string() + ": cannot be emptied";
        return false;
    }
    rows_ = 0;
    return true;
}

}  // namespace qx17::ctl
