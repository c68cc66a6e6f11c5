#include "params/registry_file_store.h"

#include <system_error>

#include "params/file_io.h"

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
    const std::string signature = FileVersion(file_);
    if (signature != cached_signature_) {
        cached_ = RegDocument::Parse(ReadWholeFile(file_));
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
    if (file_.has_parent_path()) {
        std::error_code folder_error;
        std::filesystem::create_directories(file_.parent_path(), folder_error);
        if (folder_error) {
            return false;
        }
    }
    std::filesystem::path lock_file = file_;
    lock_file += ".lock";
    const FileLock lock(lock_file);
    if (!lock.Held()) {
        return false;
    }
    // Against the file as it stands now: another process may have changed it.
    RegDocument doc = RegDocument::Parse(ReadWholeFile(file_));
    for (const Change& change : changes) {
        doc.Set(change.section, change.name, change.value);
    }
    std::string error;
    return ReplaceFileAtomically(file_, doc.Serialize(), error, /*owner_only=*/true);
}

}  // namespace qx17
