// A profile: the field values in a file of the settings file's own format
// (the registry's export format, REGEDIT4 or version 5), under the same key
// and value names. The window's settings file is a profile, and a profile
// can be imported into the Windows registry.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "params/field_values.h"
#include "params/reg_file_format.h"

namespace qx17 {

// The section of the saved settings in an export file.
inline constexpr const char* kSettingsSection = "HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP";

// The values a profile file's bytes hold, read as the window loads its
// settings: missing values are empty or 0, empty fields get their defaults,
// list indexes outside their lists choose nothing. A value the window's load
// would refuse raises the same ERegistryException ("Invalid data type for
// 'GPRS_TM'"). `found`, when given, is set to how many of the values the file
// holds: none means it is no profile at all.
FieldValues ParseProfile(std::string_view file, std::size_t* found = nullptr);
// The same for a document already parsed.
FieldValues ProfileValues(const RegDocument& document, std::size_t* found = nullptr);

// The values as a REGEDIT4 file: the section and its 19 values.
std::string SerializeProfile(const FieldValues& values);

}  // namespace qx17
