#include "tools/tracker_sim/factory_memory.h"

#include <algorithm>
#include <stdexcept>

namespace qx17::sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Text fields hold the characters and one '#' when shorter than the field;
// the rest of the field stays erased.
void PutText(Bytes& memory, const Field& field, std::string_view text) {
    std::string stored(text.substr(0, field.size));
    if (stored.size() < field.size) {
        stored += '#';
    }
    std::copy(stored.begin(), stored.end(), memory.begin() + static_cast<long>(field.address));
}

void PutLittleEndian(Bytes& memory, const Field& field, std::uint32_t value) {
    for (std::size_t i = 0; i < field.size; ++i) {
        memory[field.address + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Two digits per byte, the first in the high nibble; unused nibbles are 0xF.
void PutPackedDigits(Bytes& memory, const Field& field, std::string_view digits) {
    for (std::size_t i = 0; i < field.size * 2; ++i) {
        const unsigned nibble = i < digits.size() ? static_cast<unsigned>(digits[i] - '0') : 0xFu;
        std::uint8_t& b = memory[field.address + i / 2];
        b = (i % 2 == 0) ? static_cast<std::uint8_t>((b & 0x0F) | (nibble << 4))
                         : static_cast<std::uint8_t>((b & 0xF0) | nibble);
    }
}

}  // namespace

bool IsValidTrackerId(std::string_view id) {
    return !id.empty() && id.size() <= kTrackerId.size * 2 &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::string> NextTrackerId(std::string_view id) {
    if (!IsValidTrackerId(id)) {
        return std::nullopt;
    }
    std::string next(id);
    for (auto digit = next.rbegin(); digit != next.rend(); ++digit) {
        if (*digit != '9') {
            ++*digit;
            return next;
        }
        *digit = '0';  // carry into the digit before
    }
    return std::nullopt;  // every digit was 9
}

Bytes FactoryMemory(std::string_view tracker_id) {
    if (!IsValidTrackerId(tracker_id)) {
        throw std::invalid_argument("tracker id must be 1 to 14 decimal digits, not '" +
                                    std::string(tracker_id) + "'");
    }
    Bytes memory(kMemorySize, 0xFF);  // erased EEPROM
    PutText(memory, kPassword, "0000");
    PutLittleEndian(memory, kGprsMode, 1);      // TCP
    PutLittleEndian(memory, kGprsInterval, 3);  // 3 x 10 s
    PutText(memory, kApn, "CMNET");
    PutText(memory, kApnAccount, "");
    PutText(memory, kApnPassword, "");
    PutText(memory, kDns, "8.8.8.8");
    PutPackedDigits(memory, kTrackerId, tracker_id);
    PutText(memory, kServer, "203.0.113.17");
    PutText(memory, kServerPort, "8051");
    PutText(memory, kListenInPhone, "");
    PutLittleEndian(memory, kLogInterval, 60);     // seconds
    PutLittleEndian(memory, kTimeZone, 8 * 3600);  // UTC+8, in seconds
    PutLittleEndian(memory, kPowerSaving, 0);      // off
    PutText(memory, kSmsNumber, "");
    PutLittleEndian(memory, kSmsInterval, 10);  // minutes
    PutText(memory, kSosNumber, "");
    PutLittleEndian(memory, kCallForSms, 0);
    return memory;
}

}  // namespace qx17::sim
