#include "tests/ui_qt/qt_window_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

namespace qx17::test {

namespace {
constexpr int kPollMs = 10;
}

BoxAnswerer::BoxAnswerer(QMessageBox::StandardButton button, std::function<bool()> ready)
    : context_(std::make_unique<QObject>()), button_(button), ready_(std::move(ready)) {
    auto* timer = new QTimer(context_.get());
    QObject::connect(timer, &QTimer::timeout, context_.get(), [this] { Poll(); });
    timer->start(kPollMs);
}

BoxAnswerer::~BoxAnswerer() = default;

void BoxAnswerer::Poll() {
    QMessageBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* candidate = qobject_cast<QMessageBox*>(widget);
            candidate != nullptr && candidate->isVisible()) {
            box = candidate;
        }
    }
    const bool late = ++polls_ * kPollMs > kWaitMs;
    if (box == nullptr || seen_.seen || (!late && ready_ && !ready_())) {
        return;
    }
    timed_out_ = late;
    seen_ = {true, box->text(), box->windowTitle(), box->icon(), box->standardButtons()};
    if (late || button_ == QMessageBox::NoButton) {
        QTest::keyClick(box, Qt::Key_Escape);
    } else if (QAbstractButton* pressed = box->button(button_)) {
        QTest::mouseClick(pressed, Qt::LeftButton);
    } else {
        ADD_FAILURE() << "the box has no such button";
        box->reject();
    }
}

void QtWindowTest::SetUp() {
    form = std::make_unique<TForm1>(ui, settings, "Qx17eep", platform);
    form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(ui.Window(), kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return FocusedName() == "BitBtn1"; }, kWaitMs))
        << "focus on " << FocusedName();
}

void QtWindowTest::TearDown() {
    form.reset();
}

QWidget* QtWindowTest::W(const std::string& name) const {
    QWidget* widget = ui.Widget(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

std::string QtWindowTest::FocusedName() const {
    QWidget* focused = QApplication::focusWidget();
    if (focused == nullptr || focused->window() != ui.Window()) {
        return {};
    }
    return focused->objectName().toStdString();
}

void QtWindowTest::RecordFocus(const std::string& field) {
    Control& control = form->Find(field);
    control.OnEnter = [this, field] { events.push_back("enter " + field); };
    control.OnExit = [this, field, &control] {
        events.push_back("exit " + field + " '" + control.Text() + "'");
    };
}

void QtWindowTest::RecordClick(const std::string& name) {
    form->Find(name).OnClick = [this, name] { events.push_back("click " + name); };
}

}  // namespace qx17::test
