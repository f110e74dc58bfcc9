#include "main_window.h"
#include "protocol.h"
#include "quit_signals.h"
#include "single_instance.h"

#include <QApplication>
#include <QIcon>
#include <QMetaObject>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/KAVELTORCompanion.ico")));
    QApplication::setOrganizationName(QString::fromLatin1(protocol::kOrganization));
    QApplication::setApplicationName(QString::fromLatin1(protocol::kAppName));
    QApplication::setApplicationVersion(QString::fromLatin1(protocol::kAppVersion));
    QApplication::setQuitOnLastWindowClosed(false);

    // Decided before the window exists, so that a second copy never opens a
    // network socket: it asks the first to show itself and ends.
    SingleInstance instance;
    if (!instance.claim()) {
        if (!instance.handOver())
            std::fputs("KAVELTOR Companion läuft bereits, antwortet aber nicht.\n", stderr);
        return 0;
    }
    QuitSignals quitSignals;

    MainWindow window;
    QObject::connect(&instance, &SingleInstance::presentRequested, &window, &MainWindow::present);
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &window, &MainWindow::quitApp);
    // The session manager gets its answer first; the end follows on the loop.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window] {
        QMetaObject::invokeMethod(&window, &MainWindow::quitApp, Qt::QueuedConnection);
    });
    window.showAtStart();
    return app.exec();
}
