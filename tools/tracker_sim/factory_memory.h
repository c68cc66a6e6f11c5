// The parameter memory a virtual tracker leaves the factory with, and the
// addresses of the fields in it. docs/virtual-tracker.md lists every value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx17::sim {

// Addresses 0..4096.
inline constexpr std::size_t kMemorySize = 4097;

// Where each field starts and how many bytes it spans.
struct Field {
    const char* name;
    std::size_t address;
    std::size_t size;
};

inline constexpr Field kPassword{"password", 2, 4};
inline constexpr Field kGprsMode{"gprs mode", 16, 1};
inline constexpr Field kGprsInterval{"gprs interval", 17, 2};
inline constexpr Field kApn{"apn", 19, 32};
inline constexpr Field kApnAccount{"apn account", 51, 20};
inline constexpr Field kApnPassword{"apn password", 71, 20};
inline constexpr Field kDns{"dns", 91, 16};
inline constexpr Field kTrackerId{"tracker id", 107, 7};
inline constexpr Field kServer{"server", 114, 32};
inline constexpr Field kServerPort{"server port", 146, 5};
inline constexpr Field kListenInPhone{"listen-in phone", 168, 16};
inline constexpr Field kLogInterval{"logging interval", 184, 2};
inline constexpr Field kTimeZone{"time zone", 186, 4};
inline constexpr Field kPowerSaving{"power saving", 212, 1};
inline constexpr Field kSmsNumber{"sms number", 213, 16};
inline constexpr Field kSmsInterval{"sms interval", 229, 2};
inline constexpr Field kSosNumber{"sos number", 231, 16};
inline constexpr Field kCallForSms{"call for sms", 247, 1};

inline constexpr std::string_view kDefaultTrackerId = "35712001234567";

// True for 1 to 14 decimal digits.
bool IsValidTrackerId(std::string_view id);

// The id of the next tracker off the line: `id` plus one as a decimal number,
// with as many digits as `id` ("0099" gives "0100"); nullopt when it would
// need one more ("999"), or when `id` is not a valid id.
std::optional<std::string> NextTrackerId(std::string_view id);

// The 4097-byte factory memory with `tracker_id` packed into its field.
// Throws std::invalid_argument when the id is not 1 to 14 digits.
std::vector<std::uint8_t> FactoryMemory(std::string_view tracker_id = kDefaultTrackerId);

}  // namespace qx17::sim
