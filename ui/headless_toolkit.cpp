#include "ui/headless_toolkit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "serial/tcomm.h"

namespace qx17 {

class HeadlessToolkit::HeadlessControl final : public Control {
  public:
    explicit HeadlessControl(const ControlSpec& spec)
        : Control(spec),
          text_(spec.text),
          checked_(spec.checked),
          index_(spec.item_index),
          panels_(spec.panel_widths.size()) {}

    std::string Text() const override { return text_; }
    void SetText(const std::string& text) override { text_ = text; }

    bool Checked() const override { return checked_; }
    void SetChecked(bool checked) override {
        if (checked_ != checked) {
            checked_ = checked;
            Raise(OnClick);
        }
    }

    int ItemIndex() const override { return index_; }
    void SetItemIndex(int index) override {
        index_ = (index >= 0 && index < ItemCount()) ? index : -1;
    }

    std::string PanelText(int panel) const override {
        return panel >= 0 && static_cast<std::size_t>(panel) < panels_.size()
                   ? panels_[static_cast<std::size_t>(panel)]
                   : std::string();
    }
    void SetPanelText(int panel, const std::string& text) override {
        if (panel >= 0 && static_cast<std::size_t>(panel) < panels_.size()) {
            panels_[static_cast<std::size_t>(panel)] = text;
        }
    }

    void RaiseClick() { Raise(OnClick); }
    void RaiseChange() { Raise(OnChange); }

  private:
    std::string text_;
    bool checked_;
    int index_;
    std::vector<std::string> panels_;
};

HeadlessToolkit::HeadlessToolkit() = default;
HeadlessToolkit::~HeadlessToolkit() = default;

void HeadlessToolkit::CreateWindow(int client_width, int client_height) {
    width_ = client_width;
    height_ = client_height;
}

Control& HeadlessToolkit::CreateControl(const ControlSpec& spec) {
    if (!spec.parent.empty() && controls_.count(spec.parent) == 0) {
        std::fprintf(stderr, "headless toolkit: '%s' before its parent\n", spec.name.c_str());
        std::abort();
    }
    layout_.push_back(spec);
    auto control = std::make_unique<HeadlessControl>(spec);
    HeadlessControl& ref = *control;
    controls_[spec.name] = std::move(control);
    return ref;
}

void HeadlessToolkit::StartTimer(int interval_ms, std::function<void()> tick) {
    const std::chrono::milliseconds interval(interval_ms);
    timers_.push_back({interval, now_ + interval,
                       std::make_unique<const std::function<void()>>(std::move(tick))});
}

BoxResult HeadlessToolkit::MessageBox(const std::string& text, const std::string& caption,
                                      BoxButtons buttons) {
    boxes_.push_back({text, caption, buttons, false});
    const BoxRecord record = boxes_.back();
    if (responder_) {
        // A copy: the responder may replace itself while it runs.
        const auto responder = responder_;
        return responder(record);
    }
    return buttons == BoxButtons::Ok ? BoxResult::Ok : BoxResult::Yes;
}

void HeadlessToolkit::ShowError(const std::string& text, const std::string& caption) {
    boxes_.push_back({text, caption, BoxButtons::Ok, true});
    if (responder_) {
        const auto responder = responder_;
        responder(boxes_.back());
    }
}

void HeadlessToolkit::AttachNotices(TComm& comm) {
    comms_.push_back(&comm);
}

void HeadlessToolkit::DetachNotices(TComm& comm) {
    comms_.erase(std::remove(comms_.begin(), comms_.end(), &comm), comms_.end());
}

void HeadlessToolkit::Show(const std::string& first_focus) {
    shown_ = true;
    focus_.Forget();
    Focus(first_focus);
}

HeadlessToolkit::HeadlessControl& HeadlessToolkit::Lookup(const std::string& name) {
    const auto found = controls_.find(name);
    if (found == controls_.end()) {
        std::fprintf(stderr, "headless toolkit: no control '%s'\n", name.c_str());
        std::abort();
    }
    return *found->second;
}

Control& HeadlessToolkit::Get(const std::string& name) {
    return Lookup(name);
}

bool HeadlessToolkit::Focusable(const HeadlessControl& control) const {
    return control.Spec().can_focus && control.Spec().visible;
}

void HeadlessToolkit::Focus(const std::string& name) {
    HeadlessControl& next = Lookup(name);
    if (Focusable(next)) {
        focus_.MovedTo(next);
    }
}

void HeadlessToolkit::Tab() {
    const std::vector<std::string> sequence = TabSequence(layout_);
    if (sequence.empty()) {
        return;
    }
    auto at = std::find(sequence.begin(), sequence.end(), Focused());
    const std::size_t next =
        at == sequence.end()
            ? 0
            : (static_cast<std::size_t>(at - sequence.begin()) + 1) % sequence.size();
    Focus(sequence[next]);
}

void HeadlessToolkit::Type(const std::string& text) {
    Control* field = focus_.Focused();
    if (field != nullptr && field->Spec().kind == ControlKind::Edit) {
        field->SetText(text);
    }
}

void HeadlessToolkit::Click(const std::string& name) {
    HeadlessControl& target = Lookup(name);
    Focus(name);  // the leaving field's exit runs first
    switch (target.Spec().kind) {
        case ControlKind::Button:
            target.RaiseClick();
            break;
        case ControlKind::CheckBox:
            target.SetChecked(!target.Checked());
            break;
        default:
            break;
    }
}

void HeadlessToolkit::Pick(const std::string& name, int index) {
    HeadlessControl& list = Lookup(name);
    Focus(name);
    list.SetItemIndex(index);
    list.RaiseChange();
}

void HeadlessToolkit::CloseWindow() {
    focus_.WindowClosing();
    shown_ = false;
}

void HeadlessToolkit::AdvanceTime(std::chrono::milliseconds duration) {
    const std::chrono::milliseconds end = now_ + duration;
    for (;;) {
        // The earliest due tick; ties in the order the timers were started.
        Timer* due = nullptr;
        for (Timer& timer : timers_) {
            if (timer.next <= end && (due == nullptr || timer.next < due->next)) {
                due = &timer;
            }
        }
        if (due == nullptr) {
            break;
        }
        now_ = due->next;
        due->next += due->interval;
        const std::function<void()>* tick = due->tick.get();  // `due` may move
        (*tick)();
    }
    now_ = end;
}

bool HeadlessToolkit::PumpNotices(const std::function<bool()>& done,
                                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (std::size_t i = 0; i < comms_.size(); ++i) {
            comms_[i]->DispatchNotices();
        }
        if (done()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (comms_.empty()) {
            return done();
        }
        comms_.front()->Notices().WaitNonEmpty(std::min(left, std::chrono::milliseconds(20)));
    }
}

void HeadlessToolkit::PumpNoticesFor(std::chrono::milliseconds duration) {
    (void)PumpNotices([] { return false; }, duration);
}

}  // namespace qx17
