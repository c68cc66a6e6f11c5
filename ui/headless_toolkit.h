// A toolkit without a display, for tests: the test acts as the user would
// (moves the focus, types, clicks, picks an item, answers a box), advances a
// virtual clock that drives the timers, and pumps the serial component's
// notices. The event rules are the same as on a real toolkit.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace qx17 {

struct BoxRecord {
    std::string text;
    std::string caption;
    BoxButtons buttons = BoxButtons::Ok;
    bool error = false;  // the standard error box (stop icon)
};

class HeadlessToolkit : public Toolkit {
  public:
    HeadlessToolkit();
    ~HeadlessToolkit() override;

    // Toolkit.
    void CreateWindow(int client_width, int client_height) override;
    void SetCaption(const std::string& caption) override { caption_ = caption; }
    std::string Caption() const override { return caption_; }
    Control& CreateControl(const ControlSpec& spec) override;
    void StartTimer(int interval_ms, std::function<void()> tick) override;
    BoxResult MessageBox(const std::string& text, const std::string& caption,
                         BoxButtons buttons) override;
    void ShowError(const std::string& text, const std::string& caption) override;
    void AttachNotices(TComm& comm) override;
    void DetachNotices(TComm& comm) override;
    void Show(const std::string& first_focus) override;

    // The user.
    Control& Get(const std::string& name);
    std::string Focused() const { return focus_.Focused() ? focus_.Focused()->Name() : ""; }
    void Focus(const std::string& name);            // as by a click that moves the focus
    void Tab();                                     // the tab key
    void Type(const std::string& text);             // replaces the focused field's text
    void Click(const std::string& name);            // button or check box
    void Pick(const std::string& name, int index);  // an item of a drop-down list
    void Deactivate() {}  // another application comes to the front: nothing runs
    void CloseWindow();   // the window's close button: the focused field's exit runs

    // Answers every box from now on; it may itself advance time or pump
    // notices, as the box's nested loop would. Unset: OK, or Yes.
    void SetBoxResponder(std::function<BoxResult(const BoxRecord&)> responder) {
        responder_ = std::move(responder);
    }
    const std::vector<BoxRecord>& Boxes() const { return boxes_; }
    void ClearBoxes() { boxes_.clear(); }

    // The virtual clock: runs every timer tick due within `duration`.
    void AdvanceTime(std::chrono::milliseconds duration);
    std::chrono::milliseconds Now() const { return now_; }

    // Delivers the attached components' notices for up to `timeout` of real
    // time, until `done` holds; true when it did.
    bool PumpNotices(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void PumpNoticesFor(std::chrono::milliseconds duration);

    bool Shown() const { return shown_; }
    int ClientWidth() const { return width_; }
    int ClientHeight() const { return height_; }

  private:
    class HeadlessControl;
    struct Timer {
        std::chrono::milliseconds interval;
        std::chrono::milliseconds next;
        // On the heap, so that a tick stays where it is while it starts
        // another timer and the vector grows; timers are never removed.
        std::unique_ptr<const std::function<void()>> tick;
    };

    HeadlessControl& Lookup(const std::string& name);
    bool Focusable(const HeadlessControl& control) const;

    std::map<std::string, std::unique_ptr<HeadlessControl>> controls_;
    std::vector<ControlSpec> layout_;
    std::vector<Timer> timers_;
    std::vector<TComm*> comms_;
    std::vector<BoxRecord> boxes_;
    std::function<BoxResult(const BoxRecord&)> responder_;
    std::string caption_;
    FocusRules focus_;
    std::chrono::milliseconds now_{0};
    int width_ = 0;
    int height_ = 0;
    bool shown_ = false;
};

}  // namespace qx17
