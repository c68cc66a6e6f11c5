#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ctl/files/durable_file.h"
#include "params/file_io_posix.h"

namespace qx17::ctl {

namespace {

// The locks are open-file-description locks on single bytes far beyond any
// data: they go with the file, not with its name, and one never covers
// another.
constexpr off_t kLockBytes = 0x7fffffff00000000LL;

class PosixAppendFile final : public AppendFile {
  public:
    explicit PosixAppendFile(int fd) : fd_(fd) {}
    ~PosixAppendFile() override { ::close(fd_); }

    bool Lock(FileLock which, bool exclusive, bool wait) override {
        struct flock lock = Range(which);
        lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
        while (::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }
    void Unlock(FileLock which) override {
        struct flock lock = Range(which);
        lock.l_type = F_UNLCK;
        (void)::fcntl(fd_, F_OFD_SETLK, &lock);
    }

    bool ReadFrom(std::uint64_t offset, std::string& content) override {
        content.clear();
        char buffer[8192];
        for (off_t at = static_cast<off_t>(offset);;) {
            const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
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
            at += n;
        }
    }

    bool Append(std::string_view text, std::string& error) override {
        const off_t before = ::lseek(fd_, 0, SEEK_END);
        // O_APPEND: each record goes to the end, whoever wrote last.
        if (WriteWholeTo(fd_, text) && ::fsync(fd_) == 0) {
            return true;
        }
        error = std::strerror(errno);
        // Nothing of it stays to be merged with the next record.
        if (before >= 0) {
            (void)::ftruncate(fd_, before);
            (void)::fsync(fd_);
        }
        return false;
    }

    bool TruncateTo(std::uint64_t size) override {
        return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 && ::fsync(fd_) == 0;
    }

  private:
    static struct flock Range(FileLock which) {
        struct flock lock {};
        lock.l_whence = SEEK_SET;
        lock.l_start = kLockBytes + static_cast<off_t>(which);
        lock.l_len = 1;
        return lock;
    }

    const int fd_;
};

}  // namespace

bool HeldByAnother(const std::filesystem::path& file, FileLock which, std::string& error) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // Would a write lock be refused? Asked, not taken: a file open to read
    // may not take one.
    struct flock lock {};
    lock.l_whence = SEEK_SET;
    lock.l_start = kLockBytes + static_cast<off_t>(which);
    lock.l_len = 1;
    lock.l_type = F_WRLCK;
    const bool asked = ::fcntl(fd, F_OFD_GETLK, &lock) == 0;
    if (!asked) {
        error = std::strerror(errno);
    }
    ::close(fd);
    return asked && lock.l_type != F_UNLCK;
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& file,
                                             std::string& error) {
    struct stat info;
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return nullptr;
    }
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // Checked again on what was opened: the name may have changed meanwhile.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = "not a regular file";
        return nullptr;
    }
    SyncFolderOf(file);  // a new file's name reaches the disk too
    return std::make_unique<PosixAppendFile>(fd);
}

}  // namespace qx17::ctl
