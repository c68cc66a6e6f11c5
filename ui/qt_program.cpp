#include "ui/qt_program.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <utility>

#include "ui/error_box.h"
#include "ui/qt_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {

namespace {

// Waits for the window's first expose, when Qt has drawn it, and then runs
// `shown` once from the event loop.
class FirstExposeWatch final : public QObject {
  public:
    explicit FirstExposeWatch(std::function<void()> shown) : shown_(std::move(shown)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && shown_) {
            const auto* window = qobject_cast<QWindow*>(watched);
            if (window != nullptr && window->isExposed()) {
                QTimer::singleShot(0, this, std::exchange(shown_, {}));
            }
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> shown_;
};

}  // namespace

int RunQtProgram(int argc, char** argv, FormSettings& settings, const ProgramHooks& hooks) {
    QApplication app(argc, argv);
    // Qt took its own options out of argv; what is left, it did not know either.
    if (const QStringList left = QCoreApplication::arguments(); left.size() > 1) {
        std::fprintf(stderr, "qx17eep: unknown option '%s'. Try 'qx17eep --help'.\n",
                     left[1].toLocal8Bit().constData());
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("qx17eep"));
    QGuiApplication::setDesktopFileName(QStringLiteral("qx17eep"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("qx17eep")));

    QtToolkit toolkit;
    TForm1 form(toolkit, settings, ApplicationTitle(argc > 0 ? argv[0] : "qx17eep"));

    FirstExposeWatch watch([&form, &hooks] {
        if (hooks.on_shown) {
            hooks.on_shown(form);
        }
    });
    QWidget* window = toolkit.Window();
    window->winId();  // creates the native window, so its events can be watched
    window->windowHandle()->installEventFilter(&watch);

    form.Show();
    const int code = QApplication::exec();
    window->windowHandle()->removeEventFilter(&watch);
    return code;
}

}  // namespace qx17
