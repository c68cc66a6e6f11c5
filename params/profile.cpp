#include "params/profile.h"

#include <optional>

#include "params/field_settings.h"
#include "params/ireg.h"
#include "params/reg_file_format.h"

namespace qx17 {

namespace {

class DocumentReader final : public SettingsReader {
  public:
    explicit DocumentReader(const RegDocument& doc) : doc_(doc) {}
    std::size_t found = 0;
    std::string Text(const std::string& name) override { return StringFromValue(name, Find(name)); }
    std::int32_t Number(const std::string& name) override {
        return IntegerFromValue(name, Find(name));
    }

  private:
    std::optional<RegistryValue> Find(const std::string& name) {
        std::optional<RegistryValue> value = doc_.Read(kSettingsSection, name);
        if (value) {
            ++found;
        }
        return value;
    }

    const RegDocument& doc_;
};

class DocumentWriter final : public SettingsWriter {
  public:
    explicit DocumentWriter(RegDocument& doc) : doc_(doc) {}
    void Text(const std::string& name, const std::string& text) override {
        doc_.Set(kSettingsSection, name, StringValue(text));
    }
    void Number(const std::string& name, std::int32_t value) override {
        doc_.Set(kSettingsSection, name, IntegerValue(value));
    }

  private:
    RegDocument& doc_;
};

}  // namespace

FieldValues ParseProfile(std::string_view file, std::size_t* found) {
    return ProfileValues(RegDocument::Parse(file), found);
}

FieldValues ProfileValues(const RegDocument& doc, std::size_t* found) {
    DocumentReader reader(doc);
    FieldValues values;
    LoadFieldValues(reader, values);
    if (found != nullptr) {
        *found = reader.found;
    }
    return values;
}

std::string SerializeProfile(const FieldValues& values) {
    RegDocument doc = RegDocument::Parse("REGEDIT4\r\n\r\n");
    DocumentWriter writer(doc);
    SaveFieldValues(writer, values);
    return doc.Serialize();
}

}  // namespace qx17
