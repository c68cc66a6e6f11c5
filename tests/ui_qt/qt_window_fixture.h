// Shared pieces of the tests on the real Qt widgets: a settings recorder, a
// window fixture with the fake serial platform, and a helper that answers the
// next modal box from the event loop.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QObject>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_serial_platform.h"
#include "ui/form_settings.h"
#include "ui/qt_toolkit.h"
#include "ui/tform1.h"

namespace qx17::test {

// Waits end as soon as their condition holds; the limit only stops a test
// that would otherwise hang.
inline constexpr int kWaitMs = 20000;

class RecordingSettings : public FormSettings {
  public:
    void LoadSettings(TForm1&) override {
        calls.push_back("load");
        if (on_load) {
            on_load();
        }
    }
    void SaveSettings(TForm1&) override { calls.push_back("save"); }
    void FieldsToImage(TForm1&) override { calls.push_back("image"); }

    std::vector<std::string> calls;
    std::function<void()> on_load;
};

// What a box looked like when it was answered.
struct SeenBox {
    bool seen = false;
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Polls the top-level widgets from a timer; once a message box is open and
// `ready` holds, records the box and presses `button` on it (or, with
// QMessageBox::NoButton, the Escape key). After the wait limit it closes any
// open box so that the test fails instead of hanging.
class BoxAnswerer {
  public:
    BoxAnswerer(QMessageBox::StandardButton button, std::function<bool()> ready = {});
    ~BoxAnswerer();
    const SeenBox& Seen() const { return seen_; }
    bool TimedOut() const { return timed_out_; }

  private:
    void Poll();

    std::unique_ptr<QObject> context_;
    QMessageBox::StandardButton button_;
    std::function<bool()> ready_;
    SeenBox seen_;
    int polls_ = 0;
    bool timed_out_ = false;
};

// A TForm1 on the Qt toolkit over the fake serial platform, shown, active,
// the focus on its first control.
class QtWindowTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    QWidget* W(const std::string& name) const;
    template <typename T>
    T* As(const std::string& name) const {
        T* widget = qobject_cast<T*>(W(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // The layout name of the focused widget, empty for none or another.
    std::string FocusedName() const;
    // Records the enter and exit of `field` into `events` ("enter IN_APN").
    void RecordFocus(const std::string& field);
    void RecordClick(const std::string& control);

    QtToolkit ui;
    RecordingSettings settings;
    FakeSerialPlatform platform;
    std::unique_ptr<TForm1> form;
    std::vector<std::string> events;
};

}  // namespace qx17::test
