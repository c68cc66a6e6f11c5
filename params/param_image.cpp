#include "params/param_image.h"

#include <algorithm>

namespace qx17 {

ImageBytes ParamImage{};

std::string ImageBytesToText(const ImageBytes& image, std::int32_t start, std::int32_t count) {
    if (count <= 0) {
        return {};
    }
    const std::int64_t begin = std::max<std::int64_t>(start, 0);
    const std::int64_t end = std::min<std::int64_t>(std::int64_t{start} + count,
                                                    static_cast<std::int64_t>(kParamImageSize));
    if (begin >= end) {
        return {};
    }
    return std::string(image.begin() + begin, image.begin() + end);
}

std::string ImageBytesToText(std::int32_t start, std::int32_t count) {
    return ImageBytesToText(ParamImage, start, count);
}

void PutBytes(ImageBytes& image, ImageField field, std::string_view bytes) {
    const std::size_t n = std::min(bytes.size(), field.width);
    for (std::size_t i = 0; i < n; ++i) {
        image[field.first + i] = static_cast<std::uint8_t>(bytes[i]);
    }
}

void PutHashText(ImageBytes& image, ImageField field, std::string_view text) {
    PutBytes(image, field, text);
    if (text.size() < field.width) {
        image[field.first + text.size()] = '#';
    }
}

void PutU8(ImageBytes& image, ImageField field, std::uint8_t value) {
    image[field.first] = value;
}

void PutU16(ImageBytes& image, ImageField field, std::uint16_t value) {
    image[field.first] = static_cast<std::uint8_t>(value & 0xFF);
    image[field.first + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutI32(ImageBytes& image, ImageField field, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) {
        image[field.first + i] = static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFF);
    }
}

std::uint8_t GetU8(const ImageBytes& image, ImageField field) {
    return image[field.first];
}

std::uint16_t GetU16(const ImageBytes& image, ImageField field) {
    return static_cast<std::uint16_t>(image[field.first] | (image[field.first + 1] << 8));
}

std::int32_t GetI32(const ImageBytes& image, ImageField field) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bits |= std::uint32_t{image[field.first + i]} << (8 * i);
    }
    return static_cast<std::int32_t>(bits);
}

std::string GetBytes(const ImageBytes& image, ImageField field) {
    return ImageBytesToText(image, static_cast<std::int32_t>(field.first),
                            static_cast<std::int32_t>(field.width));
}

}  // namespace qx17
