// The values of the parameter fields as the window holds them: the texts as
// typed, the GPRS check box and the two lists' item indexes. Named after the
// saved settings that keep them. The window reads its controls into this
// record and shows it again; the command-line tool reads it from a profile.
#pragma once

#include <string>

#include "params/param_image.h"

namespace qx17 {

struct FieldValues {
    std::string APN;
    std::string APN_NAME;
    std::string APN_PW;
    std::string DNS;  // the hidden field: never entered, only loaded and read
    std::string GPRS_TM;
    std::string ID;
    std::string IP;
    std::string Port;
    bool GPRS_EN = false;
    int GPRS_TYPE = 0;  // 0 "TCP", 1 "UDP", -1 none
    std::string SMS_OBJ;
    std::string SMS_INT;
    std::string PW;
    std::string Listen;
    std::string SOS_NO;
    std::string LOG_INT;
    std::string TimeZone;
    std::string SleepMode;
    int CallReply = 0;  // 0 "Disable", 1 "Normal", 2 "Google Map", -1 none

    friend bool operator==(const FieldValues&, const FieldValues&) = default;
};

// Encodes every field into `image`, in the fixed order GPRS_MODE, GPRS_TM, IP,
// Port, ID, APN, APN_NAME, APN_PW, DNS, SMS_OBJ, SMS_INT, PW, Listen, SOS_NO,
// LOG_INT, TimeZone, SleepMode, CallReply. Bytes no field covers, and those
// after a text's '#', keep what they held. A number of ten digits beyond the
// 32-bit range raises EConvertError at its field: the fields before it are
// written, the later ones are not.
void FieldsToImage(const FieldValues& values, ImageBytes& image);

// Decodes every field of `image`.
FieldValues ImageToFields(const ImageBytes& image);

}  // namespace qx17
