#include "ctl/record/outbox.h"

#include <chrono>
#include <system_error>

#include "ctl/csv.h"
#include "ctl/durable_file.h"

namespace qx17::ctl {

namespace {

// claim, time (seconds since 1970, UTC), port, id_before, id_written,
// outcome, differences (';' between them), seconds (empty: unknown).
constexpr std::size_t kFields = 8;

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

}  // namespace

Outbox::Outbox(std::filesystem::path path, std::unique_ptr<AppendFile> file)
    : path_(std::move(path)), file_(std::move(file)) {}

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
    return std::unique_ptr<Outbox>(new Outbox(file, std::move(opened)));
}

bool Outbox::Add(const std::string& claim, const LogRow& row, std::string& error) {
    const auto since =
        std::chrono::duration_cast<std::chrono::seconds>(row.time.time_since_epoch());
    std::string line = CsvField(claim) + "," + std::to_string(since.count()) + "," +
                       CsvField(row.port) + "," + CsvField(row.id_before) + "," +
                       CsvField(row.id_written) + "," + CsvField(row.outcome) + "," +
                       CsvField(Joined(row.differences)) + "," +
                       (row.seconds ? std::to_string(*row.seconds) : "") + "\n";
    if (!file_->Append(line, error)) {
        error = path_.string() + ": " + error;
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, LogRow>> Outbox::Waiting() {
    std::string content;
    std::vector<std::pair<std::string, LogRow>> waiting;
    if (!file_->ReadFrom(0, content)) {
        return waiting;
    }
    for (const CsvRecord& record : ParseCsv(content)) {
        // A line a crash cut short was never on the disk whole: its tracker's
        // claim stays and becomes an interrupted row.
        if (!record.ended || record.fields.size() != kFields) {
            continue;
        }
        const auto& f = record.fields;
        LogRow row;
        row.time = std::chrono::system_clock::time_point(std::chrono::seconds(std::stoll(f[1])));
        row.port = f[2];
        row.id_before = f[3];
        row.id_written = f[4];
        row.outcome = f[5];
        row.differences = Split(f[6]);
        if (!f[7].empty()) {
            row.seconds = std::stod(f[7]);
        }
        waiting.emplace_back(f[0], std::move(row));
    }
    return waiting;
}

bool Outbox::Clear() {
    return file_->TruncateTo(0);
}

}  // namespace qx17::ctl
