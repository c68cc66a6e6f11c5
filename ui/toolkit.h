// What the window logic needs from a windowing toolkit, and nothing more.
//
// The window (TForm1) describes every control with a ControlSpec, asks the
// toolkit to create it, and from then on reads and sets the controls only
// through Control. The toolkit raises the events by calling the handlers a
// Control carries, on the main thread, in these orders:
//
//  - a button's click when the user clicks it;
//  - a check box's click whenever its checked state changes, also when the
//    program sets the state;
//  - a drop-down list's change only when the user picks an item, never when
//    the program sets the index;
//  - an entry field's enter and exit only when the focus moves between
//    controls of this window: the exit of the field being left runs to its
//    end before the enter of the next field and before the click of the
//    button or check box that took the focus by being clicked. Deactivating
//    the window, opening a popup or a modal box runs neither, and the focus
//    coming back to the same field runs nothing. Closing the window runs the
//    focused field's exit, so a value typed just before is checked and saved.
//
// Timers tick from the event loop. A modal box runs a nested event loop in
// which ticks and the serial component's notices go on being handled.
//
// Implementations: Qt Widgets (qt_toolkit.*), a headless one for tests
// (headless_toolkit.*), native Win32. No toolkit type appears here.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qx17 {

class TComm;

enum class ControlKind { GroupBox, Label, Edit, ComboBox, CheckBox, Button, StatusBar };

// Fonts of the layout. Normal is the window's 8 point "MS Sans Serif" (11
// pixels high); Large is 10 point (13 pixels); Bold as named.
enum class FontStyle { Normal, NormalBold, Large, LargeBold };

enum class TextAlign { Left, Center };

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct ControlSpec {
    std::string name;  // the layout name: "IN_APN", "BitBtn1" ...
    ControlKind kind = ControlKind::Label;
    std::string parent;              // a group box's name, or empty for the window itself
    Rect rect;                       // relative to the parent's client area
    std::string text;                // caption, initial text
    std::vector<std::string> items;  // drop-down lists
    int item_index = -1;             // the item chosen at start, -1 none
    int drop_down_count = 8;         // items visible when dropped down
    bool checked = false;
    int tab_order = -1;  // within the parent; -1: takes no focus by tab
    bool visible = true;
    bool can_focus = true;  // false: never takes the focus
    FontStyle font = FontStyle::Normal;
    TextAlign align = TextAlign::Left;  // labels: left or centred, always vertically centred
    std::vector<int> panel_widths;      // the status bar's panels
    // What a screen reader calls the control. A control whose accessible
    // name is its caption follows its caption as it changes ("Start" becomes
    // "Close"); one with a name of its own keeps it (an entry field's or a
    // list's label, the group an "Apply" button acts on).
    std::string accessible_name;
};

// One control of the window. Texts are byte strings in the Windows ANSI code
// page, one byte per character.
class Control {
  public:
    explicit Control(ControlSpec spec) : spec_(std::move(spec)) {}
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    virtual ~Control() = default;

    const ControlSpec& Spec() const { return spec_; }
    const std::string& Name() const { return spec_.name; }

    // Entry fields, labels, group boxes; the caption of buttons and check boxes.
    virtual std::string Text() const = 0;
    virtual void SetText(const std::string& text) = 0;

    // Check boxes. Setting a different state raises OnClick.
    virtual bool Checked() const { return false; }
    virtual void SetChecked(bool) {}

    // Drop-down lists: -1 is no item; an index outside the list chooses none.
    // Setting the index raises nothing.
    virtual int ItemIndex() const { return -1; }
    virtual void SetItemIndex(int) {}
    int ItemCount() const { return static_cast<int>(spec_.items.size()); }
    // The text of the chosen item, empty with none.
    std::string ItemText() const;

    // The status bar.
    virtual std::string PanelText(int) const { return {}; }
    virtual void SetPanelText(int, const std::string&) {}

    // Handlers, assigned by the window logic, raised by the toolkit.
    std::function<void()> OnClick;
    std::function<void()> OnChange;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;

  protected:
    // For toolkits: raise a handler if one is assigned.
    static void Raise(const std::function<void()>& handler) {
        if (handler) {
            handler();
        }
    }

  private:
    ControlSpec spec_;
};

// Where the window logic sees the focus, and what a move runs: the exit of
// the entry field left, then the enter of the entry field reached, unless
// the exit moved the focus on meanwhile (that move ran its own handlers) or
// opened a box (the focus stays where it was going). Every toolkit reports
// its moves here, so they all follow one set of rules.
class FocusRules {
  public:
    // The focus reached `next`; the same control again runs nothing.
    void MovedTo(Control& next);
    // The window closes: the focused field is left, its exit runs.
    void WindowClosing();
    // Nothing is focused, and nothing runs (a new window).
    void Forget() { focused_ = nullptr; }
    Control* Focused() const { return focused_; }

  private:
    Control* focused_ = nullptr;
};

enum class BoxButtons { Ok, YesNo };
enum class BoxResult { Ok, Yes, No };

class Toolkit {
  public:
    virtual ~Toolkit() = default;

    // The window: caption and client size, fixed border, no maximise button,
    // centred on the desktop when shown.
    virtual void CreateWindow(int client_width, int client_height) = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual std::string Caption() const = 0;

    // Creates one control; a parent comes before its children.
    virtual Control& CreateControl(const ControlSpec& spec) = 0;

    // Calls `tick` every `interval_ms` from the event loop, from now on.
    virtual void StartTimer(int interval_ms, std::function<void()> tick) = 0;

    // A modal box; returns the button pressed. Ticks and notices go on while
    // it is open.
    virtual BoxResult MessageBox(const std::string& text, const std::string& caption,
                                 BoxButtons buttons) = 0;

    // The standard box for an error no handler caught: stop icon, OK.
    virtual void ShowError(const std::string& text, const std::string& caption) = 0;

    // Delivers the serial component's notices on the main thread, from the
    // event loop, in posting order.
    virtual void AttachNotices(TComm& comm) = 0;
    virtual void DetachNotices(TComm& comm) = 0;

    // Shows the window with the focus on the first control in tab order.
    virtual void Show(const std::string& first_focus) = 0;
};

// The controls of the window in the order the tab key visits them: the
// window's own controls by tab order, a group box's controls in its place.
// Controls that take no focus by tab are left out.
std::vector<std::string> TabSequence(const std::vector<ControlSpec>& layout);

// The label that names an entry field or a list: the nearest one to its left
// on its row, in the same parent; null when it has none. A toolkit ties the
// two together for screen readers.
const ControlSpec* LabelBeside(const std::vector<ControlSpec>& layout, const ControlSpec& field);

}  // namespace qx17
