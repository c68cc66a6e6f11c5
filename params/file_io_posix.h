// The POSIX pieces of file_io that other durable files build on too
// (qx17ctl's log): whole writes and flushing a file's folder.
#pragma once

#include <filesystem>
#include <string_view>

namespace qx17 {

// Writes all of `content` to `fd`, through interruptions; false on an error
// (errno tells).
bool WriteWholeTo(int fd, std::string_view content);

// Flushes the folder of `file`, so that a name made or renamed there reaches
// the disk.
void SyncFolderOf(const std::filesystem::path& file);

}  // namespace qx17
