// The registry routines of the saved settings (unit iReg). Each call opens the
// key (creating it when missing), reads or writes one value and closes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "params/registry.h"

namespace qx17 {

// The string value, or the empty text when it does not exist. A value of
// another type than REG_SZ or REG_EXPAND_SZ raises "Invalid data type for '%s'".
std::string RegReadString(HKEY_ROOT root, const std::string& key, const std::string& name);

// The integer value, or 0 when it does not exist. Data longer than 4 bytes
// raises "Failed to get data for '%s'", other data that is not REG_DWORD
// "Invalid data type for '%s'".
std::int32_t RegReadInteger(HKEY_ROOT root, const std::string& key, const std::string& name);

// Store the value; a refused write raises "Failed to set data for '%s'".
bool RegWriteString(HKEY_ROOT root, const std::string& key, const std::string& name,
                    const std::string& text);
bool RegWriteInteger(HKEY_ROOT root, const std::string& key, const std::string& name,
                     std::int32_t value);

// The reading rules of the two routines above, for a value looked up
// elsewhere (nothing: it does not exist).
std::string StringFromValue(const std::string& name, const std::optional<RegistryValue>& value);
std::int32_t IntegerFromValue(const std::string& name, const std::optional<RegistryValue>& value);
// The values the two write routines store.
RegistryValue StringValue(const std::string& text);
RegistryValue IntegerValue(std::int32_t value);

// The saved settings' key, under HKEY_CURRENT_USER.
inline constexpr const char* kSettingsKey = "\\software\\Kestrowind\\QX17EEP";

}  // namespace qx17
