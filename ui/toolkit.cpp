#include "ui/toolkit.h"

#include <algorithm>

namespace qx17 {

std::string Control::ItemText() const {
    const int index = ItemIndex();
    if (index < 0 || index >= ItemCount()) {
        return {};
    }
    return spec_.items[static_cast<std::size_t>(index)];
}

namespace {

void AppendChildren(const std::vector<ControlSpec>& layout, const std::string& parent,
                    std::vector<std::string>& sequence) {
    std::vector<const ControlSpec*> children;
    for (const ControlSpec& spec : layout) {
        if (spec.parent == parent && spec.tab_order >= 0 && spec.visible) {
            children.push_back(&spec);
        }
    }
    std::stable_sort(
        children.begin(), children.end(),
        [](const ControlSpec* a, const ControlSpec* b) { return a->tab_order < b->tab_order; });
    for (const ControlSpec* child : children) {
        if (child->kind == ControlKind::GroupBox) {
            AppendChildren(layout, child->name, sequence);
        } else if (child->can_focus) {
            sequence.push_back(child->name);
        }
    }
}

}  // namespace

std::vector<std::string> TabSequence(const std::vector<ControlSpec>& layout) {
    std::vector<std::string> sequence;
    AppendChildren(layout, "", sequence);
    return sequence;
}

}  // namespace qx17
