#include "ui/form_settings.h"

#include <cstdint>
#include <string>

#include "params/field_settings.h"
#include "params/ireg.h"
#include "ui/form_mapping.h"
#include "ui/tform1.h"

namespace qx17 {

namespace {

// The values in the registry of the current user, one iReg call each.
class RegistryReader final : public SettingsReader {
  public:
    std::string Text(const std::string& name) override {
        return RegReadString(HKEY_CURRENT_USER, kSettingsKey, name);
    }
    std::int32_t Number(const std::string& name) override {
        return RegReadInteger(HKEY_CURRENT_USER, kSettingsKey, name);
    }
};

class RegistryWriter final : public SettingsWriter {
  public:
    void Text(const std::string& name, const std::string& text) override {
        RegWriteString(HKEY_CURRENT_USER, kSettingsKey, name, text);
    }
    void Number(const std::string& name, std::int32_t value) override {
        RegWriteInteger(HKEY_CURRENT_USER, kSettingsKey, name, value);
    }
};

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
        RegistryReader reader;
        form.ComboBox4->SetItemIndex(reader.Number("COM"));
        // The fields not read yet keep what they hold when a value stops the
        // load. "Auto" (Auto_Write) is saved but never restored.
        FieldValues values = ReadFieldValues(form);
        try {
            LoadFieldValues(reader, values);
        } catch (...) {
            ShowFieldValues(form, values);
            throw;
        }
        ShowFieldValues(form, values);
        if (form.ComboBox4->ItemIndex() < 0) {
            form.ComboBox4->SetItemIndex(0);
        }
    }

    void SaveSettings(TForm1& form) override {
        SaveBatch batch;
        RegistryWriter writer;
        writer.Number("COM", form.ComboBox4->ItemIndex());
        writer.Number("Auto_Write", form.CheckBox1->Checked() ? 1 : 0);
        SaveFieldValues(writer, ReadFieldValues(form));
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
