#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ctl/durable_file.h"
#include "params/file_io_posix.h"

namespace qx17::ctl {

namespace {

std::string SystemError() {
    return std::strerror(errno);
}

class PosixAppendFile final : public AppendFile {
  public:
    explicit PosixAppendFile(int fd) : fd_(fd) {}
    ~PosixAppendFile() override { ::close(fd_); }

    bool Lock() override {
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }
    void Unlock() override { (void)::flock(fd_, LOCK_UN); }

    bool ReadAll(std::string& content) override {
        content.clear();
        char buffer[8192];
        for (off_t at = 0;;) {
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

    bool DropTornTail() override {
        std::string content;
        if (!ReadAll(content)) {
            return false;
        }
        if (content.empty() || content.back() == '\n') {
            return true;
        }
        const std::size_t keep =
            content.rfind('\n') == std::string::npos ? 0 : content.rfind('\n') + 1;
        return ::ftruncate(fd_, static_cast<off_t>(keep)) == 0 && ::fsync(fd_) == 0;
    }

    bool Append(std::string_view text) override {
        // O_APPEND: each row goes to the end, whoever wrote last.
        return WriteWholeTo(fd_, text) && ::fsync(fd_) == 0;
    }

  private:
    const int fd_;
};

class PosixClaim final : public ExclusiveClaim {
  public:
    explicit PosixClaim(int fd) : fd_(fd) {}
    ~PosixClaim() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool Held() const override { return fd_ >= 0; }

  private:
    const int fd_;
};

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& file,
                                             std::string& error) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError();
        return nullptr;
    }
    SyncFolderOf(file);  // a new file's name reaches the disk too
    return std::make_unique<PosixAppendFile>(fd);
}

std::unique_ptr<ExclusiveClaim> ExclusiveClaim::Try(const std::filesystem::path& file) {
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
    }
    return std::make_unique<PosixClaim>(fd);
}

}  // namespace qx17::ctl
