#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "params/file_io.h"
#include "params/file_io_posix.h"

namespace qx17 {

namespace {

bool ReadWhole(int fd, std::string& content) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

bool WriteWholeTo(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void SyncFolderOf(const std::filesystem::path& file) {
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

std::string FileVersion(const std::filesystem::path& file) {
    struct stat info;
    if (::stat(file.c_str(), &info) != 0) {
        return "absent";
    }
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

std::string ReadWholeFile(const std::filesystem::path& file) {
    std::string content;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (!ReadWhole(fd, content)) {
            content.clear();
        }
        ::close(fd);
    }
    return content;
}

bool ReplaceFileAtomically(const std::filesystem::path& file, std::string_view content,
                           std::string& error, bool owner_only) {
    // One temporary name will do: the writers of one file take its lock. A
    // leftover from a killed process is removed first, so that the new file
    // takes none of its permissions, and one that is not ours to remove
    // (or a link planted there) makes the write fail rather than be followed.
    const std::filesystem::path temporary = file.string() + ".tmp";
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        error = std::strerror(errno);
        return false;
    }
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          owner_only ? 0600 : 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // A file that is there keeps its permissions (and its owner and group
    // where the system lets us): its owner may have made it private, or
    // shared it with a group. Where the group cannot be kept, the new
    // file's group gets nothing.
    bool kept = true;
    struct stat before;
    if (::stat(file.c_str(), &before) == 0 && S_ISREG(before.st_mode)) {
        mode_t mode = before.st_mode & 0777;
        struct stat now;
        if (::fstat(fd, &now) != 0) {
            kept = false;
        } else if (now.st_uid != before.st_uid || now.st_gid != before.st_gid) {
            if (::fchown(fd, before.st_uid, before.st_gid) != 0 &&
                ::fchown(fd, static_cast<uid_t>(-1), before.st_gid) != 0) {
                mode &= ~static_cast<mode_t>(0070);
            }
        }
        kept = kept && ::fchmod(fd, mode) == 0;
    }
    if (!kept) {
        error = std::strerror(errno);
    }
    const bool written = kept && WriteWholeTo(fd, content) && ::fsync(fd) == 0;
    if (kept && !written) {
        error = std::strerror(errno);
    }
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), file.c_str()) != 0) {
        if (error.empty()) {
            error = std::strerror(errno);
        }
        ::unlink(temporary.c_str());
        return false;
    }
    SyncFolderOf(file);
    return true;
}

FileLock::FileLock(const std::filesystem::path& path)
    : handle_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (handle_ >= 0) {
        int status;
        while ((status = ::flock(static_cast<int>(handle_), LOCK_EX)) != 0 && errno == EINTR) {
        }
        held_ = status == 0;
    }
}

FileLock::~FileLock() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));  // closing releases the lock
    }
}

}  // namespace qx17
