// The rows of trackers that finished while the shared record was away: kept
// on this station's disk, each on the disk before the line goes on, until
// the record has taken them. Sending one twice does no harm (a row is kept
// once per claim), so a crash between sending and clearing loses nothing
// and adds nothing.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ctl/line_record.h"

namespace qx17::ctl {

class AppendFile;

class Outbox {
  public:
    // Opens or creates the outbox `file` (and its folder). Null with `error`.
    static std::unique_ptr<Outbox> Open(const std::filesystem::path& file, std::string& error);
    ~Outbox();

    // Keeps the row of `claim`; on the disk before it returns.
    bool Add(const std::string& claim, const LogRow& row, std::string& error);
    // What waits, oldest first: each claim with its row.
    std::vector<std::pair<std::string, LogRow>> Waiting();
    // All that waited was taken.
    bool Clear();

    const std::filesystem::path& Path() const { return path_; }

  private:
    Outbox(std::filesystem::path path, std::unique_ptr<AppendFile> file);
    std::filesystem::path path_;
    std::unique_ptr<AppendFile> file_;
};

}  // namespace qx17::ctl
