// One QApplication for the whole test program, on Qt's offscreen platform;
// `-platform xcb` on the command line shows the tests on a display instead.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

namespace {

// The offscreen platform says so each time a window asks for what it does
// not do (raising, grabbing the keyboard); everything else is printed.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support"))) {
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    qInstallMessageHandler(QuietMessages);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
