#include "ui/win32_toolkit.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "serial/tcomm.h"

// After the project's headers: <windows.h> defines names they use (EV_RLSD,
// CreateWindow, MessageBox ...) as macros. The two that name Toolkit's own
// methods are taken back at once.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>
#undef CreateWindow
#undef MessageBox

namespace qx17 {

namespace {

constexpr UINT kNoticeMessage = WM_APP + 1;  // wParam: the notice link's number
constexpr const char* kControlProperty = "qx17.control";

HWND AsHwnd(void* handle) {
    return static_cast<HWND>(handle);
}

std::string WindowText(HWND window) {
    const int length = ::GetWindowTextLengthA(window);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = ::GetWindowTextA(window, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK ControlProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The window class of the main window, registered once per process.
const char* FormWindowClass() {
    static const bool registered = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = FormWindowProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
        // The program's own icon (resource 1), else the system's.
        wc.hIcon = ::LoadIconA(wc.hInstance, MAKEINTRESOURCEA(1));
        if (wc.hIcon == nullptr) {
            wc.hIcon = ::LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
        }
        wc.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
        wc.lpszClassName = Win32Toolkit::kWindowClass;
        return ::RegisterClassExA(&wc) != 0;
    }();
    (void)registered;
    return Win32Toolkit::kWindowClass;
}

void InitCommonControlsOnce() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX init{};
        init.dwSize = sizeof init;
        init.dwICC = ICC_BAR_CLASSES | ICC_STANDARD_CLASSES;
        return ::InitCommonControlsEx(&init) != FALSE;
    }();
    (void)done;
}

}  // namespace

namespace win32_detail {

// One control: its window, subclassed so that its WM_SETFOCUS reaches the
// toolkit.
class Win32Control final : public Control {
  public:
    Win32Control(const ControlSpec& spec, int id, Win32Toolkit& toolkit)
        : Control(spec), id_(id), toolkit_(toolkit) {}

    void Attach(HWND window) {
        window_ = window;
        ::SetPropA(window_, kControlProperty, this);
        previous_proc_ = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlProc)));
    }

    HWND Window() const { return window_; }
    int Id() const { return id_; }

    LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam) {
        const LRESULT result = ::CallWindowProcA(previous_proc_, window_, message, wparam, lparam);
        if (message == WM_SETFOCUS) {
            toolkit_.OnControlFocused(*this);
        } else if (message == WM_NCDESTROY) {
            ::RemovePropA(window_, kControlProperty);
            window_ = nullptr;
        }
        return result;
    }

    std::string Text() const override { return window_ != nullptr ? WindowText(window_) : ""; }
    void SetText(const std::string& text) override {
        if (window_ != nullptr) {
            ::SetWindowTextA(window_, text.c_str());
        }
    }

    bool Checked() const override {
        return window_ != nullptr &&
               ::SendMessageA(window_, BM_GETCHECK, 0, 0) == static_cast<LRESULT>(BST_CHECKED);
    }
    void SetChecked(bool checked) override {
        if (window_ == nullptr || checked == Checked()) {
            return;
        }
        ::SendMessageA(window_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
        RaiseClick();  // BM_SETCHECK notifies nothing; the program's change counts too
    }

    int ItemIndex() const override {
        if (window_ == nullptr) {
            return -1;
        }
        const LRESULT index = ::SendMessageA(window_, CB_GETCURSEL, 0, 0);
        return index == CB_ERR ? -1 : static_cast<int>(index);
    }
    void SetItemIndex(int index) override {
        if (window_ == nullptr) {
            return;
        }
        // CB_SETCURSEL with an index outside the list clears the choice.
        const bool inside = index >= 0 && index < ItemCount();
        ::SendMessageA(window_, CB_SETCURSEL, inside ? static_cast<WPARAM>(index) : WPARAM(-1), 0);
    }

    std::string PanelText(int panel) const override {
        if (window_ == nullptr || !ValidPanel(panel)) {
            return {};
        }
        const LRESULT info = ::SendMessageA(window_, SB_GETTEXTLENGTHA, WPARAM(panel), 0);
        std::string text(static_cast<std::size_t>(LOWORD(info)) + 1, '\0');
        ::SendMessageA(window_, SB_GETTEXTA, WPARAM(panel), reinterpret_cast<LPARAM>(text.data()));
        text.resize(LOWORD(info));
        return text;
    }
    void SetPanelText(int panel, const std::string& text) override {
        if (window_ != nullptr && ValidPanel(panel)) {
            ::SendMessageA(window_, SB_SETTEXTA, WPARAM(panel),
                           reinterpret_cast<LPARAM>(text.c_str()));
        }
    }

    void RaiseClick() { Raise(OnClick); }
    void RaiseChange() { Raise(OnChange); }

  private:
    bool ValidPanel(int panel) const {
        return panel >= 0 && static_cast<std::size_t>(panel) < Spec().panel_widths.size();
    }

    const int id_;
    Win32Toolkit& toolkit_;
    HWND window_ = nullptr;
    WNDPROC previous_proc_ = nullptr;
};

// What a serial component's wakeup needs, shared with the component's
// threads: the window to post to, cleared when the notices are detached.
// `lost` says a wake-up could not be posted (a full message queue): the next
// tick then delivers what is waiting, so later notices are not each one
// message late for good.
struct NoticeLink {
    std::mutex mutex;
    HWND window = nullptr;
    TComm* comm = nullptr;
    std::uintptr_t number = 0;
    std::atomic<bool> lost{false};
    int refuse_posts = 0;  // under the mutex; see RefuseNoticePostsForTesting
};

}  // namespace win32_detail

using win32_detail::NoticeLink;
using win32_detail::Win32Control;

namespace {

LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
        ::SetWindowLongPtrA(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* toolkit = reinterpret_cast<Win32Toolkit*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (toolkit == nullptr || toolkit->Window() != window) {
        return ::DefWindowProcA(window, message, wparam, lparam);
    }
    return toolkit->HandleMessage(message, wparam, lparam);
}

LRESULT CALLBACK ControlProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* control = static_cast<Win32Control*>(::GetPropA(window, kControlProperty));
    if (control == nullptr) {
        return ::DefWindowProcA(window, message, wparam, lparam);
    }
    return control->Handle(message, wparam, lparam);
}

// The window class and style of each kind of control.
struct NativeKind {
    const char* window_class;
    DWORD style;
    DWORD ex_style;
};

NativeKind NativeKindOf(const ControlSpec& spec) {
    switch (spec.kind) {
        case ControlKind::GroupBox:
            return {"BUTTON", BS_GROUPBOX, 0};
        case ControlKind::Label: {
            const DWORD align = spec.align == TextAlign::Center ? SS_CENTER : SS_LEFT;
            return {"STATIC", align | SS_CENTERIMAGE | SS_NOPREFIX, 0};
        }
        case ControlKind::Edit:
            return {"EDIT", ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
        case ControlKind::ComboBox:
            return {"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, 0};
        case ControlKind::CheckBox:
            return {"BUTTON", BS_AUTOCHECKBOX, 0};
        case ControlKind::Button:
            return {"BUTTON", BS_PUSHBUTTON, 0};
        case ControlKind::StatusBar:
            return {STATUSCLASSNAMEA, CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER, 0};
    }
    return {"STATIC", 0, 0};
}

bool TakesTabStop(const ControlSpec& spec) {
    return spec.tab_order >= 0 && spec.can_focus && spec.visible &&
           spec.kind != ControlKind::Label && spec.kind != ControlKind::GroupBox &&
           spec.kind != ControlKind::StatusBar;
}

}  // namespace

Win32Toolkit::Win32Toolkit() {
    InitCommonControlsOnce();
    background_ = ::GetSysColorBrush(COLOR_BTNFACE);
}

Win32Toolkit::~Win32Toolkit() {
    for (const auto& link : notice_links_) {
        std::lock_guard lock(link->mutex);
        link->window = nullptr;
    }
    if (window_ != nullptr) {
        ::DestroyWindow(AsHwnd(window_));
    }
    for (const auto& [style, font] : fonts_) {
        ::DeleteObject(static_cast<HFONT>(font));
    }
}

void Win32Toolkit::CreateWindow(int client_width, int client_height) {
    // No WS_CLIPCHILDREN: a group box draws only its frame and caption, so
    // the window's own background must be painted under it.
    constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame{0, 0, client_width, client_height};
    ::AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    HWND window = ::CreateWindowExA(0, FormWindowClass(), "", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                    frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                    nullptr, ::GetModuleHandleA(nullptr), this);
    window_ = window;
    // Only now does FormWindowProc find the toolkit: window_ is what it
    // compares with.
    for (auto& [interval, tick] : std::exchange(pending_timers_, {})) {
        StartTimer(interval, std::move(tick));
    }
}

void Win32Toolkit::SetCaption(const std::string& caption) {
    if (window_ != nullptr) {
        ::SetWindowTextA(AsHwnd(window_), caption.c_str());
    }
}

std::string Win32Toolkit::Caption() const {
    return window_ != nullptr ? WindowText(AsHwnd(window_)) : "";
}

void* Win32Toolkit::FontFor(FontStyle style) {
    const auto found = fonts_.find(style);
    if (found != fonts_.end()) {
        return found->second;
    }
    // 8 point at 96 dots per inch is a character height of 11 pixels, 10
    // point one of 13; a negative height asks for the character height.
    const bool large = style == FontStyle::Large || style == FontStyle::LargeBold;
    const bool bold = style == FontStyle::NormalBold || style == FontStyle::LargeBold;
    HFONT font = ::CreateFontA(large ? -13 : -11, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                               FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
    fonts_[style] = font;
    return font;
}

Control& Win32Toolkit::CreateControl(const ControlSpec& spec) {
    const int id = kFirstControlId + static_cast<int>(controls_.size());
    auto control = std::make_unique<Win32Control>(spec, id, *this);

    // A group box's controls are the main window's children too, placed
    // inside the box: the box's rectangle is its client area's origin.
    Rect at = spec.rect;
    for (std::string parent = spec.parent; !parent.empty();) {
        const auto found = by_name_.find(parent);
        if (found == by_name_.end()) {
            break;
        }
        at.left += found->second->Spec().rect.left;
        at.top += found->second->Spec().rect.top;
        parent = found->second->Spec().parent;
    }

    const NativeKind native = NativeKindOf(spec);
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | native.style;
    if (spec.visible) {
        style |= WS_VISIBLE;
    }
    if (TakesTabStop(spec)) {
        style |= WS_TABSTOP;
    }
    int height = at.height;
    if (spec.kind == ControlKind::ComboBox) {
        // A combo box's window height is that of its dropped-down list too.
        height += 16 * spec.drop_down_count + 2;
    }
    HWND window = ::CreateWindowExA(
        native.ex_style, native.window_class, spec.text.c_str(), style, at.left, at.top, at.width,
        height, AsHwnd(window_),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),  // a child's menu is its identifier
        ::GetModuleHandleA(nullptr), nullptr);
    ::SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(spec.font)), FALSE);

    switch (spec.kind) {
        case ControlKind::ComboBox:
            for (const std::string& item : spec.items) {
                ::SendMessageA(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
            }
            // The closed list is as high as the layout says: its selection
            // field is that less the borders.
            ::SendMessageA(window, CB_SETITEMHEIGHT, WPARAM(-1), LPARAM(at.height - 6));
            if (spec.item_index >= 0 && spec.item_index < static_cast<int>(spec.items.size())) {
                ::SendMessageA(window, CB_SETCURSEL, WPARAM(spec.item_index), 0);
            }
            break;
        case ControlKind::CheckBox:
            ::SendMessageA(window, BM_SETCHECK, spec.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        case ControlKind::StatusBar: {
            // Each panel's right edge; the last one runs to the bar's end.
            std::vector<int> edges;
            int right = 0;
            for (const int width : spec.panel_widths) {
                right += width;
                edges.push_back(right);
            }
            if (!edges.empty()) {
                ::SendMessageA(window, SB_SETPARTS, edges.size(),
                               reinterpret_cast<LPARAM>(edges.data()));
            }
            break;
        }
        default:
            break;
    }

    control->Attach(window);
    Win32Control& created = *control;
    by_name_[spec.name] = &created;
    layout_.push_back(spec);
    controls_.push_back(std::move(control));
    return created;
}

// The dialog manager's Tab moves along the windows' order: the controls that
// take the focus by tab go first, in the layout's order; the group boxes go
// last, so that they are drawn under their controls.
// The window order is the tab order. Each entry field and list comes right
// after the label beside it: the system's accessibility layer names such a
// control by the label just before it, and a label, taking no focus, does
// not change the tab order.
void Win32Toolkit::ApplyTabOrder() {
    HWND previous = HWND_TOP;
    const auto place = [&previous](HWND window) {
        ::SetWindowPos(window, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = window;
    };
    for (const std::string& name : TabSequence(layout_)) {
        const Win32Control* control = by_name_.at(name);
        const ControlKind kind = control->Spec().kind;
        if (kind == ControlKind::Edit || kind == ControlKind::ComboBox) {
            if (const ControlSpec* label = LabelBeside(layout_, control->Spec())) {
                place(AsHwnd(ControlWindow(label->name)));
            }
        }
        place(AsHwnd(ControlWindow(name)));
    }
    for (const auto& control : controls_) {
        if (control->Spec().kind == ControlKind::GroupBox) {
            ::SetWindowPos(control->Window(), HWND_BOTTOM, 0, 0, 0, 0,
                           SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

void Win32Toolkit::StartTimer(int interval_ms, std::function<void()> tick) {
    if (window_ == nullptr) {
        pending_timers_.emplace_back(interval_ms, std::move(tick));
        return;
    }
    const std::uintptr_t id = timers_.size() + 1;
    timers_[id] = std::move(tick);
    ::SetTimer(AsHwnd(window_), id, static_cast<UINT>(interval_ms), nullptr);
}

void* Win32Toolkit::BoxOwner() const {
    HWND window = AsHwnd(window_);
    return window != nullptr && ::IsWindowVisible(window) ? window : nullptr;
}

// MessageBoxA runs its own message loop, which dispatches the timers' and
// the notices' messages to the main window as the main loop does.
BoxResult Win32Toolkit::MessageBox(const std::string& text, const std::string& caption,
                                   BoxButtons buttons) {
    const UINT type = buttons == BoxButtons::Ok ? MB_OK : MB_YESNO;
    const int pressed = ::MessageBoxA(AsHwnd(BoxOwner()), text.c_str(), caption.c_str(), type);
    if (buttons == BoxButtons::Ok) {
        return BoxResult::Ok;
    }
    return pressed == IDYES ? BoxResult::Yes : BoxResult::No;
}

void Win32Toolkit::ShowError(const std::string& text, const std::string& caption) {
    ::MessageBoxA(AsHwnd(BoxOwner()), text.c_str(), caption.c_str(), MB_OK | MB_ICONSTOP);
}

void Win32Toolkit::AttachNotices(TComm& comm) {
    auto link = std::make_shared<NoticeLink>();
    link->window = AsHwnd(window_);
    link->comm = &comm;
    link->number = notice_links_.empty() ? 1 : notice_links_.back()->number + 1;
    notice_links_.push_back(link);
    // One posted message per notice, each delivering the oldest: the main
    // loop and a box's loop dispatch them in posting order.
    comm.SetNoticeWakeup([link] {
        std::lock_guard lock(link->mutex);
        if (link->window == nullptr) {
            return;
        }
        const bool refused = link->refuse_posts > 0;
        if (refused) {
            --link->refuse_posts;
        }
        if (refused || !::PostMessageA(link->window, kNoticeMessage, link->number, 0)) {
            link->lost = true;
        }
    });
}

void Win32Toolkit::RefuseNoticePostsForTesting(int count) {
    for (const auto& link : notice_links_) {
        std::lock_guard lock(link->mutex);
        link->refuse_posts = count;
    }
}

void Win32Toolkit::DetachNotices(TComm& comm) {
    comm.SetNoticeWakeup({});
    for (auto it = notice_links_.begin(); it != notice_links_.end();) {
        if ((*it)->comm == &comm) {
            {
                std::lock_guard lock((*it)->mutex);
                (*it)->window = nullptr;
                (*it)->comm = nullptr;
            }
            // After the lock has gone: the component no longer holds the
            // link, so erasing it here may free it, its mutex with it.
            it = notice_links_.erase(it);
        } else {
            ++it;
        }
    }
}

void Win32Toolkit::Show(const std::string& first_focus) {
    HWND window = AsHwnd(window_);
    if (window == nullptr) {
        return;
    }
    ApplyTabOrder();
    RECT area{};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    RECT frame{};
    ::GetWindowRect(window, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    ::SetWindowPos(window, nullptr, area.left + (area.right - area.left - width) / 2,
                   area.top + (area.bottom - area.top - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER);
    focus_.Forget();
    ::ShowWindow(window, SW_SHOWNORMAL);
    ::UpdateWindow(window);
    ::SetForegroundWindow(window);
    if (HWND first = AsHwnd(ControlWindow(first_focus))) {
        ::SetFocus(first);
    }
}

void* Win32Toolkit::Window() const {
    return window_;
}

void* Win32Toolkit::ControlWindow(const std::string& name) const {
    const auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : found->second->Window();
}

const Control* Win32Toolkit::Focused() const {
    return focus_.Focused();
}

Win32Control* Win32Toolkit::ControlById(int id) const {
    const int index = id - kFirstControlId;
    if (index < 0 || index >= static_cast<int>(controls_.size())) {
        return nullptr;
    }
    return controls_[static_cast<std::size_t>(index)].get();
}

int Win32Toolkit::RunMessageLoop() {
    MSG message{};
    for (;;) {
        const BOOL got = ::GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        if (window_ != nullptr && ::IsDialogMessageA(AsHwnd(window_), &message)) {
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

// A move of the focus onto `control`, seen from its WM_SETFOCUS. Focus that
// comes back to the control the window logic saw last (from a box, another
// window, the window's own activation) runs nothing.
void Win32Toolkit::OnControlFocused(Win32Control& control) {
    focus_.MovedTo(control);
}

void Win32Toolkit::OnCommand(int id, int code) {
    Win32Control* control = ControlById(id);
    if (control == nullptr) {
        return;  // IDOK, IDCANCEL of the dialog manager, or no control of ours
    }
    switch (control->Spec().kind) {
        case ControlKind::Button:
        case ControlKind::CheckBox:
            if (code == BN_CLICKED) {
                control->RaiseClick();
            }
            break;
        case ControlKind::ComboBox:
            // Sent for a user's pick, with the mouse or the keys; CB_SETCURSEL
            // sends nothing.
            if (code == CBN_SELCHANGE) {
                control->RaiseChange();
            }
            break;
        default:
            break;
    }
}

// Notices whose wake-up could not be posted are delivered with the next tick,
// in order with the rest (a wake-up that comes later finds the queue drained
// and does nothing).
void Win32Toolkit::DeliverLostNotices() {
    const auto links = notice_links_;  // a handler may attach or detach
    for (const auto& link : links) {
        if (link->comm != nullptr && link->lost.exchange(false)) {
            link->comm->DispatchNotices();
        }
    }
}

// The close button leaves the focused field: its exit runs first, so a value
// typed just before is checked and saved.
void Win32Toolkit::OnWindowClosing() {
    focus_.WindowClosing();
}

std::intptr_t Win32Toolkit::HandleMessage(unsigned message, std::uintptr_t wparam,
                                          std::intptr_t lparam) {
    HWND window = AsHwnd(window_);
    switch (message) {
        case WM_COMMAND:
            if (lparam != 0) {
                OnCommand(LOWORD(wparam), HIWORD(wparam));
            }
            return 0;
        case WM_TIMER: {
            DeliverLostNotices();
            const auto found = timers_.find(wparam);
            if (found != timers_.end()) {
                found->second();
            }
            return 0;
        }
        case kNoticeMessage:
            for (const auto& link : notice_links_) {
                if (link->number == wparam && link->comm != nullptr) {
                    link->comm->DispatchOneNotice();
                    break;
                }
            }
            return 0;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN: {
            HDC dc = reinterpret_cast<HDC>(wparam);
            ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
            ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<std::intptr_t>(background_);
        }
        case WM_ACTIVATE: {
            // A plain window gives the focus to itself when it becomes active
            // again; the focus goes back to the control that had it instead.
            auto* focused = static_cast<Win32Control*>(focus_.Focused());
            if (LOWORD(wparam) != WA_INACTIVE && focused != nullptr &&
                focused->Window() != nullptr) {
                ::SetFocus(focused->Window());
                return 0;
            }
            break;
        }
        case WM_CLOSE:
            OnWindowClosing();
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            for (const auto& link : notice_links_) {
                std::lock_guard lock(link->mutex);
                link->window = nullptr;
            }
            ::PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            window_ = nullptr;
            break;
        default:
            break;
    }
    return ::DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace qx17
