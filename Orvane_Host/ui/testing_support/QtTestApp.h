#pragma once

#include <QApplication>
#include <cstdlib>

namespace orvane {

// One application object for a test program, offscreen unless the environment names another
// platform (an X server for the desktop tests).
struct QtTestApp {
    static QApplication& ensure() {
        static int argc = 1;
        static char name[] = "orvane-ui-tests";
        static char* argv[] = {name, nullptr};
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The offscreen platform complains of every window's size hints.
        static const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                if (message.startsWith("This plugin does not support")) return;
                previous(type, context, message);
            });
        static QApplication* app = new QApplication(argc, argv);
        return *app;
    }
};

}  // namespace orvane
