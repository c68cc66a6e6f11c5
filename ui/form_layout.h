// The fixed layout of the main window: every control with its place, size,
// text, initial state, tab order and font.
#pragma once

#include <vector>

#include "ui/toolkit.h"

namespace qx17 {

inline constexpr int kFormClientWidth = 556;
inline constexpr int kFormClientHeight = 389;

// In creation order: a group box before its controls.
const std::vector<ControlSpec>& Form1Layout();

// The layout entry of `name`; aborts on a name the layout lacks, which is a
// fault of the program itself.
const ControlSpec& Form1Spec(const std::string& name);

}  // namespace qx17
