#include "params/registry_file_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace qx17 {

namespace {

// Section names of the roots the file can hold.
const char* RootName(HKEY_ROOT root) {
    switch (root) {
        case 0x80000000:
            return "HKEY_CLASSES_ROOT";
        case 0x80000001:
            return "HKEY_CURRENT_USER";
        case 0x80000002:
            return "HKEY_LOCAL_MACHINE";
        case 0x80000003:
            return "HKEY_USERS";
        default:
            return nullptr;
    }
}

// The file's identity and version, to know when it must be read again.
std::string Signature(const std::filesystem::path& file) {
    struct stat info;
    if (::stat(file.c_str(), &info) != 0) {
        return "absent";
    }
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

bool ReadWhole(int fd, std::string& content) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

bool WriteWhole(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The file's content; empty when it does not exist or cannot be read.
std::string Load(const std::filesystem::path& file) {
    std::string content;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (!ReadWhole(fd, content))
            content.clear();
        ::close(fd);
    }
    return content;
}

class FileKey final : public RegistryKey {
  public:
    FileKey(RegistryFileStore& store, std::string section)
        : store_(store), section_(std::move(section)) {}
    std::optional<RegistryValue> Read(const std::string& name) override {
        return store_.Read(section_, name);
    }
    bool Write(const std::string& name, const RegistryValue& value) override {
        return store_.Write(section_, name, value);
    }

  private:
    RegistryFileStore& store_;
    std::string section_;
};

// Holds the lock file's exclusive lock while alive.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0)
            ::close(fd_);  // closing releases the lock
    }
    bool Held() const { return fd_ >= 0; }

  private:
    int fd_;
};

}  // namespace

RegistryFileStore::RegistryFileStore(std::filesystem::path file) : file_(std::move(file)) {}

std::unique_ptr<RegistryKey> RegistryFileStore::OpenKey(HKEY_ROOT root, const std::string& path) {
    const char* root_name = RootName(root);
    if (root_name == nullptr) {
        return nullptr;
    }
    // Opening or creating a key writes nothing: it appears in the file with
    // its first value.
    std::string relative = path;
    while (!relative.empty() && relative.front() == '\\')
        relative.erase(0, 1);
    if (relative.size() >= 8 && relative.compare(0, 8, "software") == 0) {
        relative.replace(0, 8, "Software");  // the spelling of the existing root key
    }
    return std::make_unique<FileKey>(*this, std::string(root_name) + "\\" + relative);
}

const RegDocument& RegistryFileStore::Current() {
    const std::string signature = Signature(file_);
    if (signature != cached_signature_) {
        cached_ = RegDocument::Parse(Load(file_));
        cached_signature_ = signature;
    }
    return cached_;
}

std::optional<RegistryValue> RegistryFileStore::Read(const std::string& section,
                                                     const std::string& name) {
    // A value written in the open batch reads back as written.
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
        if (SameRegistryName(it->name, name) && SameRegistryName(it->section, section)) {
            return it->value;
        }
    }
    return Current().Read(section, name);
}

bool RegistryFileStore::Write(const std::string& section, const std::string& name,
                              const RegistryValue& value) {
    if (in_batch_) {
        pending_.push_back({section, name, value});
        return true;
    }
    return Store({{section, name, value}});
}

void RegistryFileStore::BeginBatch() {
    in_batch_ = true;
    pending_.clear();
}

bool RegistryFileStore::CommitBatch() {
    in_batch_ = false;
    std::vector<Change> changes;
    changes.swap(pending_);
    return changes.empty() || Store(changes);
}

void RegistryFileStore::AbandonBatch() {
    in_batch_ = false;
    pending_.clear();
}

bool RegistryFileStore::Store(const std::vector<Change>& changes) {
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    if (error) {
        return false;
    }
    const FileLock lock(file_.string() + ".lock");
    if (!lock.Held()) {
        return false;
    }
    // Against the file as it stands now: another process may have changed it.
    RegDocument doc = RegDocument::Parse(Load(file_));
    for (const Change& change : changes) {
        doc.Set(change.section, change.name, change.value);
    }
    const std::string content = doc.Serialize();

    // Only the lock holder writes the temporary file, so one name will do; a
    // leftover from a killed process is simply overwritten.
    const std::filesystem::path temporary = file_.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = WriteWhole(fd, content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), file_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
}

std::filesystem::path DefaultSettingsFile() {
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        config = std::filesystem::path(home) / ".config";
    } else {
        config = ".";
    }
    return config / "Kestrowind" / "QX17EEP" / "settings.reg";
}

}  // namespace qx17
