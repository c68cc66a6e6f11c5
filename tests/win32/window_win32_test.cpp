// The native toolkit on real Win32 controls, driven by window messages the
// way a user's clicks and keys arrive: the layout, and the event rules the
// window logic relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/tcomm.h"
#include "tests/support/fake_serial_platform.h"
#include "ui/form_layout.h"
#include "ui/win32_toolkit.h"

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

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;

HWND AsHwnd(void* handle) {
    return static_cast<HWND>(handle);
}

// Runs the thread's messages, as the program's loop does, until `done` holds
// or `limit` passes.
bool PumpUntil(void* window, const std::function<bool()>& done,
               std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG message{};
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!::IsDialogMessageA(AsHwnd(window), &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageA(&message);
            }
        }
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(void* window, std::chrono::milliseconds duration) {
    (void)PumpUntil(
        window, [] { return false; }, duration);
}

// The box of this thread that is open now, if any.
HWND OpenBox() {
    HWND found = nullptr;
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND window, LPARAM result) -> BOOL {
            char name[16] = {};
            ::GetClassNameA(window, name, sizeof name);
            if (std::string(name) == "#32770" && ::IsWindowVisible(window)) {
                *reinterpret_cast<HWND*>(result) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

std::string BoxText(HWND box) {
    char text[256] = {};
    ::GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

// Answers the next box this thread opens, from inside the box's own message
// loop: `while_open` runs once the box is there and returns true when the
// box may be answered with `button`.
class BoxAnswer {
  public:
    BoxAnswer(
        int button, std::function<bool()> while_open = [] { return true; })
        : button_(button), while_open_(std::move(while_open)) {
        current_ = this;
        timer_ = ::SetTimer(nullptr, 0, 30, &BoxAnswer::OnTimer);
    }
    ~BoxAnswer() {
        ::KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    const std::vector<std::string>& Seen() const { return seen_; }

  private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        BoxAnswer* self = current_;
        HWND box = OpenBox();
        if (self == nullptr || box == nullptr || !self->while_open_()) {
            return;
        }
        self->seen_.push_back(BoxText(box));
        ::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(self->button_), 0);
    }

    static inline BoxAnswer* current_ = nullptr;
    int button_;
    std::function<bool()> while_open_;
    std::vector<std::string> seen_;
    UINT_PTR timer_ = 0;
};

void Click(HWND control) {
    ::PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    ::PostMessageA(control, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
}

void Key(HWND control, WPARAM key) {
    ::PostMessageA(control, WM_KEYDOWN, key, 1);
    ::PostMessageA(control, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

// The whole layout on the native toolkit, every handler writing to one log.
class NativeWindow : public testing::Test {
  protected:
    NativeWindow() {
        ui_.CreateWindow(kFormClientWidth, kFormClientHeight);
        for (const ControlSpec& spec : Form1Layout()) {
            Control& control = ui_.CreateControl(spec);
            controls_[spec.name] = &control;
            const std::string name = spec.name;
            control.OnClick = [this, name] { log_.push_back("click " + name); };
            control.OnChange = [this, name] { log_.push_back("change " + name); };
            control.OnEnter = [this, name] { log_.push_back("enter " + name); };
            control.OnExit = [this, name] { log_.push_back("exit " + name); };
        }
        ui_.SetCaption("QX17 Parameter Editor V1.00");
        ui_.Show("BitBtn1");
        PumpFor(ui_.Window(), 100ms);
        log_.clear();
    }

    HWND Hwnd(const std::string& name) { return AsHwnd(ui_.ControlWindow(name)); }
    Control& Get(const std::string& name) { return *controls_.at(name); }
    void* Window() { return ui_.Window(); }
    bool LogHas(std::size_t count) {
        return PumpUntil(Window(), [&] { return log_.size() >= count; });
    }
    // Focuses `name` as a click on it would, and forgets the log.
    void FocusByClick(const std::string& name) {
        Click(Hwnd(name));
        ASSERT_TRUE(PumpUntil(Window(), [&] { return ::GetFocus() == Hwnd(name); }));
        PumpFor(Window(), 50ms);
        log_.clear();
    }

    Win32Toolkit ui_;
    std::map<std::string, Control*> controls_;
    std::vector<std::string> log_;
};

// Where a control lies, relative to the main window's client area.
RECT ClientRect(HWND control, HWND window) {
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The character height (cell height less internal leading) of the font the
// system really uses for `font` on `control`.
int RealisedCharacterHeight(HWND control, HFONT font) {
    HDC dc = ::GetDC(control);
    HGDIOBJ previous = ::SelectObject(dc, font);
    TEXTMETRICA metrics{};
    ::GetTextMetricsA(dc, &metrics);
    ::SelectObject(dc, previous);
    ::ReleaseDC(control, dc);
    return metrics.tmHeight - metrics.tmInternalLeading;
}

TEST_F(NativeWindow, EveryControlLiesWhereTheLayoutPutsItWithItsFont) {
    HWND window = AsHwnd(Window());
    RECT client{};
    ::GetClientRect(window, &client);
    EXPECT_EQ(client.right, kFormClientWidth);
    EXPECT_EQ(client.bottom, kFormClientHeight);
    const LONG style = ::GetWindowLongA(window, GWL_STYLE);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0);
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
    EXPECT_EQ(style & WS_THICKFRAME, 0) << "a fixed border";
    RECT area{}, frame{};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    ::GetWindowRect(window, &frame);
    EXPECT_LE(std::abs((frame.left - area.left) - (area.right - frame.right)), 1) << "centred";
    EXPECT_LE(std::abs((frame.top - area.top) - (area.bottom - frame.bottom)), 1) << "centred";

    for (const ControlSpec& spec : Form1Layout()) {
        SCOPED_TRACE(spec.name);
        HWND control = Hwnd(spec.name);
        ASSERT_NE(control, nullptr);
        int left = spec.rect.left, top = spec.rect.top;
        if (!spec.parent.empty()) {
            left += Form1Spec(spec.parent).rect.left;
            top += Form1Spec(spec.parent).rect.top;
        }
        const RECT at = ClientRect(control, window);
        EXPECT_EQ(at.left, left);
        EXPECT_EQ(at.top, top);
        EXPECT_EQ(at.right - at.left, spec.rect.width);
        if (spec.kind != ControlKind::ComboBox) {
            EXPECT_EQ(at.bottom - at.top, spec.rect.height);
        }
        EXPECT_EQ(::IsWindowVisible(control) != FALSE, spec.visible);

        LOGFONTA font{};
        auto handle = reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0));
        ASSERT_NE(::GetObjectA(handle, sizeof font, &font), 0);
        const bool large = spec.font == FontStyle::Large || spec.font == FontStyle::LargeBold;
        const bool bold = spec.font == FontStyle::NormalBold || spec.font == FontStyle::LargeBold;
        EXPECT_EQ(font.lfHeight, large ? -13 : -11);
        EXPECT_EQ(font.lfWeight, bold ? FW_BOLD : FW_NORMAL);
        EXPECT_STREQ(font.lfFaceName, "MS Sans Serif");
        EXPECT_EQ(RealisedCharacterHeight(control, handle), large ? 13 : 11);

        if (spec.kind == ControlKind::ComboBox) {
            EXPECT_EQ(::SendMessageA(control, CB_GETCOUNT, 0, 0),
                      static_cast<LRESULT>(spec.items.size()));
            EXPECT_EQ(Get(spec.name).ItemIndex(), spec.item_index);
        } else if (spec.kind != ControlKind::StatusBar) {
            EXPECT_EQ(Get(spec.name).Text(), spec.text);
        }
    }
    EXPECT_EQ(ui_.Caption(), "QX17 Parameter Editor V1.00");
}

TEST_F(NativeWindow, TabVisitsTheControlsInTheLayoutsOrderAndNeverTheHiddenField) {
    const std::vector<std::string> sequence = TabSequence(Form1Layout());
    ASSERT_EQ(::GetFocus(), Hwnd(sequence.front()));
    std::vector<std::string> visited{sequence.front()};
    for (std::size_t i = 1; i <= sequence.size(); ++i) {
        Key(::GetFocus(), VK_TAB);
        HWND before = Hwnd(visited.back());
        ASSERT_TRUE(PumpUntil(Window(), [&] { return ::GetFocus() != before; })) << i;
        for (const auto& [name, control] : controls_) {
            if (Hwnd(name) == ::GetFocus()) {
                visited.push_back(name);
            }
        }
    }
    std::vector<std::string> expected = sequence;
    expected.push_back(sequence.front());  // from the last one round to the first
    EXPECT_EQ(visited, expected);
    EXPECT_EQ(std::count(visited.begin(), visited.end(), "IN_DNS"), 0);
}

TEST_F(NativeWindow, AFieldsExitRunsBeforeTheNextFieldsEnterAndBeforeTheClick) {
    FocusByClick("IN_APN");
    Key(Hwnd("IN_APN"), VK_TAB);  // to the next field of the group
    ASSERT_TRUE(LogHas(2));
    EXPECT_EQ(log_[0], "exit IN_APN");
    EXPECT_EQ(log_[1].rfind("enter ", 0), 0u) << log_[1];

    FocusByClick("IN_APN");
    Click(Hwnd("BitBtn7"));
    ASSERT_TRUE(LogHas(2));
    EXPECT_THAT(log_, ElementsAre("exit IN_APN", "click BitBtn7"));

    FocusByClick("IN_PORT");
    Click(Hwnd("SelGPRS"));
    ASSERT_TRUE(LogHas(2));
    EXPECT_THAT(log_, ElementsAre("exit IN_PORT", "click SelGPRS"));
    EXPECT_TRUE(Get("SelGPRS").Checked());
}

TEST_F(NativeWindow, CheckBoxesRaiseTheirClickAlsoWhenTheProgramSetsThem) {
    Get("CheckBox1").SetChecked(true);
    EXPECT_THAT(log_, ElementsAre("click CheckBox1"));
    Get("CheckBox1").SetChecked(true);  // no change, nothing raised
    EXPECT_EQ(log_.size(), 1u);
    Click(Hwnd("CheckBox1"));
    ASSERT_TRUE(LogHas(2));
    EXPECT_FALSE(Get("CheckBox1").Checked());
    EXPECT_EQ(log_[1], "click CheckBox1");
}

TEST_F(NativeWindow, ListsRaiseTheirChangeOnlyOnAUsersPick) {
    Control& ports = Get("ComboBox4");
    ports.SetItemIndex(5);
    EXPECT_EQ(ports.ItemText(), "COM6");
    ports.SetItemIndex(40);
    EXPECT_EQ(ports.ItemIndex(), -1) << "an index outside the list chooses none";
    ports.SetItemIndex(0);
    PumpFor(Window(), 100ms);
    EXPECT_THAT(log_, IsEmpty());

    FocusByClick("ComboBox4");
    Key(Hwnd("ComboBox4"), VK_ESCAPE);  // close the list the click dropped down
    PumpFor(Window(), 100ms);
    EXPECT_THAT(log_, IsEmpty()) << "a list dropped down and closed without a pick";
    EXPECT_EQ(ports.ItemText(), "COM1");
    Key(Hwnd("ComboBox4"), VK_DOWN);
    ASSERT_TRUE(LogHas(1));
    EXPECT_THAT(log_, ElementsAre("change ComboBox4"));
    EXPECT_EQ(ports.ItemText(), "COM2");
}

TEST_F(NativeWindow, ABoxOrAnotherWindowTakingTheFocusRunsNoExit) {
    FocusByClick("IN_APN");
    {
        BoxAnswer answer(IDYES);
        EXPECT_EQ(ui_.MessageBox("Readlly Write All Parameter?", "Notice", BoxButtons::YesNo),
                  BoxResult::Yes);
        EXPECT_THAT(answer.Seen(), ElementsAre("Readlly Write All Parameter?"));
    }
    {
        BoxAnswer answer(IDNO);
        EXPECT_EQ(ui_.MessageBox("Readlly Init All Parameter?", "Notice", BoxButtons::YesNo),
                  BoxResult::No);
    }
    PumpFor(Window(), 100ms);
    EXPECT_EQ(::GetFocus(), Hwnd("IN_APN")) << "the focus came back to the field";

    // Another window of the program becomes active, then this one again.
    HWND other = ::CreateWindowExA(0, "STATIC", "other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                   200, 100, nullptr, nullptr, nullptr, nullptr);
    ::SetActiveWindow(other);
    PumpFor(Window(), 100ms);
    ::SetActiveWindow(AsHwnd(Window()));
    PumpFor(Window(), 100ms);
    ::DestroyWindow(other);
    PumpFor(Window(), 50ms);
    EXPECT_EQ(::GetFocus(), Hwnd("IN_APN"));
    EXPECT_THAT(log_, IsEmpty());

    // Closing the window leaves the field: its exit runs.
    ::SendMessageA(AsHwnd(Window()), WM_CLOSE, 0, 0);
    EXPECT_THAT(log_, ElementsAre("exit IN_APN"));
    EXPECT_EQ(ui_.Window(), nullptr);
}

// Whether the open box shows an icon beside its text, and its buttons.
struct BoxLook {
    bool icon = false;
    bool ok = false;
    bool yes = false;
};

BoxLook LookAt(HWND box) {
    BoxLook look;
    look.ok = ::GetDlgItem(box, IDOK) != nullptr;
    look.yes = ::GetDlgItem(box, IDYES) != nullptr;
    ::EnumChildWindows(
        box,
        [](HWND child, LPARAM result) -> BOOL {
            char name[16] = {};
            ::GetClassNameA(child, name, sizeof name);
            const LONG style = ::GetWindowLongA(child, GWL_STYLE);
            if (_stricmp(name, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
                ::IsWindowVisible(child) && ::SendMessageA(child, STM_GETICON, 0, 0) != 0) {
                reinterpret_cast<BoxLook*>(result)->icon = true;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&look));
    return look;
}

TEST_F(NativeWindow, TheErrorBoxHasAnIconAndOkAPlainBoxNoIcon) {
    BoxLook error_box, plain_box;
    {
        BoxAnswer answer(IDOK, [&] {
            error_box = LookAt(OpenBox());
            return true;
        });
        ui_.ShowError("Error opening serial port.", "Qx17eep");
        EXPECT_THAT(answer.Seen(), ElementsAre("Error opening serial port."));
    }
    {
        BoxAnswer answer(IDOK, [&] {
            plain_box = LookAt(OpenBox());
            return true;
        });
        ui_.MessageBox("Write Completed!", "Notice", BoxButtons::Ok);
    }
    EXPECT_TRUE(error_box.icon);
    EXPECT_TRUE(error_box.ok);
    EXPECT_FALSE(error_box.yes);
    EXPECT_FALSE(plain_box.icon);
    EXPECT_TRUE(plain_box.ok);
}

// Ticks and the serial component's notices go on while a box is open.
TEST_F(NativeWindow, TicksAndReceivedChunksKeepComingWhileABoxIsOpen) {
    int ticks = 0;
    ui_.StartTimer(20, [&] { ++ticks; });

    test::FakeSerialPlatform platform;
    TComm comm(nullptr, platform);
    std::vector<std::vector<std::uint8_t>> chunks;
    comm.OnReceiveData = [&](TComm*, const std::uint8_t* data, std::uint16_t length) {
        chunks.emplace_back(data, data + length);
    };
    ui_.AttachNotices(comm);
    comm.SetCommName("COM1");
    comm.OpenPort();
    ASSERT_TRUE(comm.IsOpen());

    bool scripted = false;
    int ticks_at_open = -1;
    BoxAnswer answer(IDOK, [&] {
        if (!scripted) {
            scripted = true;
            ticks_at_open = ticks;
            platform.line->ScriptRead({ReadOutcome::Kind::Data, 3}, {0xAB, 0xAB, 0x01});
        }
        return chunks.size() == 1 && ticks >= ticks_at_open + 5;
    });
    ui_.MessageBox("Read Completed!", "Notice", BoxButtons::Ok);
    ASSERT_EQ(chunks.size(), 1u) << "the chunk arrived inside the box's loop";
    EXPECT_THAT(chunks[0], ElementsAre(0xAB, 0xAB, 0x01));
    EXPECT_GE(ticks, ticks_at_open + 5);

    comm.ClosePort();
    ui_.DetachNotices(comm);
}

std::string WindowText(HWND window) {
    char text[256] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

// What the system's accessibility layer gives a screen reader: each
// control's window text as the window now shows it, the status panels'
// texts, and each entry field's and list's label right before it in the
// window order, where that layer looks for the name of an edit or a list.
TEST_F(NativeWindow, AScreenReaderReadsTheTextsAsTheWindowShowsThem) {
    Get("BitBtn1").SetText("Close");
    Get("IN_APN").SetText("internet");
    Get("ComboBox1").SetItemIndex(2);
    Get("StatusBar1").SetPanelText(0, "Start Update...");
    Get("StatusBar1").SetPanelText(1, "3794");
    EXPECT_EQ(WindowText(Hwnd("BitBtn1")), "Close");
    EXPECT_EQ(WindowText(Hwnd("IN_APN")), "internet");
    EXPECT_EQ(WindowText(Hwnd("ComboBox1")), "Google Map");
    EXPECT_EQ(WindowText(Hwnd("SelGPRS")), "GPRS");
    EXPECT_EQ(WindowText(Hwnd("Label5")), "Call For SMS");
    for (WPARAM panel = 0; panel < 2; ++panel) {
        char text[64] = {};
        ::SendMessageA(Hwnd("StatusBar1"), SB_GETTEXTA, panel, reinterpret_cast<LPARAM>(text));
        EXPECT_EQ(std::string(text), panel == 0 ? "Start Update..." : "3794");
    }
    Get("ComboBox1").SetItemIndex(-1);
    EXPECT_EQ(WindowText(Hwnd("ComboBox1")), "") << "nothing chosen";

    int labelled = 0;
    for (const ControlSpec& spec : Form1Layout()) {
        if (spec.visible &&
            (spec.kind == ControlKind::Edit || spec.kind == ControlKind::ComboBox)) {
            if (const ControlSpec* label = LabelBeside(Form1Layout(), spec)) {
                EXPECT_EQ(::GetWindow(Hwnd(spec.name), GW_HWNDPREV), Hwnd(label->name))
                    << spec.name << " after " << label->name;
                ++labelled;
            }
        }
    }
    EXPECT_GE(labelled, 14);
}

// A wake-up that cannot be posted (a full message queue) delays nothing for
// good: the next tick delivers the notice that waits, and the next notice
// comes with its own wake-up.
TEST_F(NativeWindow, ALostNoticeWakeupIsMadeUpByTheNextTick) {
    ui_.StartTimer(20, [] {});
    test::FakeSerialPlatform platform;
    TComm comm(nullptr, platform);
    std::vector<std::vector<std::uint8_t>> chunks;
    comm.OnReceiveData = [&](TComm*, const std::uint8_t* data, std::uint16_t length) {
        chunks.emplace_back(data, data + length);
    };
    int send_empty = 0;
    comm.OnSendDataEmpty = [&](TComm*) { ++send_empty; };
    ui_.AttachNotices(comm);
    comm.SetCommName("COM1");
    comm.OpenPort();
    ASSERT_TRUE(PumpUntil(Window(), [&] { return send_empty == 1; }));

    ui_.RefuseNoticePostsForTesting(1);
    platform.line->ScriptRead({ReadOutcome::Kind::Data, 1}, {0x01});
    EXPECT_TRUE(PumpUntil(
        Window(), [&] { return chunks.size() == 1; }, 2s))
        << "the notice whose wake-up was lost waits for the next notice";
    platform.line->ScriptRead({ReadOutcome::Kind::Data, 1}, {0x02});
    ASSERT_TRUE(PumpUntil(
        Window(), [&] { return chunks.size() == 2; }, 2s));
    EXPECT_THAT(chunks, ElementsAre(ElementsAre(0x01), ElementsAre(0x02)));

    comm.ClosePort();
    ui_.DetachNotices(comm);
}

}  // namespace
}  // namespace qx17
