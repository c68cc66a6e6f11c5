#include "protocol/link_commands.h"

namespace qx17 {

std::string WriteData(const ImageBytes& image, const ImageRange& range) {
    std::string data;
    data.push_back('\0');
    data.push_back(static_cast<char>(range.AddressLow()));
    data += ImageBytesToText(image, static_cast<std::int32_t>(range.first),
                             static_cast<std::int32_t>(range.count));
    return data;
}

std::string ReadReplyData(const std::uint8_t* payload, std::size_t payload_length) {
    if (payload_length <= 1) {
        return {};
    }
    return std::string(payload + 1, payload + payload_length);
}

}  // namespace qx17
