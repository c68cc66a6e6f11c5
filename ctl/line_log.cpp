#include "ctl/line_log.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "ctl/durable_file.h"
#include "params/text_conversions.h"

namespace qx17::ctl {

namespace {

constexpr std::uint64_t kIdLimit = 99999999999999ULL;  // 14 digits
constexpr std::size_t kIdWrittenColumn = 3;

// A CSV field, quoted when it has to be.
std::string Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char ch : text) {
        quoted += ch;
        if (ch == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// The fields of one CSV line.
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char ch = line[i];
        if (quoted) {
            if (ch == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (ch == '"') {
                quoted = false;
            } else {
                fields.back() += ch;
            }
        } else if (ch == '"') {
            quoted = true;
        } else if (ch == ',') {
            fields.emplace_back();
        } else if (ch != '\r') {
            fields.back() += ch;
        }
    }
    return fields;
}

std::optional<std::uint64_t> IdNumber(const std::string& id) {
    if (id.empty() || id.size() > 14 || !IsAllDigits(id)) {
        return std::nullopt;
    }
    return std::stoull(id);
}

// Holds the lock of `file` for a scope.
class Locked {
  public:
    explicit Locked(AppendFile& file) : file_(file), held_(file.Lock()) {}
    ~Locked() {
        if (held_) {
            file_.Unlock();
        }
    }
    bool Held() const { return held_; }

  private:
    AppendFile& file_;
    const bool held_;
};

}  // namespace

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

std::string FormatRow(const LogRow& row) {
    std::string differences;
    for (const std::string& name : row.differences) {
        differences += (differences.empty() ? "" : ";") + name;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", row.seconds);
    return UtcTimestamp(row.time) + "," + Field(row.port) + "," + Field(row.id_before) + "," +
           Field(row.id_written) + "," + row.outcome + "," + Field(differences) + "," + seconds +
           "\n";
}

LineLog::LineLog(std::unique_ptr<AppendFile> file) : file_(std::move(file)) {}

LineLog::~LineLog() = default;

std::unique_ptr<LineLog> LineLog::Open(const std::filesystem::path& path, std::string& error) {
    std::unique_ptr<AppendFile> file = AppendFile::Open(path, error);
    if (!file) {
        return nullptr;
    }
    {
        Locked lock(*file);
        std::string content;
        if (!lock.Held() || !file->DropTornTail() || !file->ReadAll(content) ||
            (content.empty() && !file->Append(kLogHeader))) {
            error = "cannot prepare the log";
            return nullptr;
        }
    }
    return std::unique_ptr<LineLog>(new LineLog(std::move(file)));
}

bool LineLog::Append(const LogRow& row) {
    Locked lock(*file_);
    return lock.Held() && file_->Append(FormatRow(row));
}

std::vector<std::string> LineLog::WrittenIds() {
    std::vector<std::string> ids;
    std::string content;
    {
        Locked lock(*file_);
        if (!lock.Held() || !file_->ReadAll(content)) {
            return ids;
        }
    }
    std::istringstream lines(content);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        const std::vector<std::string> fields = SplitLine(line);
        if (fields.size() > kIdWrittenColumn && !fields[kIdWrittenColumn].empty()) {
            ids.push_back(fields[kIdWrittenColumn]);
        }
    }
    return ids;
}

IdSequence::IdSequence(const std::string& start, const std::vector<std::string>& used)
    : next_(IdNumber(start).value_or(0)), width_(start.size()) {
    for (const std::string& id : used) {
        if (const std::optional<std::uint64_t> number = IdNumber(id)) {
            used_.insert(*number);
        }
    }
}

std::optional<std::string> IdSequence::Next() {
    while (used_.count(next_) != 0) {
        ++next_;
    }
    if (next_ > kIdLimit) {
        return std::nullopt;
    }
    used_.insert(next_);
    std::string id = std::to_string(next_);
    if (id.size() < width_) {
        id.insert(0, width_ - id.size(), '0');
    }
    ++next_;
    return id;
}

}  // namespace qx17::ctl
