// The parameter image: the tracker's parameter memory as one byte array,
// index = tracker address, and where each value lives in it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx17 {

inline constexpr std::size_t kParamImageSize = 4097;

// A parameter image: one byte per tracker address.
using ImageBytes = std::array<std::uint8_t, kParamImageSize>;

// The window's image. All zero when the program starts.
extern ImageBytes ParamImage;

// A value's place in the image: first byte and width.
struct ImageField {
    std::size_t first;
    std::size_t width;
};

inline constexpr ImageField kPW{2, 4};          // 4 digits, no terminator
inline constexpr ImageField kGPRS_MODE{16, 1};  // 0 off, 1 TCP, 2 UDP
inline constexpr ImageField kGPRS_TM{17, 2};    // u16 LE, tens of seconds
inline constexpr ImageField kAPN{19, 32};
inline constexpr ImageField kAPN_NAME{51, 20};
inline constexpr ImageField kAPN_PW{71, 20};
inline constexpr ImageField kDNS{91, 16};
inline constexpr ImageField kID{107, 7};  // packed decimal digits, 0xF filler
inline constexpr ImageField kIP{114, 32};
inline constexpr ImageField kPort{146, 5};
inline constexpr ImageField kListen{168, 16};
inline constexpr ImageField kLOG_INT{184, 2};    // u16 LE, seconds
inline constexpr ImageField kTimeZone{186, 4};   // i32 LE, seconds
inline constexpr ImageField kSleepMode{212, 1};  // u8, minutes
inline constexpr ImageField kSMS_OBJ{213, 16};
inline constexpr ImageField kSMS_INT{229, 2};  // u16 LE, minutes
inline constexpr ImageField kSOS_NO{231, 16};
inline constexpr ImageField kCallReply{247, 1};  // item index, 0xFF none

// `count` bytes of `image` from `start` as a byte string, 0x00 bytes
// included; empty for a count of 0 or less. Bytes outside the image are not
// read: the result holds only the part of the range that lies inside it.
std::string ImageBytesToText(const ImageBytes& image, std::int32_t start, std::int32_t count);
// The same on the window's image.
std::string ImageBytesToText(std::int32_t start, std::int32_t count);

// Encoders. A '#'-terminated text: the text's bytes, then one '#' when it is
// shorter than the field; the bytes after the '#' are left as they are. A
// text longer than the field is cut to the field's width, so nothing spills
// into the next field.
void PutHashText(ImageBytes& image, ImageField field, std::string_view text);
// The bytes of `bytes`, at most the field's width, from its first byte.
void PutBytes(ImageBytes& image, ImageField field, std::string_view bytes);
void PutU8(ImageBytes& image, ImageField field, std::uint8_t value);
void PutU16(ImageBytes& image, ImageField field, std::uint16_t value);
void PutI32(ImageBytes& image, ImageField field, std::int32_t value);

// Decoders.
std::uint8_t GetU8(const ImageBytes& image, ImageField field);
std::uint16_t GetU16(const ImageBytes& image, ImageField field);
std::int32_t GetI32(const ImageBytes& image, ImageField field);
std::string GetBytes(const ImageBytes& image, ImageField field);

}  // namespace qx17
