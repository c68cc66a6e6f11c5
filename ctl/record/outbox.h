// The rows of trackers that finished while the shared record was away: kept
// on this station's disk, each on the disk before the line goes on, until
// the record has taken them. Every row carries a key of its own, which the
// record keeps under a unique constraint, so a row sent twice (a crash
// between sending and clearing) is kept once.
//
// A line that a power cut tore (the last one, without its line end) is cut
// off when the outbox is opened: it was never on the disk whole, and the
// next row must not join it. A whole line that cannot be read is moved to
// FILE.unreadable beside it, where it counts as waiting (and is named)
// until someone has looked at it and removed that file.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/line/line_record.h"

namespace qx17::ctl {

class AppendFile;

// One row as the outbox keeps it.
struct WaitingRow {
    std::string claim;  // empty for a tracker that had no claim (a time-out before its ID)
    LogRow row;
    std::string key;      // the row's own key in the record
    std::string profile;  // the SHA-256 of its tracker's profile; empty when unknown
};

// What an outbox holds: the rows that can be read, and the lines (counted
// from 1) that cannot.
struct OutboxContent {
    std::vector<WaitingRow> rows;
    std::vector<std::size_t> unreadable;
    std::vector<std::string> unreadable_text;  // each such line, with its line end
};

// Reads an outbox's text; a last line without its line end is left out.
// Also reads the lines of earlier versions, which had no key and no profile:
// their key is made from their text, the same at every reading.
OutboxContent ParseOutbox(std::string_view content);

// The line that keeps `row`.
std::string OutboxLine(const WaitingRow& row);

// A new row key: 32 random hexadecimal digits.
std::string NewRowKey();

// Every member function may be called from any thread.
class Outbox {
  public:
    // Opens or creates the outbox `file` (and its folder) and cuts a torn
    // last line off. Null with `error`.
    static std::unique_ptr<Outbox> Open(const std::filesystem::path& file, std::string& error);
    ~Outbox();

    // Keeps `row`; on the disk before it returns.
    bool Add(const WaitingRow& row, std::string& error);
    // What waits, oldest first, and the size it was read at.
    OutboxContent Waiting(std::uint64_t& size);
    // All that was read at `size` was taken: the outbox is emptied, unless
    // rows came in since (they stay, and what was taken is sent again with
    // them, which does no harm). False with `error` when it cannot be.
    bool Clear(std::uint64_t size, std::string& error);

    // Moves the lines that cannot be read to FILE.unreadable (on the disk
    // before it returns); the next Clear takes them out of the outbox.
    bool SetAside(const std::vector<std::string>& lines, std::string& error);
    // The lines set aside so far.
    std::size_t LinesSetAside();
    // The rows it holds, as last added, read or cleared: counted without
    // reading the file, so it answers at once from any thread.
    long Rows() const { return rows_.load(); }

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path SetAsidePath() const;

  private:
    Outbox(std::filesystem::path path, std::unique_ptr<AppendFile> file, long rows);
    const std::filesystem::path path_;
    std::mutex mutex_;  // Add, Waiting and Clear one at a time; no network under it
    const std::unique_ptr<AppendFile> file_;
    std::atomic<long> rows_;
};

}  // namespace qx17::ctl
