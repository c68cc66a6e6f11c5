#include "ui/qt_toolkit.h"

#include "params/ansi_text.h"

#include <qdrawutil.h>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "serial/tcomm.h"

namespace qx17 {

namespace {

QString FromAnsi(const std::string& text) {
    const std::string utf8 = AnsiToUtf8(text);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string ToAnsi(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToAnsi(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QRect ToQRect(const Rect& rect) {
    return QRect(rect.left, rect.top, rect.width, rect.height);
}

}  // namespace

namespace qt_detail {

// ---------------------------------------------------------------------------
// Controls. Each keeps its state in its Qt widget; the widget belongs to the
// window (or to its group box) and dies with it.

class QtControl : public Control {
  public:
    QtControl(const ControlSpec& spec, QWidget* widget) : Control(spec), widget_(widget) {}

    QWidget* widget() const { return widget_; }

  protected:
    void RaiseClick() { Raise(OnClick); }
    void RaiseChange() { Raise(OnChange); }

  private:
    QWidget* widget_;
};

namespace {

// A group box drawn the way the layout was drawn: the frame's top edge runs
// through the middle of the caption's line, the caption sits on it at the
// left, and the controls start right below. (Some styles put the caption
// above a frame that starts a line lower, where the layout has controls.)
class GroupBoxWidget final : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFontMetrics metrics(font(), this);
        // An etched line, as a sunken box one pixel wide draws it.
        const int top = metrics.height() / 2 - 1;
        qDrawShadeRect(&painter, QRect(0, top, width(), height() - top), palette(), true, 1, 0);
        const QString caption = title();
        if (!caption.isEmpty()) {
            const QRect place(kCaptionLeft, 0, metrics.horizontalAdvance(caption),
                              metrics.height());
            painter.fillRect(place, palette().color(QPalette::Window));
            style()->drawItemText(&painter, place, Qt::AlignLeft | Qt::AlignTop, palette(),
                                  isEnabled(), caption, QPalette::WindowText);
        }
    }

  private:
    static constexpr int kCaptionLeft = 8;
};

class GroupBoxControl final : public QtControl {
  public:
    GroupBoxControl(const ControlSpec& spec, QGroupBox* box) : QtControl(spec, box), box_(box) {
        box_->setTitle(FromAnsi(spec.text));
    }
    std::string Text() const override { return ToAnsi(box_->title()); }
    void SetText(const std::string& text) override { box_->setTitle(FromAnsi(text)); }

  private:
    QGroupBox* box_;
};

// The layout's labels are as wide as their text was in the window's own
// font. A fallback font may set a text a few pixels wider: such a label's
// font is condensed just enough for the text to fit, rather than clipped.
class LabelControl final : public QtControl {
  public:
    LabelControl(const ControlSpec& spec, QLabel* label)
        : QtControl(spec, label), label_(label), font_(label->font()) {
        label_->setTextFormat(Qt::PlainText);
        label_->setWordWrap(false);
        label_->setMargin(0);
        label_->setIndent(0);
        const Qt::Alignment horizontal =
            spec.align == TextAlign::Center ? Qt::AlignHCenter : Qt::AlignLeft;
        label_->setAlignment(horizontal | Qt::AlignVCenter);
        SetText(spec.text);
    }
    std::string Text() const override { return ToAnsi(label_->text()); }
    void SetText(const std::string& text) override {
        const QString shown = FromAnsi(text);
        label_->setFont(FittingFont(shown));
        label_->setText(shown);
    }

  private:
    static constexpr int kNarrowest = 80;  // per cent of the font's own width

    QFont FittingFont(const QString& text) const {
        QFont font = font_;
        const int room = label_->width();
        for (int stretch = 100; stretch >= kNarrowest; --stretch) {
            font.setStretch(stretch);
            if (QFontMetricsF(font, label_).horizontalAdvance(text) <= room) {
                return font;
            }
        }
        return font;
    }

    QLabel* label_;
    const QFont font_;
};

class EditControl final : public QtControl {
  public:
    EditControl(const ControlSpec& spec, QLineEdit* edit) : QtControl(spec, edit), edit_(edit) {
        edit_->setText(FromAnsi(spec.text));
    }
    std::string Text() const override { return ToAnsi(edit_->text()); }
    void SetText(const std::string& text) override { edit_->setText(FromAnsi(text)); }

  private:
    QLineEdit* edit_;
};

// The application's style, except that a drop-down list drops down as a plain
// list of its visible count. (A style sheet would do the same at several
// milliseconds of start-up for the three lists.)
class PlainListComboStyle final : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_ComboBox_Popup) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

QStyle* PlainListStyle() {
    // Created once for the run; a style given to a widget is not owned by it.
    static QStyle* const style = new PlainListComboStyle;
    return style;
}

class ComboBoxControl final : public QtControl {
  public:
    ComboBoxControl(const ControlSpec& spec, QComboBox* combo)
        : QtControl(spec, combo), combo_(combo) {
        combo_->setEditable(false);
        combo_->setMaxVisibleItems(spec.drop_down_count);
        // Styles that drop a pick-only list down as a menu show every item
        // and ignore the visible count; this style asks for the plain list.
        combo_->setStyle(PlainListStyle());
        for (const std::string& item : spec.items) {
            combo_->addItem(FromAnsi(item));
        }
        SetItemIndex(spec.item_index);
        // Only a user's pick: `activated` is not emitted for setCurrentIndex.
        QObject::connect(combo_, &QComboBox::activated, combo_, [this](int) { RaiseChange(); });
    }
    std::string Text() const override { return ToAnsi(combo_->currentText()); }
    // A pick-only list shows one of its items: setting the text chooses the
    // item of that text, or none.
    void SetText(const std::string& text) override {
        combo_->setCurrentIndex(combo_->findText(FromAnsi(text), Qt::MatchExactly));
    }
    int ItemIndex() const override { return combo_->currentIndex(); }
    void SetItemIndex(int index) override {
        combo_->setCurrentIndex(index >= 0 && index < combo_->count() ? index : -1);
    }

  private:
    QComboBox* combo_;
};

class CheckBoxControl final : public QtControl {
  public:
    CheckBoxControl(const ControlSpec& spec, QCheckBox* box) : QtControl(spec, box), box_(box) {
        box_->setText(FromAnsi(spec.text));
        box_->setChecked(spec.checked);
        // Every change of state, the program's as well as the user's.
        QObject::connect(box_, &QCheckBox::toggled, box_, [this](bool) { RaiseClick(); });
    }
    std::string Text() const override { return ToAnsi(box_->text()); }
    void SetText(const std::string& text) override { box_->setText(FromAnsi(text)); }
    bool Checked() const override { return box_->isChecked(); }
    void SetChecked(bool checked) override { box_->setChecked(checked); }

  private:
    QCheckBox* box_;
};

class ButtonControl final : public QtControl {
  public:
    ButtonControl(const ControlSpec& spec, QPushButton* button)
        : QtControl(spec, button), button_(button) {
        button_->setText(FromAnsi(spec.text));
        button_->setAutoDefault(false);
        QObject::connect(button_, &QPushButton::clicked, button_, [this] { RaiseClick(); });
    }
    std::string Text() const override { return ToAnsi(button_->text()); }
    void SetText(const std::string& text) override { button_->setText(FromAnsi(text)); }

  private:
    QPushButton* button_;
};

// A strip along the window's bottom edge with one sunken panel per width,
// side by side from the left; what lies to the right of the last is bare.
class StatusBarControl final : public QtControl {
  public:
    StatusBarControl(const ControlSpec& spec, QWidget* bar)
        : QtControl(spec, bar), text_(spec.text) {
        int left = 0;
        for (const int width : spec.panel_widths) {
            auto* panel = new QLabel(bar);
            panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            panel->setLineWidth(1);
            panel->setTextFormat(Qt::PlainText);
            panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            panel->setIndent(2);
            panel->setGeometry(left, 2, width, spec.rect.height - 2);
            // No accessible name of its own: a screen reader reads the
            // panel's text, and hears of each change of it.
            panels_.push_back(panel);
            left += width;
        }
    }
    std::string Text() const override { return text_; }
    void SetText(const std::string& text) override { text_ = text; }
    std::string PanelText(int panel) const override {
        return Valid(panel) ? ToAnsi(panels_[static_cast<std::size_t>(panel)]->text())
                            : std::string();
    }
    // The panel's accessible name is its text, so a screen reader hears of
    // each change (QLabel tells the accessibility layer).
    void SetPanelText(int panel, const std::string& text) override {
        if (Valid(panel)) {
            panels_[static_cast<std::size_t>(panel)]->setText(FromAnsi(text));
        }
    }

  private:
    bool Valid(int panel) const {
        return panel >= 0 && static_cast<std::size_t>(panel) < panels_.size();
    }
    std::string text_;
    std::vector<QLabel*> panels_;
};

}  // namespace

// The top-level window; closing it is the moment the focused field is left.
class FormWindow final : public QWidget {
  public:
    std::function<void()> on_close;

  protected:
    void closeEvent(QCloseEvent* event) override {
        if (on_close) {
            on_close();
        }
        QWidget::closeEvent(event);
    }
};

// The path from a serial component's threads to the main thread. The threads
// call the wakeup at any moment, also while the toolkit detaches or goes
// away, so `context` is read and cleared under the lock; `comm` is read and
// cleared on the main thread only.
struct NoticeLink {
    std::mutex mutex;
    QObject* context = nullptr;
    TComm* comm = nullptr;
};

}  // namespace qt_detail

using qt_detail::FormWindow;
using qt_detail::NoticeLink;

// ---------------------------------------------------------------------------
// Fonts

std::string QtToolkit::FontFamily() {
    static const std::string family = [] {
        // "MS Sans Serif" where it exists; otherwise a family with Arial's
        // metrics, a little wider: the two or three labels it would set
        // wider than their box are condensed to fit (LabelControl).
        static const char* const kCandidates[] = {
            "MS Sans Serif", "Liberation Sans", "Arial",         "Arimo",
            "Helvetica",     "Nimbus Sans",     "Nimbus Sans L", "FreeSans",
        };
        const QStringList installed = QFontDatabase::families();
        for (const char* candidate : kCandidates) {
            if (installed.contains(QString::fromLatin1(candidate), Qt::CaseInsensitive)) {
                return std::string(candidate);
            }
        }
        return ToAnsi(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    }();
    return family;
}

QFont QtToolkit::FontFor(FontStyle style) {
    QFont font(FromAnsi(FontFamily()));
    // Sizes in pixels, as the layout was drawn at 96 dots per inch: 8 point
    // is 11 pixels, 10 point 13. Qt scales logical pixels on dense screens.
    const bool large = style == FontStyle::Large || style == FontStyle::LargeBold;
    font.setPixelSize(large ? 13 : 11);
    font.setBold(style == FontStyle::NormalBold || style == FontStyle::LargeBold);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// ---------------------------------------------------------------------------
// The toolkit

QtToolkit::QtToolkit() : context_(std::make_unique<QObject>()) {
    if (QApplication::instance() == nullptr) {
        std::fprintf(stderr, "qx17eep: the Qt toolkit needs a QApplication\n");
        std::abort();
    }
    QObject::connect(qApp, &QApplication::focusChanged, context_.get(),
                     [this](QWidget*, QWidget* now) { OnFocusChanged(now); });
}

QtToolkit::~QtToolkit() {
    for (const auto& link : notice_links_) {
        std::lock_guard lock(link->mutex);
        link->context = nullptr;
        link->comm = nullptr;
    }
    // Stops the timers, drops the queued notice calls and the focus
    // connection before any widget goes.
    context_.reset();
    focus_.Forget();
    delete window_;
    window_ = nullptr;
    by_widget_.clear();
    by_name_.clear();
    controls_.clear();
}

void QtToolkit::CreateWindow(int client_width, int client_height) {
    window_ = new FormWindow;
    window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                            Qt::WindowCloseButtonHint);
    window_->setFixedSize(client_width, client_height);
    window_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);
    window_->setFont(FontFor(FontStyle::Normal));
    window_->on_close = [this] { OnWindowClosing(); };
}

void QtToolkit::SetCaption(const std::string& caption) {
    window_->setWindowTitle(FromAnsi(caption));
}

std::string QtToolkit::Caption() const {
    return window_ ? ToAnsi(window_->windowTitle()) : std::string();
}

Control& QtToolkit::CreateControl(const ControlSpec& spec) {
    QWidget* parent = window_;
    if (!spec.parent.empty()) {
        QWidget* box = Widget(spec.parent);
        if (box == nullptr) {
            std::fprintf(stderr, "qx17eep: control '%s' before its parent '%s'\n",
                         spec.name.c_str(), spec.parent.c_str());
            std::abort();
        }
        parent = box;
    }

    // The widget is placed and given its font before its control sets it
    // up, so that a label can fit its text to the room it has.
    const auto prepare = [&](auto* widget) {
        widget->setObjectName(FromAnsi(spec.name));
        // Unset, the accessible name is the caption as it now reads.
        if (spec.accessible_name != spec.text) {
            widget->setAccessibleName(FromAnsi(spec.accessible_name));
        }
        widget->setFont(FontFor(spec.font));
        widget->setGeometry(ToQRect(spec.rect));
        if (!spec.can_focus) {
            widget->setFocusPolicy(Qt::NoFocus);
        } else if (spec.tab_order < 0) {
            widget->setFocusPolicy(Qt::ClickFocus);
        }
        return widget;
    };
    std::unique_ptr<QtControl> control;
    switch (spec.kind) {
        case ControlKind::GroupBox:
            control = std::make_unique<qt_detail::GroupBoxControl>(
                spec, prepare(new qt_detail::GroupBoxWidget(parent)));
            break;
        case ControlKind::Label:
            control = std::make_unique<qt_detail::LabelControl>(spec, prepare(new QLabel(parent)));
            break;
        case ControlKind::Edit:
            control =
                std::make_unique<qt_detail::EditControl>(spec, prepare(new QLineEdit(parent)));
            break;
        case ControlKind::ComboBox:
            control =
                std::make_unique<qt_detail::ComboBoxControl>(spec, prepare(new QComboBox(parent)));
            break;
        case ControlKind::CheckBox:
            control =
                std::make_unique<qt_detail::CheckBoxControl>(spec, prepare(new QCheckBox(parent)));
            break;
        case ControlKind::Button:
            control =
                std::make_unique<qt_detail::ButtonControl>(spec, prepare(new QPushButton(parent)));
            break;
        case ControlKind::StatusBar:
            control =
                std::make_unique<qt_detail::StatusBarControl>(spec, prepare(new QWidget(parent)));
            break;
    }

    QWidget* widget = control->widget();
    if (!spec.visible) {
        widget->hide();
    } else if (parent->isVisible()) {
        widget->show();
    }

    layout_.push_back(spec);
    QtControl& ref = *control;
    by_name_[spec.name] = &ref;
    by_widget_[widget] = &ref;
    controls_.push_back(std::move(control));
    return ref;
}

// Qt's focus chain runs through every widget of the window in creation
// order; this threads the controls that take the focus by tab through it in
// the layout's order. Tab from the last one wraps round to the first.
void QtToolkit::ApplyTabOrder() {
    const std::vector<std::string> sequence = TabSequence(layout_);
    for (std::size_t i = 1; i < sequence.size(); ++i) {
        QWidget::setTabOrder(Widget(sequence[i - 1]), Widget(sequence[i]));
    }
}

void QtToolkit::StartTimer(int interval_ms, std::function<void()> tick) {
    auto* timer = new QTimer(context_.get());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(interval_ms);
    // Qt holds a timer back while its own handler runs, and a box's nested
    // loop runs inside that handler: a tick that opened a box would freeze
    // its timer until the box closed. The tick is posted instead, so the
    // timer's handler has returned before the tick (and any box) runs, and
    // the timer goes on ticking under every box.
    QObject* context = context_.get();
    QObject::connect(timer, &QTimer::timeout, context,
                     [context, tick = std::make_shared<std::function<void()>>(std::move(tick))] {
                         QMetaObject::invokeMethod(
                             context, [tick] { (*tick)(); }, Qt::QueuedConnection);
                     });
    timer->start();
}

QWidget* QtToolkit::BoxParent() const {
    return window_ != nullptr && window_->isVisible() ? window_ : nullptr;
}

BoxResult QtToolkit::MessageBox(const std::string& text, const std::string& caption,
                                BoxButtons buttons) {
    QMessageBox box(BoxParent());
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(FromAnsi(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(FromAnsi(text));
    if (buttons == BoxButtons::Ok) {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
    } else {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    }
    RunBox(box);
    if (buttons == BoxButtons::Ok) {
        return BoxResult::Ok;
    }
    return box.standardButton(box.clickedButton()) == QMessageBox::Yes ? BoxResult::Yes
                                                                       : BoxResult::No;
}

void QtToolkit::ShowError(const std::string& text, const std::string& caption) {
    QMessageBox box(BoxParent());
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(FromAnsi(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(FromAnsi(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    RunBox(box);
}

// Runs the box's own event loop, in which ticks and notices go on. When it
// closes, the window is made active again should nothing else have become
// active: window managers do that for a box's owner, but not every platform
// has one.
void QtToolkit::RunBox(QMessageBox& box) {
    box.exec();
    if (window_ != nullptr && window_->isVisible() && QApplication::activeWindow() == nullptr) {
        window_->activateWindow();
    }
}

void QtToolkit::AttachNotices(TComm& comm) {
    auto link = std::make_shared<NoticeLink>();
    link->context = context_.get();
    link->comm = &comm;
    notice_links_.push_back(link);
    // One queued call per notice, each delivering the oldest: Qt runs the
    // calls in posting order, in the main loop and in a box's nested loop.
    comm.SetNoticeWakeup([link] {
        std::lock_guard lock(link->mutex);
        if (link->context != nullptr) {
            QMetaObject::invokeMethod(
                link->context,
                [link] {
                    if (link->comm != nullptr) {
                        link->comm->DispatchOneNotice();
                    }
                },
                Qt::QueuedConnection);
        }
    });
}

void QtToolkit::DetachNotices(TComm& comm) {
    comm.SetNoticeWakeup({});
    for (auto it = notice_links_.begin(); it != notice_links_.end();) {
        if ((*it)->comm == &comm) {
            {
                std::lock_guard lock((*it)->mutex);
                (*it)->context = nullptr;
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

void QtToolkit::Show(const std::string& first_focus) {
    const QScreen* screen = window_->screen();
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen != nullptr) {
        window_->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window_->size(),
                                                 screen->availableGeometry()));
    }
    ApplyTabOrder();
    // Each label names the field beside it: screen readers on Linux take an
    // entry field's and a list's label from this relation.
    for (const ControlSpec& spec : layout_) {
        if (spec.kind != ControlKind::Edit && spec.kind != ControlKind::ComboBox) {
            continue;
        }
        if (const ControlSpec* label = LabelBeside(layout_, spec)) {
            if (auto* widget = qobject_cast<QLabel*>(Widget(label->name))) {
                widget->setBuddy(Widget(spec.name));
            }
        }
    }
    focus_.Forget();
    if (QWidget* first = Widget(first_focus)) {
        // Takes effect when the window becomes active.
        first->setFocus(Qt::OtherFocusReason);
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

QWidget* QtToolkit::Window() const {
    return window_;
}

QWidget* QtToolkit::Widget(const std::string& name) const {
    const auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : found->second->widget();
}

const Control* QtToolkit::Focused() const {
    return focus_.Focused();
}

QtToolkit::QtControl* QtToolkit::ControlOf(QWidget* widget) const {
    const auto found = by_widget_.find(widget);
    return found == by_widget_.end() ? nullptr : found->second;
}

// Qt reports every change of the application's focus widget: to and from
// other windows, popups, menus and modal boxes too. Only a move to another
// control of this window is a move the window logic sees.
void QtToolkit::OnFocusChanged(QWidget* now) {
    if (QtControl* next = ControlOf(now)) {
        focus_.MovedTo(*next);
    }
}

// The window's close button leaves the focused field: its exit runs, as the
// headless toolkit's CloseWindow does.
void QtToolkit::OnWindowClosing() {
    focus_.WindowClosing();
}

}  // namespace qx17
