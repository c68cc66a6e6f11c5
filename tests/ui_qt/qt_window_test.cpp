// The window as Qt builds it: every control where the layout puts it, in the
// right parent and font, its texts fitting, the window's frame, its initial
// state and the tab order. Run at scale 1 and again at QT_SCALE_FACTOR=2.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <cmath>
#include <cstdlib>

#include "tests/ui_qt/qt_window_fixture.h"
#include "ui/form_layout.h"

namespace qx17::test {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

bool IsKind(const QWidget* widget, ControlKind kind) {
    switch (kind) {
        case ControlKind::GroupBox:
            return qobject_cast<const QGroupBox*>(widget) != nullptr;
        case ControlKind::Label:
            return qobject_cast<const QLabel*>(widget) != nullptr;
        case ControlKind::Edit:
            return qobject_cast<const QLineEdit*>(widget) != nullptr;
        case ControlKind::ComboBox:
            return qobject_cast<const QComboBox*>(widget) != nullptr;
        case ControlKind::CheckBox:
            return qobject_cast<const QCheckBox*>(widget) != nullptr;
        case ControlKind::Button:
            return qobject_cast<const QPushButton*>(widget) != nullptr;
        case ControlKind::StatusBar:
            return widget->metaObject() == &QWidget::staticMetaObject;
    }
    return false;
}

int TextWidth(const QWidget* widget, const QString& text) {
    return static_cast<int>(
        std::ceil(QFontMetricsF(widget->font(), widget).horizontalAdvance(text)));
}

using QtLayout = QtWindowTest;

TEST_F(QtLayout, EveryControlSitsAtItsRectInItsParentWithItsFontAndName) {
    for (const ControlSpec& spec : Form1Layout()) {
        SCOPED_TRACE(spec.name);
        QWidget* widget = ui.Widget(spec.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(IsKind(widget, spec.kind));
        QWidget* parent = spec.parent.empty() ? ui.Window() : ui.Widget(spec.parent);
        EXPECT_EQ(widget->parentWidget(), parent);
        const Rect& r = spec.rect;
        EXPECT_EQ(widget->geometry(), QRect(r.left, r.top, r.width, r.height));
        if (spec.kind != ControlKind::ComboBox) {  // on Linux a list's name is its item
            EXPECT_EQ(QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name),
                      QString::fromStdString(spec.accessible_name));
        }
        EXPECT_EQ(widget->isVisible(), spec.visible);

        const bool large = spec.font == FontStyle::Large || spec.font == FontStyle::LargeBold;
        const bool bold = spec.font == FontStyle::NormalBold || spec.font == FontStyle::LargeBold;
        EXPECT_EQ(widget->font().pixelSize(), large ? 13 : 11);
        EXPECT_EQ(widget->font().bold(), bold);
        EXPECT_EQ(widget->font().family().toStdString(), QtToolkit::FontFamily());

        if (spec.kind == ControlKind::Label) {
            const Qt::Alignment horizontal =
                spec.align == TextAlign::Center ? Qt::AlignHCenter : Qt::AlignLeft;
            EXPECT_EQ(static_cast<QLabel*>(widget)->alignment(), horizontal | Qt::AlignVCenter);
        }
        if (!spec.can_focus) {
            EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus);
        } else if (spec.tab_order >= 0) {
            EXPECT_TRUE(widget->focusPolicy() & Qt::TabFocus);
        }
    }
}

TEST_F(QtLayout, TheWindowHasAFixedClientAreaAndNoMaximiseButton) {
    QWidget* window = ui.Window();
    EXPECT_EQ(window->size(), QSize(kFormClientWidth, kFormClientHeight));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "resizable";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("QX17 Parameter Editor V1.00"));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);

    const QPoint centre = window->screen()->availableGeometry().center();
    EXPECT_LE(std::abs(window->geometry().center().x() - centre.x()), 1);
    EXPECT_LE(std::abs(window->geometry().center().y() - centre.y()), 1);
    EXPECT_EQ(window->palette().color(QPalette::Window), window->palette().color(QPalette::Button));
}

TEST_F(QtLayout, TheStatusBarHasTwoSunkenPanelsOfTheLayoutsWidths) {
    const QList<QLabel*> panels =
        W("StatusBar1")->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(panels.size(), 2);
    EXPECT_EQ(panels[0]->width(), 290);
    EXPECT_EQ(panels[1]->width(), 50);
    EXPECT_EQ(panels[1]->x(), panels[0]->geometry().right() + 1);
    for (const QLabel* panel : panels) {
        EXPECT_EQ(panel->frameShadow(), QFrame::Sunken);
        EXPECT_LE(panel->geometry().bottom(), W("StatusBar1")->height() - 1);
    }
    EXPECT_EQ(panels[0]->text(), QStringLiteral("20091112"));
    form->StatusBar1->SetPanelText(1, "\xE9t\xE9");
    EXPECT_EQ(panels[1]->text(), QStringLiteral(u"\u00E9t\u00E9")) << "Latin-1";
    EXPECT_EQ(form->StatusBar1->PanelText(1), "\xE9t\xE9");
    EXPECT_EQ(form->StatusBar1->PanelText(2), "");
}

TEST_F(QtLayout, ControlsStartInTheLayoutsState) {
    EXPECT_EQ(As<QComboBox>("ComboBox4")->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(As<QComboBox>("ComboBox4")->count(), 32);
    EXPECT_EQ(As<QComboBox>("SelTCP")->currentText(), QStringLiteral("TCP"));
    EXPECT_EQ(As<QComboBox>("ComboBox1")->currentText(), QStringLiteral("Disable"));
    EXPECT_EQ(As<QLineEdit>("IN_APN")->text(), QStringLiteral("CMNET"));
    EXPECT_EQ(As<QLineEdit>("IN_PW")->text(), QStringLiteral("3794"));
    EXPECT_EQ(As<QPushButton>("BitBtn1")->text(), QStringLiteral("Start"));
    EXPECT_FALSE(As<QCheckBox>("CheckBox1")->isChecked());
    EXPECT_FALSE(As<QCheckBox>("SelGPRS")->isChecked());
    EXPECT_EQ(As<QGroupBox>("GroupBox3")->title(), QStringLiteral("  SMS  Tracking"));
    EXPECT_EQ(form->IN_ID->Text(), "");
    EXPECT_EQ(form->ComboBox4->ItemText(), "COM1");

    for (const ControlSpec& spec : Form1Layout()) {
        if (spec.kind != ControlKind::ComboBox) {
            continue;
        }
        SCOPED_TRACE(spec.name);
        auto* combo = As<QComboBox>(spec.name);
        EXPECT_FALSE(combo->isEditable());
        EXPECT_EQ(combo->maxVisibleItems(), spec.drop_down_count);
        // The style drops the list down as a list, which honours the count.
        QStyleOptionComboBox option;
        option.initFrom(combo);
        EXPECT_EQ(combo->style()->styleHint(QStyle::SH_ComboBox_Popup, &option, combo), 0);
    }
    EXPECT_THAT(settings.calls, ElementsAre("load", "image"));
}

TEST_F(QtLayout, TheHiddenDnsFieldIsNeverShownNorFocusable) {
    QWidget* dns = W("IN_DNS");
    EXPECT_TRUE(dns->isHidden());
    EXPECT_EQ(dns->focusPolicy(), Qt::NoFocus);
    dns->setFocus();  // even asked directly, Qt gives no focus to a hidden widget
    EXPECT_NE(QApplication::focusWidget(), dns);
}

// The texts of labels, buttons, check boxes and lists fit where they are drawn.
TEST_F(QtLayout, EveryTextFitsItsControl) {
    for (const ControlSpec& spec : Form1Layout()) {
        SCOPED_TRACE(spec.name);
        QWidget* widget = ui.Widget(spec.name);
        const int height =
            static_cast<int>(std::ceil(QFontMetricsF(widget->font(), widget).height()));
        switch (spec.kind) {
            case ControlKind::Label: {
                const QString text = static_cast<QLabel*>(widget)->text();
                EXPECT_LE(TextWidth(widget, text), spec.rect.width) << text.toStdString();
                EXPECT_LE(height, spec.rect.height);
                break;
            }
            case ControlKind::Button:
            case ControlKind::CheckBox: {
                auto* button = static_cast<QAbstractButton*>(widget);
                QStyleOptionButton option;
                option.initFrom(button);
                option.text = button->text();
                const QStyle::SubElement contents = spec.kind == ControlKind::Button
                                                        ? QStyle::SE_PushButtonContents
                                                        : QStyle::SE_CheckBoxContents;
                const QRect room = button->style()->subElementRect(contents, &option, button);
                EXPECT_LE(TextWidth(button, button->text()), room.width());
                EXPECT_LE(height, room.height());
                break;
            }
            case ControlKind::ComboBox: {
                auto* combo = static_cast<QComboBox*>(widget);
                QStyleOptionComboBox option;
                option.initFrom(combo);
                const QRect room = combo->style()->subControlRect(
                    QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
                for (int i = 0; i < combo->count(); ++i) {
                    EXPECT_LE(TextWidth(combo, combo->itemText(i)), room.width())
                        << combo->itemText(i).toStdString();
                }
                break;
            }
            default:
                break;
        }
    }
}

// At QT_SCALE_FACTOR=2 the same tests run with Qt drawing every logical pixel
// as two; this one makes sure the scale really applied.
TEST_F(QtLayout, RunsAtTheScaleFactorAsked) {
    const char* factor = std::getenv("QT_SCALE_FACTOR");
    const double expected = factor != nullptr ? std::atof(factor) : 1.0;
    EXPECT_DOUBLE_EQ(ui.Window()->devicePixelRatioF(), expected);
}

// The tab key visits the layout's tab sequence in order and wraps round;
// every field it crosses is exited and the next one entered, in turn.
TEST_F(QtLayout, TabVisitsTheTabSequenceAndRaisesExitThenEnter) {
    const std::vector<std::string> sequence = TabSequence(Form1Layout());
    for (const ControlSpec& spec : Form1Layout()) {
        if (spec.kind == ControlKind::Edit) {
            RecordFocus(spec.name);
        }
    }
    std::vector<std::string> visited;
    std::vector<std::string> expected_events;
    auto is_edit = [](const std::string& name) {
        return Form1Spec(name).kind == ControlKind::Edit;
    };
    for (std::size_t i = 1; i <= sequence.size(); ++i) {
        const std::string& from = sequence[i - 1];
        const std::string& to = sequence[i % sequence.size()];
        if (is_edit(from)) {
            expected_events.push_back("exit " + from + " '" + form->Find(from).Text() + "'");
        }
        if (is_edit(to)) {
            expected_events.push_back("enter " + to);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.push_back(FocusedName());
    }
    std::vector<std::string> expected(sequence.begin() + 1, sequence.end());
    expected.push_back(sequence.front());
    EXPECT_EQ(visited, expected);
    EXPECT_EQ(events, expected_events);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(FocusedName(), sequence.back());
}

}  // namespace
}  // namespace qx17::test
