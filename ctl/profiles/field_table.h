// The parameter values as qx17ctl shows and compares them: each with its
// saved-settings name, the window's label, its place in the image and its
// value as stored and as the window would show it.
#pragma once

#include <string>
#include <vector>

#include "params/field_values.h"

namespace qx17::ctl {

struct FieldRow {
    const char* name;   // the saved-settings name (APN, GPRS_EN ...)
    std::string label;  // the window's label, and its unit: "Interval (sec)"
    ImageField place;
    bool shown;  // false for the hidden DNS field
    // A text value, or else a number: a flag 0/1 or a list index, -1 none.
    std::string FieldValues::*text;
    bool FieldValues::*flag;
    int FieldValues::*index;
    // The items of a list, for showing a number by its item.
    std::vector<const char*> items;

    bool IsText() const { return text != nullptr; }
    int Number(const FieldValues& values) const;
    // The value as stored: the text, or the number as decimal text.
    std::string Stored(const FieldValues& values) const;
    // As the window shows it: the text, "on"/"off", or the list's item.
    std::string Shown(const FieldValues& values) const;
};

// Every value, in the order of the saved settings: built from the fields'
// descriptors (params/field_descriptors.h).
const std::vector<FieldRow>& FieldRows();

}  // namespace qx17::ctl
