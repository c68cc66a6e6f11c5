// On Windows the settings live in the registry itself: every write goes
// straight to it, so the batches stay the seam's no-ops, and the registry
// compares value names without regard to case on its own.
#include <memory>
#include <optional>
#include <string>

#include "params/registry.h"

// After the project's headers: <windows.h> defines HKEY_CURRENT_USER, REG_SZ
// and the other names registry.h declares as constants.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace qx17 {

namespace {

// The predefined root keys are handles with the root's value, sign-extended
// to the width of a pointer (HKEY_CURRENT_USER is (HKEY)(LONG)0x80000001).
HKEY RootHandle(HKEY_ROOT root) {
    const auto value = static_cast<LONG_PTR>(static_cast<LONG>(root));
    return reinterpret_cast<HKEY>(value);
}

class Win32Key final : public RegistryKey {
  public:
    explicit Win32Key(HKEY key) : key_(key) {}
    ~Win32Key() override { ::RegCloseKey(key_); }
    Win32Key(const Win32Key&) = delete;
    Win32Key& operator=(const Win32Key&) = delete;

    std::optional<RegistryValue> Read(const std::string& name) override {
        // The size first, then the data. A value that grows between the two
        // calls is asked for again with the new size.
        for (;;) {
            DWORD type = REG_NONE;
            DWORD size = 0;
            LONG status = ::RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size);
            if (status == ERROR_FILE_NOT_FOUND) {
                return std::nullopt;
            }
            if (status != ERROR_SUCCESS) {
                throw ERegistryException("Failed to get data for '" + name + "'");
            }
            // The size of a text can be that of its UTF-16 form, larger than
            // the ANSI text the second call returns; that call gives the
            // true length.
            std::string data(size, '\0');
            status = ::RegQueryValueExA(key_, name.c_str(), nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &size);
            if (status == ERROR_MORE_DATA) {
                continue;
            }
            if (status == ERROR_FILE_NOT_FOUND) {
                return std::nullopt;  // deleted in between
            }
            if (status != ERROR_SUCCESS) {
                throw ERegistryException("Failed to get data for '" + name + "'");
            }
            data.resize(size);
            return RegistryValue{type, std::move(data)};
        }
    }

    bool Write(const std::string& name, const RegistryValue& value) override {
        if (value.data.size() > MAXDWORD) {
            return false;
        }
        const LONG status = ::RegSetValueExA(key_, name.c_str(), 0, value.type,
                                             reinterpret_cast<const BYTE*>(value.data.data()),
                                             static_cast<DWORD>(value.data.size()));
        return status == ERROR_SUCCESS;
    }

  private:
    HKEY key_;
};

class Win32RegistryStore final : public RegistryStore {
  public:
    std::unique_ptr<RegistryKey> OpenKey(HKEY_ROOT root, const std::string& path) override {
        // The registry takes paths relative to the root: an absolute path
        // loses its leading backslash.
        const std::size_t start = path.empty() || path.front() != '\\' ? 0 : 1;
        const std::string relative = path.substr(start);
        HKEY key = nullptr;
        const LONG status =
            ::RegCreateKeyExA(RootHandle(root), relative.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS) {
            return nullptr;
        }
        return std::make_unique<Win32Key>(key);
    }
};

}  // namespace

RegistryStore& NativeRegistryStore() {
    static Win32RegistryStore store;
    return store;
}

}  // namespace qx17
