// The window on Qt 6 Widgets. Every control is a plain Qt widget placed at its
// layout rectangle; the toolkit turns Qt's signals into the window logic's
// handlers under the event rules of toolkit.h:
//
//  - buttons raise OnClick from `clicked`, check boxes from `toggled` (so a
//    state set by the program raises it too), drop-down lists raise OnChange
//    from `activated` only (a user's pick; setting the index emits nothing
//    that is connected);
//  - an entry field's OnEnter and OnExit follow QApplication::focusChanged,
//    filtered: only a move of the focus to another control of this window
//    counts. Focus that leaves for another window, a popup, a menu or a modal
//    box, and comes back to the same control, runs nothing. Qt gives the focus
//    at mouse press, before a button's `clicked`, so the exit of the field
//    being left has run by the time the click arrives.
//
// Texts cross the seam as bytes of the Windows ANSI code page (1252), one
// byte per character, and are shown as the characters they stand for.
//
// A QApplication must exist before the toolkit is created and outlive it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/toolkit.h"

class QFont;
class QMessageBox;
class QObject;
class QWidget;

namespace qx17 {

namespace qt_detail {
class QtControl;
class FormWindow;
struct NoticeLink;
}  // namespace qt_detail

class QtToolkit : public Toolkit {
  public:
    QtToolkit();
    ~QtToolkit() override;
    QtToolkit(const QtToolkit&) = delete;
    QtToolkit& operator=(const QtToolkit&) = delete;

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

    // The top-level window (its client area), null before CreateWindow.
    QWidget* Window() const;
    // The widget of the control `name`, null for a name never created.
    QWidget* Widget(const std::string& name) const;
    // The control the window logic last saw focused, null for none.
    const Control* Focused() const;

    // The font of a layout style, as the toolkit gives it to its widgets.
    static QFont FontFor(FontStyle style);
    // The family used for every style: "MS Sans Serif" where it is
    // installed, else the first installed sans family of Arial's metrics.
    static std::string FontFamily();

  private:
    using QtControl = qt_detail::QtControl;

    void OnFocusChanged(QWidget* now);
    void OnWindowClosing();
    QtControl* ControlOf(QWidget* widget) const;
    void ApplyTabOrder();
    QWidget* BoxParent() const;
    void RunBox(QMessageBox& box);

    std::unique_ptr<QObject> context_;         // timers, queued notice calls, connections
    qt_detail::FormWindow* window_ = nullptr;  // owned; deleted with its children
    std::vector<std::unique_ptr<QtControl>> controls_;
    std::vector<ControlSpec> layout_;  // as created, for the tab order
    std::map<std::string, QtControl*> by_name_;
    std::map<const QWidget*, QtControl*> by_widget_;
    std::vector<std::shared_ptr<qt_detail::NoticeLink>> notice_links_;
    FocusRules focus_;
};

}  // namespace qx17
