#include "ctl/files/durable_file.h"
#include "params/file_io_win32.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17::ctl {

namespace {

// Windows locks keep others from reading and writing what they cover, so
// each lock is one byte far beyond any data.
constexpr DWORD kLockBytesHigh = 0x7fffffff;

class Win32AppendFile final : public AppendFile {
  public:
    explicit Win32AppendFile(HANDLE file) : file_(file) {}
    ~Win32AppendFile() override { ::CloseHandle(file_); }

    bool Lock(FileLock which, bool exclusive, bool wait) override {
        // A lock is not converted in place here: the one held goes first, and
        // comes back when the new one cannot be had.
        const int i = Index(which);
        const bool was_held = held_[i];
        const bool was_exclusive = exclusive_[i];
        if (was_held) {
            Unlock(which);
        }
        if (Take(which, exclusive, wait)) {
            return true;
        }
        if (was_held) {
            (void)Take(which, was_exclusive, true);
        }
        return false;
    }
    void Unlock(FileLock which) override {
        OVERLAPPED at = At(which);
        (void)::UnlockFileEx(file_, 0, 1, 0, &at);
        held_[Index(which)] = false;
    }

    bool ReadFrom(std::uint64_t offset, std::string& content) override {
        content.clear();
        LARGE_INTEGER start{};
        start.QuadPart = static_cast<LONGLONG>(offset);
        if (!::SetFilePointerEx(file_, start, nullptr, FILE_BEGIN)) {
            return false;
        }
        char buffer[8192];
        for (;;) {
            DWORD n = 0;
            if (!::ReadFile(file_, buffer, sizeof buffer, &n, nullptr)) {
                return false;
            }
            if (n == 0) {
                return true;
            }
            content.append(buffer, n);
        }
    }

    bool Append(std::string_view text, std::string& error) override {
        LARGE_INTEGER end{};
        LARGE_INTEGER before{};
        if (!::SetFilePointerEx(file_, end, &before, FILE_END)) {
            error = LastSystemError();
            return false;
        }
        if (WriteWholeTo(file_, text) && ::FlushFileBuffers(file_)) {
            return true;
        }
        error = LastSystemError();
        (void)TruncateTo(static_cast<std::uint64_t>(before.QuadPart));
        return false;
    }

    bool TruncateTo(std::uint64_t size) override {
        LARGE_INTEGER keep{};
        keep.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFilePointerEx(file_, keep, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_) &&
               ::FlushFileBuffers(file_);
    }

  private:
    bool Take(FileLock which, bool exclusive, bool wait) {
        OVERLAPPED at = At(which);
        const DWORD flags =
            (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
        const int i = Index(which);
        held_[i] = ::LockFileEx(file_, flags, 0, 1, 0, &at) != FALSE;
        exclusive_[i] = exclusive;
        return held_[i];
    }
    static int Index(FileLock which) { return static_cast<int>(which); }
    static OVERLAPPED At(FileLock which) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(Index(which));
        at.OffsetHigh = kLockBytesHigh;
        return at;
    }

    HANDLE file_;
    bool held_[3] = {false, false, false};
    bool exclusive_[3] = {false, false, false};
};

}  // namespace

bool HeldByAnother(const std::filesystem::path& file, FileLock which, std::string& error) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = LastSystemError();
        return false;
    }
    // Taken and let go at once: refused, another holds it.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(which);
    at.OffsetHigh = kLockBytesHigh;
    const bool free = ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                   1, 0, &at) != FALSE;
    if (free) {
        (void)::UnlockFileEx(handle, 0, 1, 0, &at);
    }
    ::CloseHandle(handle);
    return !free;
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& file,
                                             std::string& error) {
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "not a regular file";
        return nullptr;
    }
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = LastSystemError();
        return nullptr;
    }
    // A device (NUL, CON, COM1) or a pipe opens as well: only a disk file will do.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        error = "not a regular file";
        return nullptr;
    }
    return std::make_unique<Win32AppendFile>(handle);
}

}  // namespace qx17::ctl
