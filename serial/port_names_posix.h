// How a port name becomes a device path on POSIX systems, the way Wine maps
// COM ports: "COMn" (n = 1..32, any letter case) is the symbolic link "comn"
// in the user's port folder when it exists, else /dev/ttyS<n-1>; a name that
// starts with "/" is a device path as it stands; anything else names no port.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qx17 {

// $XDG_CONFIG_HOME/Kestrowind/QX17EEP/ports, or ~/.config/... when
// XDG_CONFIG_HOME is unset or empty; empty when neither it nor HOME is set.
std::filesystem::path DefaultPortFolder();

// The COM number 1..32 of a "COMn" name, if it is one.
std::optional<int> ComPortNumber(std::string_view name);

// The device path for `name`, or nullopt when it names no port.
std::optional<std::string> ResolvePortPath(std::string_view name,
                                           const std::filesystem::path& port_folder);

}  // namespace qx17
