// The store behind the saved settings: typed values under keys, in the manner
// of the Windows registry. On Windows it is the registry itself; elsewhere a
// file of our own that behaves like it (registry_store_*.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace qx17 {

using HKEY_ROOT = std::uint32_t;
inline constexpr HKEY_ROOT HKEY_CURRENT_USER = 0x80000001;

// Value types, with the registry's numbers.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;

// The registry's exception; its message names the value.
class ERegistryException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A value as stored: its type and its raw data (a REG_SZ's data is the text's
// bytes and a terminating 0x00; a REG_DWORD's four bytes, low byte first).
struct RegistryValue {
    std::uint32_t type = REG_NONE;
    std::string data;
    friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};

// An open key. Value names are compared without regard to letter case.
class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    // Nothing when the value does not exist.
    virtual std::optional<RegistryValue> Read(const std::string& name) = 0;
    // False when the store refuses the write.
    virtual bool Write(const std::string& name, const RegistryValue& value) = 0;
};

class RegistryStore {
  public:
    virtual ~RegistryStore() = default;

    // Opens `path` (absolute from `root` when it starts with "\"), creating it
    // when missing; null when it can be neither opened nor created.
    virtual std::unique_ptr<RegistryKey> OpenKey(HKEY_ROOT root, const std::string& path) = 0;

    // Writes between BeginBatch and CommitBatch may be kept back and stored
    // together: no reader sees a state between two of them. CommitBatch is
    // false when the store refused them; the batch is then not stored.
    virtual void BeginBatch() {}
    virtual bool CommitBatch() { return true; }
    virtual void AbandonBatch() {}
};

// The store the program uses on this platform.
RegistryStore& NativeRegistryStore();

// For tests: replaces the store the registry routines use; null restores the
// native one.
void UseRegistryStore(RegistryStore* store);
RegistryStore& CurrentRegistryStore();

}  // namespace qx17
