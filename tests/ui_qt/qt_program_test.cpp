// The program start on Qt: RunQtProgram creates the application and the
// window, calls the hook once the window is shown, and returns when the
// window closes. Each test is a program run of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <stdexcept>

#include "tests/ui_qt/qt_window_fixture.h"
#include "ui/qt_program.h"

namespace qx17::test {
namespace {

using testing::ElementsAre;

class QtProgram : public testing::Test {
  protected:
    void SetUp() override { setenv("QT_QPA_PLATFORM", "offscreen", 1); }

    int Run(FormSettings& settings, const ProgramHooks& hooks) {
        char* argv[] = {program_, nullptr};
        return RunQtProgram(1, argv, settings, hooks);
    }

    char program_[32] = "/usr/local/bin/qx17eep";
};

TEST_F(QtProgram, ShowsTheWindowCallsTheHookOnceAndEndsWhenTheWindowCloses) {
    RecordingSettings settings;
    int shown = 0;
    ProgramHooks hooks;
    hooks.on_shown = [&](TForm1& form) {
        ++shown;
        auto& ui = dynamic_cast<QtToolkit&>(form.GetToolkit());
        QWidget* window = ui.Window();
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->windowTitle(), QStringLiteral("QX17 Parameter Editor V1.00"));
        EXPECT_EQ(form.ApplicationTitle(), "qx17eep");
        EXPECT_EQ(ui.Focused(), form.BitBtn1);
        QTimer::singleShot(0, window, [window] { window->close(); });
    };
    EXPECT_EQ(Run(settings, hooks), 0);
    EXPECT_EQ(shown, 1);
    EXPECT_THAT(settings.calls, ElementsAre("load", "image"));
}

// An error while loading the settings is shown before the window exists; the
// window comes up all the same and the program runs on.
TEST_F(QtProgram, AStartUpErrorBoxDoesNotEndTheProgram) {
    RecordingSettings settings;
    std::unique_ptr<BoxAnswerer> answer;
    settings.on_load = [&] {
        answer = std::make_unique<BoxAnswerer>(QMessageBox::Ok);
        throw std::runtime_error("Invalid data type for 'COM'");
    };
    int shown = 0;
    ProgramHooks hooks;
    hooks.on_shown = [&](TForm1& form) {
        ++shown;
        QWidget* window = dynamic_cast<QtToolkit&>(form.GetToolkit()).Window();
        QTimer::singleShot(0, window, [window] { window->close(); });
    };
    EXPECT_EQ(Run(settings, hooks), 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Seen().text, QStringLiteral("Invalid data type for 'COM'"));
    EXPECT_EQ(answer->Seen().icon, QMessageBox::Critical);
    EXPECT_EQ(shown, 1);
    answer.reset();
}

}  // namespace
}  // namespace qx17::test
