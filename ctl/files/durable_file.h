// Files that survive a crash or a pulled plug: a file that records are
// appended to whole, and on the disk before the call returns, with locks
// that other processes respect. One implementation per platform.
// (A file replaced whole or not at all: ReplaceFileAtomically, params/file_io.h.)
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace qx17::ctl {

// The locks of a file. They lock the open file itself, whatever name, link
// or hard link it was opened by, and they are separate: holding one never
// keeps another from being taken. A process that ends, however it ends,
// lets go of its locks.
enum class FileLock {
    kAppend,  // held for the moment of one read-and-append
    kIds,     // held by the one process that gives out IDs from the file
    kUsers,   // shared by every process using the file; exclusive: it is alone
};

// Whether another process holds lock `which` of `file` (whatever it opened
// it by), looked at without taking it and without writing to the file.
// False with `error` set when the file cannot be opened to read.
bool HeldByAnother(const std::filesystem::path& file, FileLock which, std::string& error);

class AppendFile {
  public:
    virtual ~AppendFile() = default;

    // Opens `file`, creating it when missing (readable by its owner and
    // group only: a log names trackers and their passwords' fields); refuses
    // anything but a regular file. Null with `error` set on failure.
    static std::unique_ptr<AppendFile> Open(const std::filesystem::path& file, std::string& error);

    // `wait`: until it can be had; otherwise false at once when another
    // process holds it. A shared lock held may be made exclusive and back.
    virtual bool Lock(FileLock which, bool exclusive, bool wait) = 0;
    virtual void Unlock(FileLock which) = 0;

    // The file from byte `offset` to its end.
    virtual bool ReadFrom(std::uint64_t offset, std::string& content) = 0;
    // Appends `text` and waits until it is on the disk. When that fails the
    // file is cut back to what it was, as far as the system lets it.
    virtual bool Append(std::string_view text, std::string& error) = 0;
    // Cuts the file to `size` bytes, on the disk before it returns.
    virtual bool TruncateTo(std::uint64_t size) = 0;
};

}  // namespace qx17::ctl
