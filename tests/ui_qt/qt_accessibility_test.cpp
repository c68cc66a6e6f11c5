// What a screen reader gets from the window through Qt's accessibility
// interfaces: every control's name and value as the window shows them, also
// after Start/Close and a new status text, and each status change announced.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QTest>
#include <algorithm>

// Qt's platform layer, to switch the accessibility layer on as a screen
// reader does: without it Qt sends no change events at all.
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include "tests/ui_qt/qt_window_fixture.h"
#include "ui/form_layout.h"

namespace qx17::test {
namespace {

std::string Read(QWidget* widget, QAccessible::Text part) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face != nullptr ? face->text(part).toStdString() : "<no interface>";
}
std::string Name(QWidget* widget) {
    return Read(widget, QAccessible::Name);
}
std::string Value(QWidget* widget) {
    return Read(widget, QAccessible::Value);
}

// The status bar's panels, left to right.
std::vector<QLabel*> Panels(QWidget* bar) {
    std::vector<QLabel*> panels;
    for (QLabel* label : bar->findChildren<QLabel*>()) {
        panels.push_back(label);
    }
    std::sort(panels.begin(), panels.end(), [](QLabel* a, QLabel* b) { return a->x() < b->x(); });
    return panels;
}

// Every update the accessibility layer is given, while the object lives.
class Updates {
  public:
    Updates() {
        current_ = this;
        QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
            if (current_ != nullptr) {
                current_->seen_.push_back({event->object(), event->type()});
            }
        });
    }
    ~Updates() {
        QAccessible::installUpdateHandler(nullptr);
        current_ = nullptr;
    }
    int Count(QObject* object, QAccessible::Event type) const {
        return static_cast<int>(std::count(seen_.begin(), seen_.end(),
                                           std::pair<QObject*, QAccessible::Event>{object, type}));
    }

  private:
    static inline Updates* current_ = nullptr;
    std::vector<std::pair<QObject*, QAccessible::Event>> seen_;
};

class QtAccessibility : public QtWindowTest {
  protected:
    void SetUp() override {
        platform_ = QGuiApplicationPrivate::platformIntegration()->accessibility();
        ASSERT_NE(platform_, nullptr);
        platform_->setActive(true);
        QtWindowTest::SetUp();
    }
    void TearDown() override {
        QtWindowTest::TearDown();
        platform_->setActive(false);
    }
    QPlatformAccessibility* platform_ = nullptr;
};

// The label a screen reader gives a field: Qt on Linux reports an entry
// field's and a list's label through the "labelled by" relation.
std::string LabelOf(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    const auto labels = face->relations(QAccessible::Label);
    return labels.empty() ? "" : labels.front().first->text(QAccessible::Name).toStdString();
}

TEST_F(QtAccessibility, EveryControlIsNamedAndValuedAsItIsDrawn) {
    form->IN_APN->SetText("internet");
    form->ComboBox1->SetItemIndex(1);
    for (const ControlSpec& spec : Form1Layout()) {
        if (!spec.visible || spec.kind == ControlKind::StatusBar) {
            continue;
        }
        SCOPED_TRACE(spec.name);
        QWidget* widget = W(spec.name);
        // Without a label beside it, Qt names the group box it sits in.
        const ControlSpec* label = LabelBeside(Form1Layout(), spec);
        switch (spec.kind) {
            case ControlKind::Edit:
                EXPECT_EQ(Name(widget), spec.accessible_name);
                EXPECT_EQ(Value(widget), form->Find(spec.name).Text());
                if (label != nullptr) {
                    EXPECT_EQ(LabelOf(widget), label->text);
                }
                break;
            case ControlKind::ComboBox:
                EXPECT_EQ(Value(widget), form->Find(spec.name).ItemText());
                if (label != nullptr) {
                    EXPECT_EQ(LabelOf(widget), label->text);
                }
                break;
            default:  // its caption, or the group an "Apply" acts on
                EXPECT_EQ(Name(widget), spec.accessible_name);
                break;
        }
    }
    EXPECT_EQ(LabelOf(W("IN_GPRSTM")), "Interval");
    EXPECT_EQ(LabelOf(W("ComboBox1")), "Call For SMS");
    EXPECT_EQ(Value(W("ComboBox1")), "Normal");
    EXPECT_EQ(Name(W("Button3")), "Apply Password");

    QTest::mouseClick(W("BitBtn1"), Qt::LeftButton);
    ASSERT_TRUE(form->PortOpen);
    EXPECT_EQ(Name(W("BitBtn1")), "Close") << "the caption as it now reads";
    QTest::mouseClick(W("BitBtn1"), Qt::LeftButton);
    EXPECT_EQ(Name(W("BitBtn1")), "Start");
    form->IN_APN->SetText("other");
    EXPECT_EQ(Value(W("IN_APN")), "other");
    form->ComboBox1->SetItemIndex(-1);
    EXPECT_EQ(Value(W("ComboBox1")), "") << "nothing chosen";
}

TEST_F(QtAccessibility, AStatusPanelReadsAsItsTextAndEachChangeIsAnnounced) {
    const std::vector<QLabel*> panels = Panels(W("StatusBar1"));
    ASSERT_EQ(panels.size(), 2u);
    EXPECT_EQ(Name(panels[0]), form->StatusBar1->PanelText(0));
    EXPECT_EQ(Name(panels[0]), "20091112");

    Updates updates;
    form->StatusBar1->SetPanelText(0, "Start Update...");
    form->StatusBar1->SetPanelText(1, "3794");
    EXPECT_EQ(Name(panels[0]), "Start Update...");
    EXPECT_EQ(Name(panels[1]), "3794");
    EXPECT_EQ(updates.Count(panels[0], QAccessible::NameChanged), 1);
    EXPECT_EQ(updates.Count(panels[1], QAccessible::NameChanged), 1);
}

}  // namespace
}  // namespace qx17::test
