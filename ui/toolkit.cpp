#include "ui/toolkit.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

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

namespace {

bool IsEntryField(const Control& control) {
    return control.Spec().kind == ControlKind::Edit;
}

void Run(const std::function<void()>& handler) {
    if (handler) {
        handler();
    }
}

}  // namespace

void FocusRules::MovedTo(Control& next) {
    if (&next == focused_) {
        return;
    }
    Control* leaving = focused_;
    focused_ = &next;
    if (leaving != nullptr && IsEntryField(*leaving)) {
        Run(leaving->OnExit);
    }
    if (focused_ == &next && IsEntryField(next)) {
        Run(next.OnEnter);
    }
}

void FocusRules::WindowClosing() {
    Control* leaving = std::exchange(focused_, nullptr);
    if (leaving != nullptr && IsEntryField(*leaving)) {
        Run(leaving->OnExit);
    }
}

std::vector<std::string> TabSequence(const std::vector<ControlSpec>& layout) {
    std::vector<std::string> sequence;
    AppendChildren(layout, "", sequence);
    return sequence;
}

const ControlSpec* LabelBeside(const std::vector<ControlSpec>& layout, const ControlSpec& field) {
    const auto middle = [](const Rect& r) { return r.top + r.height / 2; };
    const ControlSpec* nearest = nullptr;
    for (const ControlSpec& spec : layout) {
        const Rect& r = spec.rect;
        if (spec.kind != ControlKind::Label || spec.parent != field.parent ||
            r.left + r.width > field.rect.left + 2 ||
            std::abs(middle(r) - middle(field.rect)) > field.rect.height / 2) {
            continue;
        }
        if (nearest == nullptr || r.left > nearest->rect.left) {
            nearest = &spec;
        }
    }
    return nearest;
}

}  // namespace qx17
