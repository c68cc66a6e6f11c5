// The production line's record: a CSV file with a header and one row per
// tracker, appended and on the disk as each tracker ends, under a lock, so
// that two processes never interleave their rows and a crash loses at most
// the tracker in progress. It is also the record of the IDs given out.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qx17::ctl {

class AppendFile;

struct LogRow {
    std::chrono::system_clock::time_point time;
    std::string port;
    std::string id_before;
    std::string id_written;
    std::string outcome;  // ok, verify-failed, refused, timeout, port-lost, interrupted
    std::vector<std::string> differences;  // the names of the fields that differed
    double seconds = 0;
};

inline constexpr const char* kLogHeader =
    "time,port,id_before,id_written,outcome,differences,seconds\n";

// "2026-12-08T13:45:12Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point time);

// One row as a CSV line with its end.
std::string FormatRow(const LogRow& row);

class LineLog {
  public:
    // Opens or creates the log, writes the header into an empty one and cuts
    // off a row that a crash left half-written. Null with `error` set when
    // that fails.
    static std::unique_ptr<LineLog> Open(const std::filesystem::path& file, std::string& error);
    ~LineLog();

    bool Append(const LogRow& row);

    // The IDs written according to the rows now in the file.
    std::vector<std::string> WrittenIds();

  private:
    explicit LineLog(std::unique_ptr<AppendFile> file);
    std::unique_ptr<AppendFile> file_;
};

// The IDs of `--id-start`: from the start on, every number not used yet,
// with at least the start's number of digits (leading zeros kept), 14 at
// most.
class IdSequence {
  public:
    IdSequence(const std::string& start, const std::vector<std::string>& used);
    // Nothing once 14 digits are exhausted.
    std::optional<std::string> Next();

  private:
    std::uint64_t next_;
    std::size_t width_;
    std::set<std::uint64_t> used_;
};

}  // namespace qx17::ctl
