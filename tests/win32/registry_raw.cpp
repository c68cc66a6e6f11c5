#include "tests/win32/registry_raw.h"

#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17::test {

namespace {

class OpenedKey {
  public:
    OpenedKey(const std::string& path, bool create, DWORD options = REG_OPTION_NON_VOLATILE) {
        const LONG status =
            create ? ::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, options,
                                       KEY_ALL_ACCESS, nullptr, &key_, nullptr)
                   : ::RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key_);
        if (status != ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ~OpenedKey() {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
    }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

void DeleteSettingsKey() {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kRawSettingsKey);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, kRawSettingsKey);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kestrowind");  // refused while not empty
}

bool KeyExists(const std::string& path) {
    return OpenedKey(path, false).get() != nullptr;
}

int ValueCount(const std::string& path) {
    const OpenedKey key(path, false);
    DWORD values = 0;
    if (key.get() == nullptr ||
        ::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                           nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return -1;
    }
    return static_cast<int>(values);
}

bool SetRawValue(const std::string& path, const std::string& name, std::uint32_t type,
                 const std::string& data) {
    const OpenedKey key(path, true);
    return key.get() != nullptr &&
           ::RegSetValueExA(key.get(), name.c_str(), 0, type,
                            reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

std::optional<RegistryValue> GetRawValue(const std::string& path, const std::string& name) {
    const OpenedKey key(path, false);
    if (key.get() == nullptr) {
        return std::nullopt;
    }
    // Room enough for every value the tests store.
    std::vector<BYTE> buffer(4096);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buffer.size());
    if (::RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, buffer.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return RegistryValue{type, std::string(buffer.begin(), buffer.begin() + size)};
}

bool CreateVolatileKey(const std::string& path) {
    return OpenedKey(path, true, REG_OPTION_VOLATILE).get() != nullptr;
}

unsigned AnsiCodePage() {
    return ::GetACP();
}

}  // namespace qx17::test
