#include "ui/form_mapping.h"

#include "params/field_descriptors.h"
#include "params/param_image.h"
#include "ui/tform1.h"

namespace qx17 {

FieldValues ReadFieldValues(TForm1& form) {
    FieldValues v;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        Control& control = form.Find(field.control);
        switch (field.kind) {
            case FieldKind::kText:
                v.*field.text = control.Text();
                break;
            case FieldKind::kFlag:
                v.*field.flag = control.Checked();
                break;
            case FieldKind::kList:
                v.*field.index = control.ItemIndex();
                break;
        }
    }
    return v;
}

// The controls are set in this order, GPRS and its list first; the tests
// check it covers every field's control.
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
