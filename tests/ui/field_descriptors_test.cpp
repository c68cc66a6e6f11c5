// The window's layout against the fields' descriptors: every field's control
// is there, of its kind, with the descriptor's items, label and unit, and
// shows the descriptor's fallback as its first text (when it shows one).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "params/field_descriptors.h"
#include "ui/form_layout.h"
#include "ui/toolkit.h"

namespace qx17 {
namespace {

// The unit label right of `field` on its row, if there is one.
const ControlSpec* UnitAfter(const std::vector<ControlSpec>& layout, const ControlSpec& field) {
    for (const ControlSpec& spec : layout) {
        if (spec.kind == ControlKind::Label && spec.parent == field.parent &&
            spec.rect.top == field.rect.top &&
            spec.rect.left >= field.rect.left + field.rect.width - 3 &&
            spec.rect.left <= field.rect.left + field.rect.width + 5) {
            return &spec;
        }
    }
    return nullptr;
}

TEST(FieldDescriptors, TheWindowsControlsAreTheFieldsDescribed) {
    const std::vector<ControlSpec>& layout = Form1Layout();
    std::set<std::string> described;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        described.insert(field.control);
        const ControlSpec& spec = Form1Spec(field.control);
        const ControlKind kind = field.kind == FieldKind::kText   ? ControlKind::Edit
                                 : field.kind == FieldKind::kFlag ? ControlKind::CheckBox
                                                                  : ControlKind::ComboBox;
        EXPECT_EQ(spec.kind, kind) << field.name;
        EXPECT_EQ(spec.items, std::vector<std::string>(field.items.begin(), field.items.end()))
            << field.name;
        EXPECT_EQ(spec.visible, field.shown) << field.name;
        EXPECT_EQ(field.rule.has_value(), field.kind == FieldKind::kText)
            << field.name << ": every text has its rule, the hidden one's for profiles";
        if (field.kind == FieldKind::kText && !spec.text.empty()) {
            ASSERT_NE(field.fallback, nullptr) << field.name;
            EXPECT_EQ(spec.text, field.fallback) << field.name << ": its first text";
        }
        if (field.kind == FieldKind::kText && field.shown) {
            const ControlSpec* label = LabelBeside(layout, spec);
            ASSERT_NE(label, nullptr) << field.name;
            EXPECT_EQ(label->text, field.label) << field.name;
            const ControlSpec* unit = UnitAfter(layout, spec);
            EXPECT_EQ(unit ? unit->text : "", field.unit ? field.unit : "") << field.name;
        }
    }
    for (const ControlSpec& spec : layout) {
        if (spec.kind == ControlKind::Edit) {
            EXPECT_EQ(described.count(spec.name), 1u) << spec.name << " has no descriptor";
        }
    }
}

}  // namespace
}  // namespace qx17
