#include "ctl/durable_file.h"
#include "params/file_io_win32.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17::ctl {

namespace {

class Win32AppendFile final : public AppendFile {
  public:
    explicit Win32AppendFile(HANDLE file) : file_(file) {}
    ~Win32AppendFile() override { ::CloseHandle(file_); }

    bool Lock() override {
        OVERLAPPED whole{};
        return ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != FALSE;
    }
    void Unlock() override {
        OVERLAPPED whole{};
        (void)::UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &whole);
    }

    bool ReadAll(std::string& content) override {
        content.clear();
        LARGE_INTEGER start{};
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

    bool DropTornTail() override {
        std::string content;
        if (!ReadAll(content)) {
            return false;
        }
        if (content.empty() || content.back() == '\n') {
            return true;
        }
        const std::size_t newline = content.rfind('\n');
        LARGE_INTEGER keep{};
        keep.QuadPart = newline == std::string::npos ? 0 : static_cast<LONGLONG>(newline + 1);
        return ::SetFilePointerEx(file_, keep, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_) &&
               ::FlushFileBuffers(file_);
    }

    bool Append(std::string_view text) override {
        LARGE_INTEGER end{};
        return ::SetFilePointerEx(file_, end, nullptr, FILE_END) && WriteWholeTo(file_, text) &&
               ::FlushFileBuffers(file_);
    }

  private:
    HANDLE file_;
};

class Win32Claim final : public ExclusiveClaim {
  public:
    explicit Win32Claim(HANDLE file) : file_(file) {}
    ~Win32Claim() override {
        if (file_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file_);
        }
    }
    bool Held() const override { return file_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE file_;
};

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& file,
                                             std::string& error) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = LastSystemError();
        return nullptr;
    }
    return std::make_unique<Win32AppendFile>(handle);
}

std::unique_ptr<ExclusiveClaim> ExclusiveClaim::Try(const std::filesystem::path& file) {
    // No sharing: a second process's open fails while this one holds it.
    return std::make_unique<Win32Claim>(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
}

}  // namespace qx17::ctl
