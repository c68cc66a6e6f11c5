#include "ui/form_settings.h"

#include <cstdint>
#include <string>

#include "params/ireg.h"
#include "ui/form_mapping.h"
#include "ui/tform1.h"

namespace qx17 {

namespace {

constexpr const char* kDefaultServer = "tracker.example.com";

std::string ReadText(const char* name) {
    return RegReadString(HKEY_CURRENT_USER, kSettingsKey, name);
}
std::int32_t ReadNumber(const char* name) {
    return RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, name);
}
void WriteText(const char* name, const std::string& text) {
    RegWriteString(HKEY_CURRENT_USER, kSettingsKey, name, text);
}
void WriteNumber(const char* name, std::int32_t value) {
    RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, name, value);
}

// The writes of one save reach the store together: a store that keeps its
// values in a file then writes it once, and nobody sees half a save.
class SaveBatch {
  public:
    SaveBatch() { CurrentRegistryStore().BeginBatch(); }
    ~SaveBatch() {
        if (open_)
            CurrentRegistryStore().AbandonBatch();
    }
    bool Commit() {
        open_ = false;
        return CurrentRegistryStore().CommitBatch();
    }

  private:
    bool open_ = true;
};

// The 21 values in the registry of the current user.
class RegistrySettings final : public FormSettings {
  public:
    void LoadSettings(TForm1& form) override {
        form.ComboBox4->SetItemIndex(ReadNumber("COM"));
        form.IN_APN->SetText(ReadText("APN"));
        form.IN_APNNAME->SetText(ReadText("APN_NAME"));
        form.IN_APNPW->SetText(ReadText("APN_PW"));
        form.IN_DNS->SetText(ReadText("DNS"));
        form.IN_GPRSTM->SetText(ReadText("GPRS_TM"));
        form.IN_ID->SetText(ReadText("ID"));
        form.IN_IP->SetText(ReadText("IP"));
        form.IN_PORT->SetText(ReadText("Port"));
        form.SelTCP->SetItemIndex(ReadNumber("GPRS_TYPE"));
        if ((ReadNumber("GPRS_EN") & 0xFF) != 0) {
            form.SelGPRS->SetChecked(true);  // only ever checks
        }
        form.IN_ATEL->SetText(ReadText("SMS_OBJ"));
        form.IN_ATM->SetText(ReadText("SMS_INT"));
        form.IN_PW->SetText(ReadText("PW"));
        form.Edit7->SetText(ReadText("Listen"));
        form.IN_SMS1->SetText(ReadText("SOS_NO"));
        form.Edit1->SetText(ReadText("LOG_INT"));
        form.Edit2->SetText(ReadText("TimeZone"));
        form.Edit3->SetText(ReadText("SleepMode"));
        form.ComboBox1->SetItemIndex(ReadNumber("CallReply"));
        // "Auto" (Auto_Write) is saved but never restored.

        if (form.ComboBox4->ItemIndex() < 0) {
            form.ComboBox4->SetItemIndex(0);
        }
        const struct {
            Control* field;
            const char* fallback;
        } defaults[] = {
            {form.IN_APN, "CMNET"}, {form.IN_GPRSTM, "0"}, {form.IN_IP, kDefaultServer},
            {form.IN_PORT, "8051"}, {form.IN_ATM, "0"},    {form.IN_PW, "3794"},
            {form.Edit1, "0"},      {form.Edit2, "0"},     {form.Edit3, "0"},
        };
        for (const auto& d : defaults) {
            if (d.field->Text().empty()) {
                d.field->SetText(d.fallback);
            }
        }
    }

    void SaveSettings(TForm1& form) override {
        SaveBatch batch;
        WriteNumber("COM", form.ComboBox4->ItemIndex());
        WriteNumber("Auto_Write", form.CheckBox1->Checked() ? 1 : 0);
        WriteText("APN", form.IN_APN->Text());
        WriteText("APN_NAME", form.IN_APNNAME->Text());
        WriteText("APN_PW", form.IN_APNPW->Text());
        WriteText("DNS", form.IN_DNS->Text());
        WriteText("GPRS_TM", form.IN_GPRSTM->Text());
        WriteText("ID", form.IN_ID->Text());
        WriteText("IP", form.IN_IP->Text());
        WriteText("Port", form.IN_PORT->Text());
        WriteNumber("GPRS_EN", form.SelGPRS->Checked() ? 1 : 0);
        WriteNumber("GPRS_TYPE", form.SelTCP->ItemIndex());
        WriteText("SMS_OBJ", form.IN_ATEL->Text());
        WriteText("SMS_INT", form.IN_ATM->Text());
        WriteText("PW", form.IN_PW->Text());
        WriteText("Listen", form.Edit7->Text());
        WriteText("SOS_NO", form.IN_SMS1->Text());
        WriteText("LOG_INT", form.Edit1->Text());
        WriteText("TimeZone", form.Edit2->Text());
        WriteText("SleepMode", form.Edit3->Text());
        WriteNumber("CallReply", form.ComboBox1->ItemIndex());
        if (!batch.Commit()) {
            // Refused as a whole: as if the first value had been refused, so
            // nothing of it was stored.
            throw ERegistryException("Failed to set data for 'COM'");
        }
        qx17::FieldsToImage(form);
    }

    void FieldsToImage(TForm1& form) override { qx17::FieldsToImage(form); }
};

}  // namespace

FormSettings& DefaultFormSettings() {
    static RegistrySettings settings;
    return settings;
}

}  // namespace qx17
