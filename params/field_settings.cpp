#include "params/field_settings.h"

#include "params/field_descriptors.h"

namespace qx17 {

namespace {

// The item index a list shows for a stored index: none outside the list.
int ListIndex(std::int32_t stored, int items) {
    return stored >= 0 && stored < items ? stored : -1;
}

// One value from the store into `v`.
void LoadOne(SettingsReader& reader, const FieldDescriptor& field, FieldValues& v) {
    switch (field.kind) {
        case FieldKind::kText:
            v.*field.text = reader.Text(field.name);
            break;
        case FieldKind::kFlag:
            if ((reader.Number(field.name) & 0xFF) != 0) {
                v.*field.flag = true;  // only ever checks
            }
            break;
        case FieldKind::kList:
            v.*field.index =
                ListIndex(reader.Number(field.name), static_cast<int>(field.items.size()));
            break;
    }
}

}  // namespace

void LoadFieldValues(SettingsReader& reader, FieldValues& v) {
    // In the order of a save, except that a check box is read after the
    // list behind it (GPRS_TYPE before GPRS_EN), as the settings always were.
    const FieldDescriptor* flag = nullptr;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (field.kind == FieldKind::kFlag) {
            flag = &field;
            continue;
        }
        LoadOne(reader, field, v);
        if (flag != nullptr) {
            LoadOne(reader, *flag, v);
            flag = nullptr;
        }
    }
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (field.fallback != nullptr && (v.*field.text).empty()) {
            v.*field.text = field.fallback;
        }
    }
}

void SaveFieldValues(SettingsWriter& writer, const FieldValues& v) {
    for (const FieldDescriptor& field : FieldDescriptors()) {
        switch (field.kind) {
            case FieldKind::kText:
                writer.Text(field.name, v.*field.text);
                break;
            case FieldKind::kFlag:
                writer.Number(field.name, v.*field.flag ? 1 : 0);
                break;
            case FieldKind::kList:
                writer.Number(field.name, v.*field.index);
                break;
        }
    }
}

}  // namespace qx17
