// Files that a crash or a pulled plug never leaves half-written, and what the
// settings file needs besides: its version, its content and a lock that
// serialises changes between processes. One implementation per platform
// (file_io_posix.cpp, file_io_win32.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qx17 {

// Changes whenever the file is replaced or written; "absent" when it does not
// exist.
std::string FileVersion(const std::filesystem::path& file);

// The file's bytes; empty when it does not exist or cannot be read.
std::string ReadWholeFile(const std::filesystem::path& file);

// Writes `content` to a temporary file beside `file` (its name and ".tmp"),
// flushes it to the disk and renames it over `file`, then flushes the folder
// where the system has that. False, with `error` set, when any step fails;
// `file` is then as it was. A file that is there keeps its permissions (on
// POSIX its mode, and its owner and group where the system lets us; on
// Windows its access list); a new one is only its owner's when `owner_only`
// (on Windows it takes its folder's access list either way).
bool ReplaceFileAtomically(const std::filesystem::path& file, std::string_view content,
                           std::string& error, bool owner_only = false);

// An exclusive lock on `path` (created when missing) that other processes
// taking it respect, held while the object lives; waits for it.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return held_; }

  private:
    std::intptr_t handle_;
    bool held_ = false;
};

}  // namespace qx17
