#include "ui/form_mapping.h"

#include <string>

#include "params/param_image.h"
#include "params/text_conversions.h"
#include "ui/tform1.h"

namespace qx17 {

namespace {

constexpr std::size_t kIdDigits = 14;

// The text of a '#'-terminated field: up to the first '#' or 0x00.
std::string HashText(ImageField field) {
    return TextBeforeHash(GetBytes(field));
}

}  // namespace

void FieldsToImage(TForm1& form) {
    // GPRS_MODE: off, or on with TCP (item 0) or anything else.
    std::uint8_t mode = 0;
    if (form.SelGPRS->Checked()) {
        mode = form.SelTCP->ItemIndex() == 0 ? 1 : 2;
    }
    PutU8(kGPRS_MODE, mode);

    // GPRS_TM: the window's seconds in tens, truncated toward zero.
    PutU16(kGPRS_TM, static_cast<std::uint16_t>(TextToInt(form.IN_GPRSTM->Text()) / 10));

    PutHashText(kIP, form.IN_IP->Text());
    PutHashText(kPort, form.IN_PORT->Text());

    // ID: padded with 'F' to 14 characters, two hexadecimal digits a byte. A
    // text that is not hexadecimal leaves the bytes as they are.
    std::string id = form.IN_ID->Text();
    if (id.size() < kIdDigits) {
        id.append(kIdDigits - id.size(), 'F');
    }
    const HexBytes packed = HexTextToBytes(id);
    if (packed.ok) {
        PutBytes(kID, packed.bytes);
    }

    PutHashText(kAPN, form.IN_APN->Text());
    PutHashText(kAPN_NAME, form.IN_APNNAME->Text());
    PutHashText(kAPN_PW, form.IN_APNPW->Text());
    PutHashText(kDNS, form.IN_DNS->Text());
    PutHashText(kSMS_OBJ, form.IN_ATEL->Text());
    PutU16(kSMS_INT, static_cast<std::uint16_t>(TextToInt(form.IN_ATM->Text())));

    // PW: the characters as typed, no terminator.
    PutBytes(kPW, form.IN_PW->Text());

    PutHashText(kListen, form.Edit7->Text());
    PutHashText(kSOS_NO, form.IN_SMS1->Text());
    PutU16(kLOG_INT, static_cast<std::uint16_t>(TextToInt(form.Edit1->Text())));

    // TimeZone: minutes times 60 in 32-bit arithmetic, sign kept.
    const auto minutes = static_cast<std::uint32_t>(TextToInt(form.Edit2->Text()));
    PutI32(kTimeZone, static_cast<std::int32_t>(minutes * 60u));

    // SleepMode: the low 8 bits (a value of 300 reaches the image as 44).
    PutU8(kSleepMode, static_cast<std::uint8_t>(TextToInt(form.Edit3->Text()) & 0xFF));

    // CallReply: the low 8 bits of the item index, so none (-1) is 0xFF.
    PutU8(kCallReply, static_cast<std::uint8_t>(form.ComboBox1->ItemIndex() & 0xFF));
}

void ImageToFields(TForm1& form) {
    const std::uint8_t mode = GetU8(kGPRS_MODE);
    form.SelGPRS->SetChecked(mode != 0);
    form.SelTCP->SetItemIndex(mode <= 1 ? 0 : 1);

    form.IN_GPRSTM->SetText(std::to_string(std::uint32_t{GetU16(kGPRS_TM)} * 10));
    form.IN_IP->SetText(HashText(kIP));
    form.IN_PORT->SetText(HashText(kPort));
    form.IN_ID->SetText(PackedDigitsToText(GetBytes(kID)));
    form.IN_APN->SetText(HashText(kAPN));
    form.IN_APNNAME->SetText(HashText(kAPN_NAME));
    form.IN_APNPW->SetText(HashText(kAPN_PW));
    form.IN_DNS->SetText(HashText(kDNS));
    form.IN_ATEL->SetText(HashText(kSMS_OBJ));
    form.IN_ATM->SetText(std::to_string(GetU16(kSMS_INT)));
    form.IN_PW->SetText(HashText(kPW));
    form.Edit7->SetText(HashText(kListen));
    form.IN_SMS1->SetText(HashText(kSOS_NO));
    form.Edit1->SetText(std::to_string(GetU16(kLOG_INT)));
    form.Edit2->SetText(std::to_string(GetI32(kTimeZone) / 60));  // truncated toward zero
    form.Edit3->SetText(std::to_string(GetU8(kSleepMode)));
    const std::uint8_t call = GetU8(kCallReply);
    form.ComboBox1->SetItemIndex(call <= 2 ? call : -1);
}

}  // namespace qx17
