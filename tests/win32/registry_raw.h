// Direct access to the registry of the current user for the Windows tests, on
// the Win32 API alone and not through the store under test: values of any
// type put in place, values and keys looked at, the settings key removed.
// No <windows.h> here, so that its macros stay out of the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "params/registry.h"

namespace qx17::test {

// The settings' key below HKEY_CURRENT_USER, as the Win32 calls take it.
inline constexpr const char* kRawSettingsKey = "Software\\Kestrowind\\QX17EEP";

// Removes the settings key with everything under it, and the maker's key
// when nothing else is left in it.
void DeleteSettingsKey();

bool KeyExists(const std::string& path);
// The number of values in the key; -1 when it cannot be opened.
int ValueCount(const std::string& path);

// Creates the key when missing and stores the value as given.
bool SetRawValue(const std::string& path, const std::string& name, std::uint32_t type,
                 const std::string& data);
// The value as the registry returns it; nothing when it does not exist.
std::optional<RegistryValue> GetRawValue(const std::string& path, const std::string& name);

// Creates the key as a volatile one (kept in memory only).
bool CreateVolatileKey(const std::string& path);

// The ANSI code page the A functions convert texts with.
unsigned AnsiCodePage();

}  // namespace qx17::test
