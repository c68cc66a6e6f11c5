#include "params/param_image.h"

#include <algorithm>

namespace qx17 {

std::array<std::uint8_t, kParamImageSize> ParamImage{};

std::string ImageBytesToText(std::int32_t start, std::int32_t count) {
    if (count <= 0) {
        return {};
    }
    const std::int64_t begin = std::max<std::int64_t>(start, 0);
    const std::int64_t end = std::min<std::int64_t>(std::int64_t{start} + count,
                                                    static_cast<std::int64_t>(kParamImageSize));
    if (begin >= end) {
        return {};
    }
    return std::string(ParamImage.begin() + begin, ParamImage.begin() + end);
}

void PutBytes(ImageField field, std::string_view bytes) {
    const std::size_t n = std::min(bytes.size(), field.width);
    for (std::size_t i = 0; i < n; ++i) {
        ParamImage[field.first + i] = static_cast<std::uint8_t>(bytes[i]);
    }
}

void PutHashText(ImageField field, std::string_view text) {
    PutBytes(field, text);
    if (text.size() < field.width) {
        ParamImage[field.first + text.size()] = '#';
    }
}

void PutU8(ImageField field, std::uint8_t value) {
    ParamImage[field.first] = value;
}

void PutU16(ImageField field, std::uint16_t value) {
    ParamImage[field.first] = static_cast<std::uint8_t>(value & 0xFF);
    ParamImage[field.first + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutI32(ImageField field, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) {
        ParamImage[field.first + i] = static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFF);
    }
}

std::uint8_t GetU8(ImageField field) {
    return ParamImage[field.first];
}

std::uint16_t GetU16(ImageField field) {
    return static_cast<std::uint16_t>(ParamImage[field.first] | (ParamImage[field.first + 1] << 8));
}

std::int32_t GetI32(ImageField field) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bits |= std::uint32_t{ParamImage[field.first + i]} << (8 * i);
    }
    return static_cast<std::int32_t>(bits);
}

std::string GetBytes(ImageField field) {
    return ImageBytesToText(static_cast<std::int32_t>(field.first),
                            static_cast<std::int32_t>(field.width));
}

}  // namespace qx17
