// Drives qx17eep.exe, the editor's own window, from another process the way
// a user would: it finds the window, picks the tracker's port in the port
// list, presses Start and Read, types a new APN and presses the GPRS group's
// "Apply", answers the boxes, and closes the window. Each step is checked as
// it goes, on the window's controls and on the settings the program saves;
// the first step that fails ends the run with a message naming it and exit
// code 1. What reached the tracker is checked by the script that runs this,
// qx17eep_end_to_end.sh, on the virtual tracker's memory.
//
//   qx17eep_driver.exe --port COMn --apn TEXT   drive the running program
//   qx17eep_driver.exe --delete-settings        remove the saved settings
//
// Clicks are posted to the control as WM_LBUTTONDOWN and WM_LBUTTONUP: the
// control takes the focus at the press, as under the mouse, so the field
// that had the focus runs its exit before a button's click. Texts are read
// and set with WM_GETTEXT and WM_SETTEXT, which the system carries across
// processes. A user's pick in the port list reaches the program as
// CB_SETCURSEL on the list and CBN_SELCHANGE to its parent.
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "params/registry.h"
#include "tests/win32/registry_raw.h"
#include "ui/form_layout.h"
#include "ui/win32_toolkit.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kCaption = "QX17 Parameter Editor V1.00";
constexpr const char* kBoxClass = "#32770";
constexpr int kBoxTextId = 0xFFFF;  // the static control with a message box's text

// The virtual tracker's factory values, as the fields show them after Read.
constexpr const char* kFactoryApn = "CMNET";
constexpr const char* kFactoryId = "35712001234567";
constexpr const char* kFactoryServer = "203.0.113.17";

// Bounds for each wait, generous for a Wine that is busy with other tests;
// a step that succeeds ends its wait at once.
constexpr auto kStartLimit = 60s;
constexpr auto kStepLimit = 30s;
constexpr UINT kAnswerLimitMs = 5000;

class StepFailed : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& what) {
    throw StepFailed(what);
}

void Say(const std::string& what) {
    std::printf("driver: %s\n", what.c_str());
    std::fflush(stdout);
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// Polls `done` until it holds (true) or `limit` passes (false).
template <typename Done>
bool WaitFor(Done done, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        if (done()) {
            return true;
        }
        if (Clock::now() > end) {
            return false;
        }
        ::Sleep(20);
    }
}

LRESULT Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutA(window, message, wparam, lparam, SMTO_ABORTIFHUNG, kAnswerLimitMs,
                              &result) == 0) {
        Fail("the program did not answer message " + std::to_string(message));
    }
    return static_cast<LRESULT>(result);
}

std::string TextOf(HWND window) {
    const LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied =
        Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    const int length = ::GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// A click in the middle of the control.
void Click(HWND control) {
    RECT area{};
    ::GetClientRect(control, &area);
    const LPARAM at = MAKELPARAM(area.right / 2, area.bottom / 2);
    ::PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::PostMessageA(control, WM_LBUTTONUP, 0, at);
}

std::string SavedText(const char* name) {
    const std::optional<qx17::RegistryValue> value =
        qx17::test::GetRawValue(qx17::test::kRawSettingsKey, name);
    if (!value || value->type != REG_SZ) {
        return "(no text value)";
    }
    std::string text = value->data;
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

std::optional<std::uint32_t> SavedNumber(const char* name) {
    const std::optional<qx17::RegistryValue> value =
        qx17::test::GetRawValue(qx17::test::kRawSettingsKey, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) {
        number = number << 8 | static_cast<unsigned char>(value->data[static_cast<std::size_t>(i)]);
    }
    return number;
}

// The running program: its main window, its GUI thread and its process.
class Editor {
  public:
    Editor() {
        if (!WaitFor(
                [&] {
                    window_ = ::FindWindowA(qx17::Win32Toolkit::kWindowClass, kCaption);
                    return window_ != nullptr && ::IsWindowVisible(window_);
                },
                kStartLimit)) {
            Fail("no visible window of class " + Quoted(qx17::Win32Toolkit::kWindowClass) +
                 " with the caption " + Quoted(kCaption) + " appeared");
        }
        DWORD process_id = 0;
        thread_ = ::GetWindowThreadProcessId(window_, &process_id);
        process_ =
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
        if (process_ == nullptr) {
            Fail("cannot open the program's process " + std::to_string(process_id));
        }
    }
    ~Editor() { ::CloseHandle(process_); }
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    HWND Window() const { return window_; }

    // The control `name` of the layout: the child with its identifier.
    HWND Control(const std::string& name) const {
        HWND control = ::GetDlgItem(window_, IdOf(name));
        if (control == nullptr) {
            Fail("the window has no control " + Quoted(name));
        }
        return control;
    }
    static int IdOf(const std::string& name) {
        const std::vector<qx17::ControlSpec>& layout = qx17::Form1Layout();
        for (std::size_t i = 0; i < layout.size(); ++i) {
            if (layout[i].name == name) {
                return qx17::Win32Toolkit::kFirstControlId + static_cast<int>(i);
            }
        }
        Fail("the layout has no control " + Quoted(name));
    }
    std::string Text(const std::string& name) const { return TextOf(Control(name)); }

    HWND Focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        return ::GetGUIThreadInfo(thread_, &info) ? info.hwndFocus : nullptr;
    }

    // The program's open message box, or null.
    HWND OpenBox() const {
        HWND found = nullptr;
        ::EnumThreadWindows(
            thread_,
            [](HWND window, LPARAM out) -> BOOL {
                if (ClassOf(window) == kBoxClass && ::IsWindowVisible(window)) {
                    *reinterpret_cast<HWND*>(out) = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
        return found;
    }
    static std::string BoxText(HWND box) {
        HWND text = ::GetDlgItem(box, kBoxTextId);
        return text != nullptr ? TextOf(text) : "(a box without a text control)";
    }

    // Waits for a box with `text`, answers it with `button` and waits for
    // it to close. A box with another text fails the step.
    void AnswerBox(const std::string& text, int button) const {
        HWND box = nullptr;
        if (!WaitFor([&] { return (box = OpenBox()) != nullptr; }, kStepLimit)) {
            Fail("the box " + Quoted(text) +
                 " did not come (status bar: " + Quoted(TextOf(Control("StatusBar1"))) + ")");
        }
        const std::string shown = BoxText(box);
        if (shown != text) {
            Fail("the box " + Quoted(shown) + " came instead of " + Quoted(text));
        }
        HWND answer = ::GetDlgItem(box, button);
        if (answer == nullptr) {
            Fail("the box " + Quoted(text) + " has no button " + std::to_string(button));
        }
        Click(answer);
        if (!WaitFor([&] { return !::IsWindow(box); }, kStepLimit)) {
            Fail("the box " + Quoted(text) + " did not close when answered");
        }
        Say("answered the box " + Quoted(text));
    }

    // Fails when a box is open: the step before it brought an error.
    void ExpectNoBox(const std::string& after) const {
        if (HWND box = OpenBox()) {
            Fail("the box " + Quoted(BoxText(box)) + " came after " + after);
        }
    }

    // Waits until the text of `name` is `text`, or a box opens.
    void WaitForText(const std::string& name, const std::string& text,
                     const std::string& what) const {
        const bool shown =
            WaitFor([&] { return Text(name) == text || OpenBox() != nullptr; }, kStepLimit);
        ExpectNoBox(what);
        if (!shown) {
            Fail(what + ": " + name + " shows " + Quoted(Text(name)) + ", not " + Quoted(text));
        }
    }

    void FocusByClick(const std::string& name) const {
        HWND control = Control(name);
        Click(control);
        if (!WaitFor([&] { return Focus() == control; }, kStepLimit)) {
            Fail("a click on " + name + " did not give it the focus");
        }
    }

    // WM_CLOSE, then the process must end by itself with code 0.
    void Close() const {
        ::PostMessageA(window_, WM_CLOSE, 0, 0);
        const DWORD limit = static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(kStepLimit).count());
        if (::WaitForSingleObject(process_, limit) != WAIT_OBJECT_0) {
            HWND box = OpenBox();
            Fail("the program did not exit after WM_CLOSE" +
                 (box != nullptr ? " (box " + Quoted(BoxText(box)) + " open)" : std::string()));
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_, &code);
        if (code != 0) {
            Fail("the program exited with code " + std::to_string(code));
        }
        if (::IsWindow(window_)) {
            Fail("the window is still there after the program exited");
        }
    }

  private:
    HWND window_ = nullptr;
    DWORD thread_ = 0;
    HANDLE process_ = nullptr;
};

// The items of a drop-down list. They are asked for in UTF-16: Wine 8 hands
// CB_GETLBTEXT of the A function back to another process unconverted, in
// UTF-16. The port names are ASCII.
std::vector<std::string> ItemsOf(HWND list) {
    std::vector<std::string> items;
    const LRESULT count = Send(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        DWORD_PTR length = 0;
        if (::SendMessageTimeoutW(list, CB_GETLBTEXTLEN, WPARAM(i), 0, SMTO_ABORTIFHUNG,
                                  kAnswerLimitMs, &length) == 0 ||
            static_cast<LRESULT>(length) == CB_ERR) {
            Fail("the list does not give the length of item " + std::to_string(i));
        }
        std::wstring wide(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (::SendMessageTimeoutW(list, CB_GETLBTEXT, WPARAM(i),
                                  reinterpret_cast<LPARAM>(wide.data()), SMTO_ABORTIFHUNG,
                                  kAnswerLimitMs, &copied) == 0 ||
            static_cast<LRESULT>(copied) == CB_ERR) {
            Fail("the list does not give item " + std::to_string(i));
        }
        std::string item;
        for (std::size_t c = 0; c < copied && c < length; ++c) {
            item.push_back(wide[c] < 0x80 ? static_cast<char>(wide[c]) : '?');
        }
        items.push_back(item);
    }
    return items;
}

void PickPort(const Editor& editor, const std::string& port) {
    HWND list = editor.Control("ComboBox4");
    const std::vector<std::string> items = ItemsOf(list);
    LRESULT index = -1;
    for (std::size_t i = 0; i < items.size() && index < 0; ++i) {
        if (items[i] == port) {
            index = static_cast<LRESULT>(i);
        }
    }
    if (index < 0) {
        Fail("the port list has no item " + Quoted(port) + " among its " +
             std::to_string(items.size()));
    }
    Say("the port list shows " + Quoted(editor.Text("ComboBox4")) + "; picking " + Quoted(port));
    Send(list, CB_SETCURSEL, WPARAM(index), 0);
    Send(editor.Window(), WM_COMMAND,
         MAKEWPARAM(Editor::IdOf("ComboBox4"), static_cast<WORD>(CBN_SELCHANGE)),
         reinterpret_cast<LPARAM>(list));
    if (Send(list, CB_GETCURSEL, 0, 0) != index) {
        Fail("the port list did not keep the pick " + Quoted(port));
    }
    editor.ExpectNoBox("the pick of " + port);
    // The program saves the pick at once: its change handler ran.
    const std::optional<std::uint32_t> saved = SavedNumber("COM");
    if (!saved || *saved != static_cast<std::uint32_t>(index)) {
        Fail("the pick of " + port + " was not saved: COM is " +
             (saved ? std::to_string(*saved) : std::string("missing")) + ", not " +
             std::to_string(index));
    }
}

void Drive(const std::string& port, const std::string& apn) {
    const Editor editor;
    Say("found the window");

    PickPort(editor, port);

    if (editor.Text("BitBtn1") != "Start") {
        Fail("the Start button shows " + Quoted(editor.Text("BitBtn1")));
    }
    Click(editor.Control("BitBtn1"));
    editor.WaitForText("BitBtn1", "Close", "Start on " + port);
    Say("the port is open");

    Click(editor.Control("BitBtn4"));
    editor.AnswerBox("Read Completed!", IDOK);
    // The fields are filled once the box is answered.
    editor.WaitForText("IN_IP", kFactoryServer, "Read");
    const std::pair<const char*, const char*> filled[] = {{"IN_APN", kFactoryApn},
                                                          {"IN_ID", kFactoryId}};
    for (const auto& [field, value] : filled) {
        if (editor.Text(field) != value) {
            Fail(std::string("after Read ") + field + " shows " + Quoted(editor.Text(field)) +
                 ", not the tracker's " + Quoted(value));
        }
    }
    Say("Read filled the fields");

    editor.FocusByClick("IN_APN");
    Send(editor.Control("IN_APN"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(apn.c_str()));
    if (editor.Text("IN_APN") != apn) {
        Fail("IN_APN did not take the text " + Quoted(apn));
    }
    // The click on Apply takes the focus first: the field's exit checks and
    // saves the new value, then the click sends the group.
    Click(editor.Control("BitBtn7"));
    editor.AnswerBox("Write Completed!", IDOK);
    if (editor.Text("IN_APN") != apn) {
        Fail("IN_APN went back to " + Quoted(editor.Text("IN_APN")) + " when it was left");
    }
    if (SavedText("APN") != apn) {
        Fail("the saved APN is " + Quoted(SavedText("APN")) + ", not " + Quoted(apn));
    }
    Say("Apply sent the APN " + Quoted(apn));

    editor.ExpectNoBox("Apply");
    editor.Close();
    Say("the program exited with code 0");
}

int Usage() {
    std::fprintf(stderr,
                 "usage: qx17eep_driver.exe --port COMn --apn TEXT\n"
                 "       qx17eep_driver.exe --delete-settings\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 1 && args[0] == "--delete-settings") {
            qx17::test::DeleteSettingsKey();
            if (qx17::test::KeyExists(qx17::test::kRawSettingsKey)) {
                Fail("the settings key could not be removed");
            }
            return 0;
        }
        if (args.size() != 4 || args[0] != "--port" || args[2] != "--apn") {
            return Usage();
        }
        const std::string& port = args[1];
        const std::string& apn = args[3];
        if (port.rfind("COM", 0) != 0 || apn.empty() || apn == kFactoryApn) {
            std::fprintf(stderr,
                         "qx17eep_driver: the port must be COMn and the APN a new, non-empty "
                         "text other than %s\n",
                         kFactoryApn);
            return 2;
        }
        Drive(port, apn);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "driver: FAILED: %s\n", error.what());
        return 1;
    }
}
