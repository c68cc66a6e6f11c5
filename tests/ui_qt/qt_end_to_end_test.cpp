// The tool on Qt's own event loop with real timers, against the virtual
// tracker on COM1: Start, Read, change a field, Apply, read it back changed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "params/param_image.h"
#include "tests/ui_qt/qt_window_fixture.h"
#include "tools/tracker_sim/virtual_tracker.h"

namespace qx17 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(QtEndToEnd, ReadApplyAndReadBackAtRealTime) {
    char pattern[] = "/tmp/qx17-qt-e2e-XXXXXX";
    const fs::path config = ::mkdtemp(pattern);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    {
        sim::Options options;
        options.announce = false;
        options.link_port = 1;
        options.link_dir = (config / "Kestrowind/QX17EEP/ports").string();
        sim::VirtualTracker tracker(options);

        QtToolkit ui;
        TForm1 form(ui, DefaultFormSettings(), "Qx17eep");
        form.Show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.Window(), test::kWaitMs));
        form.BitBtn1->OnClick();  // Start
        ASSERT_TRUE(form.PortOpen);

        const auto read = [&] {
            test::BoxAnswerer ok(QMessageBox::Ok);
            form.BitBtn4->OnClick();  // Read: the box comes from a received chunk
            EXPECT_TRUE(QTest::qWaitFor([&] { return ok.Seen().seen; }, test::kWaitMs));
            EXPECT_EQ(ok.Seen().text, "Read Completed!");
            QTest::qWait(50);
        };
        read();
        EXPECT_EQ(form.Edit1->Text(), "60");

        // The user changes the logging interval and presses its Apply.
        QWidget* logging = nullptr;
        for (QWidget* w : ui.Window()->findChildren<QWidget*>()) {
            if (w->accessibleName() == "Logging")
                logging = w;
        }
        ASSERT_NE(logging, nullptr);
        ui.Window()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(ui.Window(), test::kWaitMs));
        QTest::mouseClick(logging, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return logging->hasFocus(); }, test::kWaitMs));
        auto* line = qobject_cast<QLineEdit*>(logging);
        ASSERT_NE(line, nullptr);
        line->selectAll();
        QTest::keyClicks(line, "300");
        {
            test::BoxAnswerer ok(QMessageBox::Ok);
            QWidget* apply = nullptr;
            for (QWidget* w : ui.Window()->findChildren<QWidget*>()) {
                if (w->accessibleName() == "Apply Logging")
                    apply = w;
            }
            ASSERT_NE(apply, nullptr);
            QTest::mouseClick(apply, Qt::LeftButton);
            ASSERT_TRUE(QTest::qWaitFor([&] { return ok.Seen().seen; }, test::kWaitMs));
            EXPECT_EQ(ok.Seen().text, "Write Completed!");
        }
        EXPECT_EQ(tracker.ReadMemory(184, 2), (sim::Bytes{0x2C, 0x01}));  // 300 seconds

        form.Edit1->SetText("0");
        read();
        EXPECT_EQ(form.Edit1->Text(), "300") << "read back changed";
        form.BitBtn1->OnClick();  // Close
    }
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(config);
    ParamImage.fill(0);
}

}  // namespace
}  // namespace qx17
