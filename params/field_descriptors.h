// Everything the program knows about each parameter field, said once: the
// name its value is saved under, the window's control and the label beside
// it, its place in the parameter image, the rule a typed text must meet, the
// text an empty saved value takes, and a list's items. The window's mapping
// and exit checks, the saved settings and qx17ctl's tables are built from
// these, or checked against them by the tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/field_rules.h"
#include "params/field_values.h"
#include "params/param_image.h"

namespace qx17 {

enum class FieldKind {
    kText,  // an entry field: its text
    kFlag,  // a check box: on or off, saved as 1 or 0
    kList,  // a drop-down list: its item index, -1 none
};

struct FieldDescriptor {
    const char* name = "";       // the saved value's name: "APN", "GPRS_EN" ...
    const char* control = "";    // the window's control: "IN_APN", "SelGPRS" ...
    const char* label = "";      // the window's label beside it (qx17ctl's too)
    const char* unit = nullptr;  // the unit the window shows after it
    ImageField place{0, 0};      // where its value lives in the image
    FieldKind kind = FieldKind::kText;
    std::string FieldValues::*text = nullptr;  // kText
    bool FieldValues::*flag = nullptr;         // kFlag
    int FieldValues::*index = nullptr;         // kList
    std::vector<const char*> items;            // kList: the list's items
    std::optional<FieldRule> rule;             // every text: what it must be
    const char* fallback = nullptr;            // the text an empty saved value takes
    bool shown = true;                         // false for the hidden DNS field
};

// Every field, in the order the settings save them.
const std::vector<FieldDescriptor>& FieldDescriptors();

// The field saved as `name`, or of the window's control `control`; nullptr
// when there is none.
const FieldDescriptor* FieldNamed(std::string_view name);
const FieldDescriptor* FieldOfControl(std::string_view control);

}  // namespace qx17
