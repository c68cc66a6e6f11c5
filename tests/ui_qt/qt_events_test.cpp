// The event rules of the seam on the real Qt widgets: check boxes and lists,
// focus enter and exit, modal boxes with their nested loop, the serial
// component's notices.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/exchange_state.h"
#include "serial/tcomm.h"
#include "tests/ui_qt/qt_window_fixture.h"

namespace qx17::test {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

using QtEvents = QtWindowTest;

// Checking a box raises its click whichever way the state changes; setting
// the state it already has raises nothing.
TEST_F(QtEvents, ACheckBoxClicksOnEveryChangeOfStateAlsoFromTheProgram) {
    for (const std::string name : {"CheckBox1", "SelGPRS"}) {
        SCOPED_TRACE(name);
        Control& control = form->Find(name);
        auto* box = As<QCheckBox>(name);
        int clicks = 0;
        control.OnClick = [&] { ++clicks; };
        const struct {
            const char* what;
            std::function<void()> act;
            bool checked;
            int clicks;
        } steps[] = {
            {"program checks", [&] { control.SetChecked(true); }, true, 1},
            {"program checks again", [&] { control.SetChecked(true); }, true, 0},
            {"user clicks", [&] { QTest::mouseClick(box, Qt::LeftButton); }, false, 1},
            {"user presses space", [&] { QTest::keyClick(box, Qt::Key_Space); }, true, 1},
            {"program unchecks", [&] { control.SetChecked(false); }, false, 1},
        };
        for (const auto& step : steps) {
            clicks = 0;
            step.act();
            EXPECT_EQ(clicks, step.clicks) << step.what;
            EXPECT_EQ(control.Checked(), step.checked) << step.what;
            EXPECT_EQ(box->isChecked(), step.checked) << step.what;
        }
    }
}

// Setting the index raises nothing; a user's pick, by keyboard or from the
// dropped-down list, raises OnChange once.
TEST_F(QtEvents, AListChangesOnlyOnAUsersPick) {
    for (const std::string name : {"SelTCP", "ComboBox1", "ComboBox4"}) {
        SCOPED_TRACE(name);
        Control& control = form->Find(name);
        auto* combo = As<QComboBox>(name);
        int changes = 0;
        control.OnChange = [&] { ++changes; };
        const struct {
            const char* what;
            std::function<void()> act;
            int index;
            int changes;
        } steps[] = {
            {"program sets 1", [&] { control.SetItemIndex(1); }, 1, 0},
            {"program sets -1", [&] { control.SetItemIndex(-1); }, -1, 0},
            {"program sets 0", [&] { control.SetItemIndex(0); }, 0, 0},
            {"program sets past the end", [&] { control.SetItemIndex(combo->count()); }, -1, 0},
            {"program sets 0 again", [&] { control.SetItemIndex(0); }, 0, 0},
            {"user presses down",
             [&] {
                 combo->setFocus();
                 QTest::keyClick(combo, Qt::Key_Down);
             },
             1, 1},
            {"user picks from the list",
             [&] {
                 combo->showPopup();
                 QTest::keyClick(combo->view(), Qt::Key_Up);
                 QTest::keyClick(combo->view(), Qt::Key_Return);
             },
             0, 1},
        };
        for (const auto& step : steps) {
            changes = 0;
            step.act();
            EXPECT_EQ(changes, step.changes) << step.what;
            EXPECT_EQ(control.ItemIndex(), step.index) << step.what;
            EXPECT_EQ(combo->currentIndex(), step.index) << step.what;
            if (step.index < 0) {
                EXPECT_EQ(control.ItemText(), "") << step.what;
                EXPECT_EQ(combo->currentText(), QString()) << step.what;
            }
        }
        EXPECT_FALSE(combo->view()->isVisible());
    }
}

class QtFocus : public QtWindowTest {
  protected:
    void SetUp() override {
        QtWindowTest::SetUp();
        RecordFocus("IN_APN");
        RecordFocus("IN_ID");
        RecordClick("BitBtn7");
        RecordClick("CheckBox1");
        QTest::mouseClick(W("IN_APN"), Qt::LeftButton);
        ASSERT_EQ(FocusedName(), "IN_APN");
        ASSERT_THAT(events, ElementsAre("enter IN_APN"));
        events.clear();
    }
};

TEST_F(QtFocus, MovingBetweenFieldsExitsTheOldOneThenEntersTheNew) {
    QTest::keyClicks(W("IN_APN"), "2");
    QTest::mouseClick(W("IN_ID"), Qt::LeftButton);
    QTest::mouseClick(W("IN_ID"), Qt::LeftButton);  // already there: nothing
    QTest::keyClick(W("IN_ID"), Qt::Key_Backtab);   // IN_ID follows IN_GPRSTM
    EXPECT_THAT(events, ElementsAre("exit IN_APN 'CMNET2'", "enter IN_ID", "exit IN_ID ''"));
    EXPECT_EQ(FocusedName(), "IN_GPRSTM");
}

// Qt gives the focus at the press: the field's exit has run, with the typed
// text, before the button's or check box's click.
TEST_F(QtFocus, ClickingAButtonAfterTypingExitsTheFieldBeforeTheClick) {
    QTest::keyClicks(W("IN_APN"), "x");
    QTest::mouseClick(W("BitBtn7"), Qt::LeftButton);
    EXPECT_THAT(events, ElementsAre("exit IN_APN 'CMNETx'", "click BitBtn7"));

    events.clear();
    QTest::mouseClick(W("IN_ID"), Qt::LeftButton);
    QTest::keyClicks(W("IN_ID"), "7");
    QTest::mouseClick(W("CheckBox1"), Qt::LeftButton);
    EXPECT_THAT(events, ElementsAre("enter IN_ID", "exit IN_ID '7'", "click CheckBox1"));
    EXPECT_TRUE(form->CheckBox1->Checked());
}

TEST_F(QtFocus, DeactivatingTheWindowAndComingBackRunsNothing) {
    QWidget other;
    other.setWindowTitle(QStringLiteral("another application"));
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other, kWaitMs));
    EXPECT_EQ(FocusedName(), "");

    ui.Window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(ui.Window(), kWaitMs));
    EXPECT_EQ(FocusedName(), "IN_APN");
    EXPECT_THAT(events, IsEmpty());
}

TEST_F(QtFocus, AModalBoxOpeningAndClosingRunsNothing) {
    {
        BoxAnswerer answer(QMessageBox::Ok);
        EXPECT_EQ(ui.MessageBox("Write all parameters?", "Qx17eep", BoxButtons::Ok), BoxResult::Ok);
        EXPECT_TRUE(answer.Seen().seen);
    }
    {
        BoxAnswerer answer(QMessageBox::Ok);
        ui.ShowError("Error opening serial port.", "Qx17eep");
        EXPECT_TRUE(answer.Seen().seen);
    }
    ASSERT_TRUE(QTest::qWaitForWindowActive(ui.Window(), kWaitMs));
    EXPECT_EQ(FocusedName(), "IN_APN");
    EXPECT_THAT(events, IsEmpty());
}

// A field's context menu is a popup: while it is open Qt sends the field a
// focus-out (for the popup) yet keeps it the focus widget. Nothing runs.
TEST_F(QtFocus, AMenuOpeningAndClosingRunsNothing) {
    bool menu_seen = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            menu_seen = true;
            popup->close();
        }
    });
    closer.start(10);
    QWidget* field = W("IN_APN");
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(5, 5),
                           field->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(field, &menu);  // the menu pops up and stays open
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return menu_seen && QApplication::activePopupWidget() == nullptr; }, kWaitMs));
    // The window may take another turn of the event loop to be active again.
    EXPECT_TRUE(QTest::qWaitFor([&] { return FocusedName() == "IN_APN"; }, kWaitMs))
        << "focus on \"" << FocusedName() << "\"";
    EXPECT_THAT(events, IsEmpty());
}

// A list's drop-down opens over the window and takes the keyboard; only the
// move onto the list itself counts.
TEST_F(QtFocus, ADroppedDownListRunsOnlyTheExitOfTheFieldLeft) {
    QTest::mouseClick(W("IN_ID"), Qt::LeftButton);
    QTest::keyClick(W("IN_ID"), Qt::Key_Tab);                   // IN_IP
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);  // IN_PORT
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);  // SelTCP
    ASSERT_EQ(FocusedName(), "SelTCP");
    events.clear();
    auto* combo = As<QComboBox>("SelTCP");
    QTest::keyClick(combo, Qt::Key_F4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return combo->view()->isVisible(); }, kWaitMs));
    QTest::keyClick(combo->view(), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !combo->view()->isVisible(); }, kWaitMs));
    EXPECT_EQ(FocusedName(), "SelTCP");
    EXPECT_THAT(events, IsEmpty());
    QTest::mouseClick(W("IN_ID"), Qt::LeftButton);
    EXPECT_THAT(events, ElementsAre("enter IN_ID"));
}

// The close button leaves the focused field: its exit runs, once.
TEST_F(QtFocus, ClosingTheWindowExitsTheFocusedField) {
    QTest::keyClicks(W("IN_APN"), "3");
    ui.Window()->close();
    EXPECT_THAT(events, ElementsAre("exit IN_APN 'CMNET3'"));
    EXPECT_FALSE(ui.Window()->isVisible());
}

TEST_F(QtEvents, MessageBoxesReturnTheButtonPressed) {
    const struct {
        BoxButtons buttons;
        QMessageBox::StandardButton press;  // NoButton: the Escape key
        BoxResult result;
    } cases[] = {
        {BoxButtons::Ok, QMessageBox::Ok, BoxResult::Ok},
        {BoxButtons::YesNo, QMessageBox::Yes, BoxResult::Yes},
        {BoxButtons::YesNo, QMessageBox::No, BoxResult::No},
        {BoxButtons::YesNo, QMessageBox::NoButton, BoxResult::No},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.press));
        BoxAnswerer answer(c.press);
        EXPECT_EQ(ui.MessageBox("Default all \xB0 parameters?", "Caption", c.buttons), c.result);
        ASSERT_TRUE(answer.Seen().seen);
        EXPECT_FALSE(answer.TimedOut());
        EXPECT_EQ(answer.Seen().text, QStringLiteral(u"Default all \u00B0 parameters?"));
        EXPECT_EQ(answer.Seen().title, QStringLiteral("Caption"));
        EXPECT_EQ(answer.Seen().icon, QMessageBox::NoIcon);
        EXPECT_EQ(answer.Seen().buttons, c.buttons == BoxButtons::Ok
                                             ? QMessageBox::StandardButtons(QMessageBox::Ok)
                                             : QMessageBox::Yes | QMessageBox::No);
    }
}

// Start with a port that cannot be opened: the window's guard shows the
// standard error box, and nothing else changes.
TEST_F(QtEvents, AFailedStartShowsTheStopBoxWithTheApplicationTitle) {
    platform.open_error = SerialPlatform::OpenError::CannotOpen;
    BoxAnswerer answer(QMessageBox::Ok);
    QTest::mouseClick(W("BitBtn1"), Qt::LeftButton);
    ASSERT_TRUE(answer.Seen().seen);
    EXPECT_EQ(answer.Seen().text, QStringLiteral("Error opening serial port."));
    EXPECT_EQ(answer.Seen().title, QStringLiteral("Qx17eep"));
    EXPECT_EQ(answer.Seen().icon, QMessageBox::Critical);
    EXPECT_EQ(answer.Seen().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(As<QPushButton>("BitBtn1")->text(), QStringLiteral("Start"));
    EXPECT_FALSE(form->PortOpen);
}

// While a box is open its nested loop goes on ticking the timers and
// delivering the port's chunks, in the order they came.
TEST_F(QtEvents, ABoxKeepsTimersTickingAndNoticesFlowing) {
    QTest::mouseClick(W("BitBtn1"), Qt::LeftButton);
    ASSERT_TRUE(form->Comm1->IsOpen());
    ASSERT_EQ(As<QPushButton>("BitBtn1")->text(), QStringLiteral("Close"));

    bool box_open = false;
    int ticks_in_box = 0;
    std::vector<std::vector<std::uint8_t>> received;
    form->Comm1->OnReceiveData = [&](TComm*, const std::uint8_t* buffer, std::uint16_t length) {
        EXPECT_TRUE(box_open);
        received.emplace_back(buffer, buffer + length);
    };
    ui.StartTimer(5, [&] { ticks_in_box += box_open ? 1 : 0; });
    const std::vector<std::vector<std::uint8_t>> chunks = {
        {0xAB, 0xAB, 0x00}, {0x02, 0xAA}, {0x99, 0x64, 0x44, 0x00}};
    QTimer::singleShot(0, [&] {
        for (const auto& chunk : chunks) {
            platform.line->ScriptRead(
                {ReadOutcome::Kind::Data, static_cast<std::uint32_t>(chunk.size())}, chunk);
        }
    });
    BoxAnswerer answer(QMessageBox::Ok,
                       [&] { return ticks_in_box >= 3 && received.size() == chunks.size(); });
    box_open = true;
    ui.MessageBox("Reading...", "Qx17eep", BoxButtons::Ok);
    box_open = false;
    EXPECT_FALSE(answer.TimedOut());
    EXPECT_GE(ticks_in_box, 3);
    EXPECT_EQ(received, chunks);
}

// The visible boxes that say `text`.
std::vector<QMessageBox*> OpenBoxes(const QString& text) {
    std::vector<QMessageBox*> open;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible() && (text.isEmpty() || box->text() == text)) {
            open.push_back(box);
        }
    }
    return open;
}

// Timer1 keeps ticking under the time-out box it opened itself: a countdown
// armed again while that box is open (a late acknowledgement of a write-all
// frame) runs out on time, and its box opens over the first.
TEST_F(QtEvents, TheTimeOutBoxKeepsTimer1Ticking) {
    int most_open = 0;
    int looks_since_armed = 0;
    bool armed_again = false;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const std::vector<QMessageBox*> open = OpenBoxes(QStringLiteral("COM Operate OverTimer!"));
        most_open = std::max(most_open, static_cast<int>(open.size()));
        if (open.size() == 1 && !armed_again) {
            armed_again = true;
            LinkState = kLinkWriteAll;
            ReplyCountdown = 5;  // 100 ms of ticks
        }
        // Two boxes at once, or none came over the first for about two
        // seconds: what is open is closed.
        if (armed_again && (open.size() == 2 || ++looks_since_armed > 400)) {
            for (QMessageBox* box : open) {
                box->done(QMessageBox::Ok);
            }
        }
    });
    watch.start();
    LinkState = kLinkReadAll;
    ReplyCountdown = 2;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return armed_again && ReplyCountdown == 0 && OpenBoxes({}).empty(); }, kWaitMs));
    EXPECT_EQ(most_open, 2) << "the second countdown ran out only once the first box was closed";
    LinkState = kLinkIdle;
}

// Notices posted before the component detaches are dropped with it: nothing
// reaches a component that is gone, and none arrive after detaching.
TEST(QtNotices, DetachingDropsWhatIsQueuedAndStopsTheWakeups) {
    QtToolkit ui;
    FakeSerialPlatform platform;
    int delivered = 0;
    {
        TComm comm(nullptr, platform);
        comm.OnSendDataEmpty = [&](TComm*) { ++delivered; };
        ui.AttachNotices(comm);
        ASSERT_TRUE(comm.Notices().Post(Notice{MsgSendDataEmpty, 0, 0, nullptr}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return delivered == 1; }, kWaitMs));
        ASSERT_TRUE(comm.Notices().Post(Notice{MsgSendDataEmpty, 0, 0, nullptr}));
        ui.DetachNotices(comm);
        ASSERT_TRUE(comm.Notices().Post(Notice{MsgSendDataEmpty, 0, 0, nullptr}));
    }
    QTest::qWait(50);
    EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace qx17::test
