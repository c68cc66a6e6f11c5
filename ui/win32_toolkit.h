// The window on native Win32 controls. Every control is a child window of the
// main window (a group box's controls too, placed inside its rectangle), so
// that their notifications all reach the main window's procedure; the toolkit
// turns them into the window logic's handlers under the event rules of
// toolkit.h:
//
//  - buttons raise OnClick from BN_CLICKED; check boxes from BN_CLICKED and
//    from SetChecked (BM_SETCHECK sends no notification);
//  - drop-down lists raise OnChange from a user's pick only: CBN_SELENDOK
//    when the list was dropped down, CBN_SELCHANGE for a pick with the arrow
//    keys on the closed list; CB_SETCURSEL raises nothing;
//  - OnEnter and OnExit follow WM_SETFOCUS on the controls themselves (each
//    is subclassed): a control that takes the focus runs the exit of the field
//    the window logic last saw focused, then its own enter. A button takes the
//    focus at the mouse press, before its BN_CLICKED, so the exit has run by
//    the click. The focus leaving for another window or a box, and coming
//    back to the same control, runs nothing. WM_CLOSE runs the focused
//    field's exit.
//
// Ticks come from SetTimer, the serial notices from messages posted to the
// main window (one per notice); both go on in the nested loop of MessageBox.
// The message loop lets IsDialogMessage move the focus with Tab.
//
// Texts cross the seam as ANSI bytes and go to the A functions unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace qx17 {

namespace win32_detail {
class Win32Control;
struct NoticeLink;
}  // namespace win32_detail

class Win32Toolkit : public Toolkit {
  public:
    // The window class name of the main window, for tools that look for it.
    static constexpr const char* kWindowClass = "TForm1";
    // The identifier of a control: its index in the layout plus this.
    static constexpr int kFirstControlId = 100;

    Win32Toolkit();
    ~Win32Toolkit() override;
    Win32Toolkit(const Win32Toolkit&) = delete;
    Win32Toolkit& operator=(const Win32Toolkit&) = delete;

    // Toolkit.
    void CreateWindow(int client_width, int client_height) override;
    void SetCaption(const std::string& caption) override;
    std::string Caption() const override;
    Control& CreateControl(const ControlSpec& spec) override;
    void StartTimer(int interval_ms, std::function<void()> tick) override;
    BoxResult MessageBox(const std::string& text, const std::string& caption,
                         BoxButtons buttons) override;
    void ShowError(const std::string& text, const std::string& caption) override;
    void AttachNotices(TComm& comm) override;
    void DetachNotices(TComm& comm) override;
    void Show(const std::string& first_focus) override;

    // Native handles (HWND) as opaque pointers: the main window, null before
    // CreateWindow or after it was destroyed; a control's window, null for a
    // name never created.
    void* Window() const;
    void* ControlWindow(const std::string& name) const;
    // The control the window logic last saw focused, null for none.
    const Control* Focused() const;

    // The next `count` wake-ups of every attached component's notices are
    // refused, as a full message queue refuses a post. For tests: Wine's
    // message queues have no limit, so a test cannot fill one.
    void RefuseNoticePostsForTesting(int count);

    // Runs the message loop until the main window is destroyed; returns the
    // exit code of WM_QUIT.
    int RunMessageLoop();

    // The window procedure's work, public for the procedure itself.
    std::intptr_t HandleMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
    void OnControlFocused(win32_detail::Win32Control& control);

  private:
    using Win32Control = win32_detail::Win32Control;

    void OnCommand(int id, int code);
    void OnWindowClosing();
    void DeliverLostNotices();
    void ApplyTabOrder();
    void* BoxOwner() const;
    void* FontFor(FontStyle style);
    Win32Control* ControlById(int id) const;

    void* window_ = nullptr;  // HWND
    std::vector<std::unique_ptr<Win32Control>> controls_;
    std::vector<ControlSpec> layout_;  // as created, for the tab order
    std::map<std::string, Win32Control*> by_name_;
    std::map<FontStyle, void*> fonts_;  // HFONT, deleted with the toolkit
    std::map<std::uintptr_t, std::function<void()>> timers_;
    std::vector<std::pair<int, std::function<void()>>> pending_timers_;  // before CreateWindow
    std::vector<std::shared_ptr<win32_detail::NoticeLink>> notice_links_;
    FocusRules focus_;
    void* background_ = nullptr;  // HBRUSH of the controls' background
};

}  // namespace qx17
