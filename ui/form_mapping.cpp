#include "ui/form_mapping.h"

#include "params/param_image.h"
#include "ui/tform1.h"

namespace qx17 {

FieldValues ReadFieldValues(TForm1& form) {
    FieldValues v;
    v.APN = form.IN_APN->Text();
    v.APN_NAME = form.IN_APNNAME->Text();
    v.APN_PW = form.IN_APNPW->Text();
    v.DNS = form.IN_DNS->Text();
    v.GPRS_TM = form.IN_GPRSTM->Text();
    v.ID = form.IN_ID->Text();
    v.IP = form.IN_IP->Text();
    v.Port = form.IN_PORT->Text();
    v.GPRS_EN = form.SelGPRS->Checked();
    v.GPRS_TYPE = form.SelTCP->ItemIndex();
    v.SMS_OBJ = form.IN_ATEL->Text();
    v.SMS_INT = form.IN_ATM->Text();
    v.PW = form.IN_PW->Text();
    v.Listen = form.Edit7->Text();
    v.SOS_NO = form.IN_SMS1->Text();
    v.LOG_INT = form.Edit1->Text();
    v.TimeZone = form.Edit2->Text();
    v.SleepMode = form.Edit3->Text();
    v.CallReply = form.ComboBox1->ItemIndex();
    return v;
}

void ShowFieldValues(TForm1& form, const FieldValues& v) {
    form.SelGPRS->SetChecked(v.GPRS_EN);
    form.SelTCP->SetItemIndex(v.GPRS_TYPE);
    form.IN_GPRSTM->SetText(v.GPRS_TM);
    form.IN_IP->SetText(v.IP);
    form.IN_PORT->SetText(v.Port);
    form.IN_ID->SetText(v.ID);
    form.IN_APN->SetText(v.APN);
    form.IN_APNNAME->SetText(v.APN_NAME);
    form.IN_APNPW->SetText(v.APN_PW);
    form.IN_DNS->SetText(v.DNS);
    form.IN_ATEL->SetText(v.SMS_OBJ);
    form.IN_ATM->SetText(v.SMS_INT);
    form.IN_PW->SetText(v.PW);
    form.Edit7->SetText(v.Listen);
    form.IN_SMS1->SetText(v.SOS_NO);
    form.Edit1->SetText(v.LOG_INT);
    form.Edit2->SetText(v.TimeZone);
    form.Edit3->SetText(v.SleepMode);
    form.ComboBox1->SetItemIndex(v.CallReply);
}

void FieldsToImage(TForm1& form) {
    FieldsToImage(ReadFieldValues(form), ParamImage);
}

void ImageToFields(TForm1& form) {
    ShowFieldValues(form, ImageToFields(ParamImage));
}

}  // namespace qx17
