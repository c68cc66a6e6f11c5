#include <algorithm>
#include <string>

#include "params/file_io.h"
#include "params/file_io_win32.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <aclapi.h>

namespace qx17 {

namespace {

HANDLE ToHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// Gives `temporary` the access list of `file`, when that is there, so that
// a file its owner made private (or shared) stays so once replaced; a new
// file takes its folder's. False when the list cannot be set.
bool KeepAccessList(const std::filesystem::path& file, const std::filesystem::path& temporary) {
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;  // no file, or none we may read: the folder's list
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    std::wstring name = temporary.wstring();
    const DWORD status =
        ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, what, nullptr, nullptr, list, nullptr);
    ::LocalFree(descriptor);
    ::SetLastError(status);
    return status == ERROR_SUCCESS;
}

}  // namespace

std::string LastSystemError() {
    return "system error " + std::to_string(::GetLastError());
}

bool WriteWholeTo(void* file, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        DWORD written = 0;
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
        if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr)) {
            return false;
        }
        done += written;
    }
    return true;
}

std::string FileVersion(const std::filesystem::path& file) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &info)) {
        return "absent";
    }
    // A rename over the file brings the new file's creation time along.
    return std::to_string(info.nFileSizeHigh) + ":" + std::to_string(info.nFileSizeLow) + ":" +
           std::to_string(info.ftCreationTime.dwHighDateTime) + "." +
           std::to_string(info.ftCreationTime.dwLowDateTime) + ":" +
           std::to_string(info.ftLastWriteTime.dwHighDateTime) + "." +
           std::to_string(info.ftLastWriteTime.dwLowDateTime);
}

std::string ReadWholeFile(const std::filesystem::path& file) {
    std::string content;
    HANDLE in = ::CreateFileW(file.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[8192];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(in, buffer, sizeof buffer, &n, nullptr)) {
            content.clear();
            break;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, n);
    }
    ::CloseHandle(in);
    return content;
}

bool ReplaceFileAtomically(const std::filesystem::path& file, std::string_view content,
                           std::string& error,
                           bool /*owner_only: a new file takes its folder's list*/) {
    const std::filesystem::path temporary = file.wstring() + L".tmp";
    HANDLE out = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        error = LastSystemError();
        return false;
    }
    const bool written = WriteWholeTo(out, content) && ::FlushFileBuffers(out);
    if (!written) {
        error = LastSystemError();
    }
    ::CloseHandle(out);
    const bool kept = written && KeepAccessList(file, temporary);
    if (written && !kept) {
        error = "cannot keep the file's permissions: " + LastSystemError();
    }
    if (!kept || !::MoveFileExW(temporary.c_str(), file.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (error.empty()) {
            error = LastSystemError();
        }
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

FileLock::FileLock(const std::filesystem::path& path)
    : handle_(reinterpret_cast<std::intptr_t>(
          ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))) {
    if (ToHandle(handle_) != INVALID_HANDLE_VALUE) {
        OVERLAPPED whole{};
        held_ = ::LockFileEx(ToHandle(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD,
                             &whole) != FALSE;
    }
}

FileLock::~FileLock() {
    if (ToHandle(handle_) != INVALID_HANDLE_VALUE) {
        ::CloseHandle(ToHandle(handle_));  // closing releases the lock
    }
}

}  // namespace qx17
