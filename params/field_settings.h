// How the field values are kept between runs: the saved values' names, the
// order in which they are read and written, and the defaults of empty
// fields. The window keeps them in the registry (the settings file
// elsewhere); a profile is a file of the same values.
#pragma once

#include <cstdint>
#include <string>

#include "params/field_values.h"

namespace qx17 {

// Where values are read from. Either call may raise the store's error for a
// value it cannot read.
class SettingsReader {
  public:
    virtual ~SettingsReader() = default;
    virtual std::string Text(const std::string& name) = 0;     // "" when missing
    virtual std::int32_t Number(const std::string& name) = 0;  // 0 when missing
};

class SettingsWriter {
  public:
    virtual ~SettingsWriter() = default;
    virtual void Text(const std::string& name, const std::string& text) = 0;
    virtual void Number(const std::string& name, std::int32_t value) = 0;
};

// The server an empty IP field starts with.
inline constexpr const char* kDefaultServer = "tracker.example.com";

// Reads APN, APN_NAME, APN_PW, DNS, GPRS_TM, ID, IP, Port, GPRS_TYPE, GPRS_EN,
// SMS_OBJ, SMS_INT, PW, Listen, SOS_NO, LOG_INT, TimeZone, SleepMode,
// CallReply in this order, each into `values` as it comes, so that an error
// leaves the earlier ones read and the later ones as they were, and no
// defaults given. Then the empty fields get their defaults. A list index
// outside its list leaves no item chosen (-1); GPRS_EN only ever checks.
void LoadFieldValues(SettingsReader& reader, FieldValues& values);

// Writes the same values in the order of a save: APN, APN_NAME, APN_PW, DNS,
// GPRS_TM, ID, IP, Port, GPRS_EN, GPRS_TYPE, SMS_OBJ, SMS_INT, PW, Listen,
// SOS_NO, LOG_INT, TimeZone, SleepMode, CallReply.
void SaveFieldValues(SettingsWriter& writer, const FieldValues& values);

}  // namespace qx17
