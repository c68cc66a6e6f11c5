#include "params/field_values.h"

#include <cstdint>

#include "params/text_conversions.h"

namespace qx17 {

namespace {

constexpr std::size_t kIdDigits = 14;

// The text of a '#'-terminated field: up to the first '#' or 0x00.
std::string HashText(const ImageBytes& image, ImageField field) {
    return TextBeforeHash(GetBytes(image, field));
}

std::uint16_t Low16(const std::string& text) {
    return static_cast<std::uint16_t>(TextToInt(text));
}

}  // namespace

void FieldsToImage(const FieldValues& v, ImageBytes& image) {
    // GPRS_MODE: off, or on with TCP (item 0) or anything else.
    std::uint8_t mode = 0;
    if (v.GPRS_EN) {
        mode = v.GPRS_TYPE == 0 ? 1 : 2;
    }
    PutU8(image, kGPRS_MODE, mode);

    // GPRS_TM: the window's seconds in tens, truncated toward zero.
    PutU16(image, kGPRS_TM, static_cast<std::uint16_t>(TextToInt(v.GPRS_TM) / 10));

    PutHashText(image, kIP, v.IP);
    PutHashText(image, kPort, v.Port);

    // ID: padded with 'F' to 14 characters, two hexadecimal digits a byte. A
    // text that is not hexadecimal leaves the bytes as they are.
    std::string id = v.ID;
    if (id.size() < kIdDigits) {
        id.append(kIdDigits - id.size(), 'F');
    }
    const HexBytes packed = HexTextToBytes(id);
    if (packed.ok) {
        PutBytes(image, kID, packed.bytes);
    }

    PutHashText(image, kAPN, v.APN);
    PutHashText(image, kAPN_NAME, v.APN_NAME);
    PutHashText(image, kAPN_PW, v.APN_PW);
    PutHashText(image, kDNS, v.DNS);
    PutHashText(image, kSMS_OBJ, v.SMS_OBJ);
    PutU16(image, kSMS_INT, Low16(v.SMS_INT));

    // PW: the characters as typed, no terminator.
    PutBytes(image, kPW, v.PW);

    PutHashText(image, kListen, v.Listen);
    PutHashText(image, kSOS_NO, v.SOS_NO);
    PutU16(image, kLOG_INT, Low16(v.LOG_INT));

    // TimeZone: minutes times 60 in 32-bit arithmetic, sign kept.
    const auto minutes = static_cast<std::uint32_t>(TextToInt(v.TimeZone));
    PutI32(image, kTimeZone, static_cast<std::int32_t>(minutes * 60u));

    // SleepMode: the low 8 bits (a value of 300 reaches the image as 44).
    PutU8(image, kSleepMode, static_cast<std::uint8_t>(TextToInt(v.SleepMode) & 0xFF));

    // CallReply: the low 8 bits of the item index, so none (-1) is 0xFF.
    PutU8(image, kCallReply, static_cast<std::uint8_t>(v.CallReply & 0xFF));
}

FieldValues ImageToFields(const ImageBytes& image) {
    FieldValues v;
    const std::uint8_t mode = GetU8(image, kGPRS_MODE);
    v.GPRS_EN = mode != 0;
    v.GPRS_TYPE = mode <= 1 ? 0 : 1;
    v.GPRS_TM = std::to_string(std::uint32_t{GetU16(image, kGPRS_TM)} * 10);
    v.IP = HashText(image, kIP);
    v.Port = HashText(image, kPort);
    v.ID = PackedDigitsToText(GetBytes(image, kID));
    v.APN = HashText(image, kAPN);
    v.APN_NAME = HashText(image, kAPN_NAME);
    v.APN_PW = HashText(image, kAPN_PW);
    v.DNS = HashText(image, kDNS);
    v.SMS_OBJ = HashText(image, kSMS_OBJ);
    v.SMS_INT = std::to_string(GetU16(image, kSMS_INT));
    v.PW = HashText(image, kPW);
    v.Listen = HashText(image, kListen);
    v.SOS_NO = HashText(image, kSOS_NO);
    v.LOG_INT = std::to_string(GetU16(image, kLOG_INT));
    v.TimeZone = std::to_string(GetI32(image, kTimeZone) / 60);  // truncated toward zero
    v.SleepMode = std::to_string(GetU8(image, kSleepMode));
    const std::uint8_t call = GetU8(image, kCallReply);
    v.CallReply = call <= 2 ? call : -1;
    return v;
}

}  // namespace qx17
