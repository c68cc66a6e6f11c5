// The settings store of systems without a registry, and of a program given
// a settings file of its own (qx17eep --settings FILE): one file in the
// registry's text export format, which a user can read and edit, and import
// into a Windows registry with regedit.
//
// Durable: every change replaces the file atomically (a temporary file,
// flushed, renamed over the old one), so a crash or a full disk leaves the
// old content or the new. Two processes never corrupt it: changes are made
// under an advisory lock on a companion file, against the file as it stands
// at that moment, so each process's values survive the other's. A damaged
// line is kept as it stands; reading a damaged value is an error.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "params/reg_file_format.h"
#include "params/registry.h"

namespace qx17 {

class RegistryFileStore : public RegistryStore {
  public:
    explicit RegistryFileStore(std::filesystem::path file);

    std::unique_ptr<RegistryKey> OpenKey(HKEY_ROOT root, const std::string& path) override;
    void BeginBatch() override;
    bool CommitBatch() override;
    void AbandonBatch() override;

    const std::filesystem::path& File() const { return file_; }

    // Key access, for the keys this store hands out.
    std::optional<RegistryValue> Read(const std::string& section, const std::string& name);
    bool Write(const std::string& section, const std::string& name, const RegistryValue& value);

  private:
    struct Change {
        std::string section;
        std::string name;
        RegistryValue value;
    };

    const RegDocument& Current();  // the file as it stands now, parsed once per version
    bool Store(const std::vector<Change>& changes);

    std::filesystem::path file_;
    RegDocument cached_;
    std::string cached_signature_;
    bool in_batch_ = false;
    std::vector<Change> pending_;
};

// $XDG_CONFIG_HOME/Kestrowind/QX17EEP/settings.reg, or ~/.config/... when
// XDG_CONFIG_HOME is unset or empty (POSIX systems).
std::filesystem::path DefaultSettingsFile();

}  // namespace qx17
