// Files that survive a crash or a pulled plug: a log whose rows are appended
// whole, one writer at a time, and on the disk before the call returns, and
// a claim that one process holds at a time. One implementation per platform.
// (A file replaced whole or not at all: ReplaceFileAtomically, params/file_io.h.)
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace qx17::ctl {

// A file that rows are appended to, under an exclusive lock that other
// processes appending to it respect.
class AppendFile {
  public:
    virtual ~AppendFile() = default;

    // Opens (creating when missing) `file`; null with `error` set on failure.
    static std::unique_ptr<AppendFile> Open(const std::filesystem::path& file, std::string& error);

    // Waits for the lock; false on failure.
    virtual bool Lock() = 0;
    virtual void Unlock() = 0;

    // While locked: the whole file, and appending to it. A crash in the
    // middle of an earlier append may have left a last line without its end:
    // DropTornTail cuts it off.
    virtual bool ReadAll(std::string& content) = 0;
    virtual bool DropTornTail() = 0;
    // Appends `text` and waits until it is on the disk.
    virtual bool Append(std::string_view text) = 0;
};

// Held for as long as the object lives: false from Held() when another
// process holds it. Used to keep two production lines from drawing IDs from
// the same log.
class ExclusiveClaim {
  public:
    virtual ~ExclusiveClaim() = default;
    static std::unique_ptr<ExclusiveClaim> Try(const std::filesystem::path& file);
    virtual bool Held() const = 0;
};

}  // namespace qx17::ctl
