#include "ctl/profiles/field_table.h"

#include "params/field_descriptors.h"

namespace qx17::ctl {

std::string FieldRow::Stored(const FieldValues& values) const {
    return IsText() ? values.*text : std::to_string(Number(values));
}

int FieldRow::Number(const FieldValues& values) const {
    if (flag != nullptr) {
        return values.*flag ? 1 : 0;
    }
    return index != nullptr ? values.*index : 0;
}

std::string FieldRow::Shown(const FieldValues& values) const {
    if (IsText()) {
        return values.*text;
    }
    const int n = Number(values);
    if (items.empty()) {
        return n != 0 ? "on" : "off";
    }
    return n >= 0 && static_cast<std::size_t>(n) < items.size() ? items[static_cast<std::size_t>(n)]
                                                                : "(none)";
}

const std::vector<FieldRow>& FieldRows() {
    static const std::vector<FieldRow> rows = [] {
        std::vector<FieldRow> built;
        for (const FieldDescriptor& field : FieldDescriptors()) {
            FieldRow row{field.name, field.label, field.place, field.shown,
                         field.text, field.flag,  field.index, field.items};
            if (field.unit != nullptr) {
                row.label += std::string(" (") + field.unit + ")";
            }
            built.push_back(row);
        }
        return built;
    }();
    return rows;
}

}  // namespace qx17::ctl
