#include "params/ireg.h"

#include <optional>

namespace qx17 {

namespace {

std::string Named(const char* format_head, const std::string& name) {
    return std::string(format_head) + " '" + name + "'";
}

std::optional<RegistryValue> ReadValue(HKEY_ROOT root, const std::string& key,
                                       const std::string& name) {
    // A key that can be neither opened nor created holds no values.
    const std::unique_ptr<RegistryKey> opened = CurrentRegistryStore().OpenKey(root, key);
    if (!opened) {
        return std::nullopt;
    }
    return opened->Read(name);
}

void WriteValue(HKEY_ROOT root, const std::string& key, const std::string& name,
                const RegistryValue& value) {
    const std::unique_ptr<RegistryKey> opened = CurrentRegistryStore().OpenKey(root, key);
    if (!opened || !opened->Write(name, value)) {
        throw ERegistryException(Named("Failed to set data for", name));
    }
}

}  // namespace

std::string StringFromValue(const std::string& name, const std::optional<RegistryValue>& value) {
    if (!value) {
        return {};
    }
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ) {
        throw ERegistryException(Named("Invalid data type for", name));
    }
    // The text ends at its terminating 0x00 (or with the data).
    return value->data.substr(0, value->data.find('\0'));
}

std::int32_t IntegerFromValue(const std::string& name, const std::optional<RegistryValue>& value) {
    if (!value) {
        return 0;
    }
    if (value->data.size() > 4) {
        throw ERegistryException(Named("Failed to get data for", name));
    }
    if (value->type != REG_DWORD) {
        throw ERegistryException(Named("Invalid data type for", name));
    }
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < value->data.size(); ++i) {
        bits |= std::uint32_t{static_cast<std::uint8_t>(value->data[i])} << (8 * i);
    }
    return static_cast<std::int32_t>(bits);
}

std::string RegReadString(HKEY_ROOT root, const std::string& key, const std::string& name) {
    return StringFromValue(name, ReadValue(root, key, name));
}

std::int32_t RegReadInteger(HKEY_ROOT root, const std::string& key, const std::string& name) {
    return IntegerFromValue(name, ReadValue(root, key, name));
}

RegistryValue StringValue(const std::string& text) {
    return {REG_SZ, text + '\0'};
}

RegistryValue IntegerValue(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    std::string data(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        data[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
    return {REG_DWORD, data};
}

bool RegWriteString(HKEY_ROOT root, const std::string& key, const std::string& name,
                    const std::string& text) {
    WriteValue(root, key, name, StringValue(text));
    return true;
}

bool RegWriteInteger(HKEY_ROOT root, const std::string& key, const std::string& name,
                     std::int32_t value) {
    WriteValue(root, key, name, IntegerValue(value));
    return true;
}

}  // namespace qx17
