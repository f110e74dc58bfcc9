#include "main_window.h"
#include "protocol.h"
#include "single_instance.h"

#include <QApplication>
#include <QIcon>

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
            std::fputs("KAVELTOR Companion laeuft bereits, antwortet aber nicht.\n", stderr);
        return 0;
    }

    MainWindow window;
    QObject::connect(&instance, &SingleInstance::presentRequested, &window, &MainWindow::present);
    window.showAtStart();
    return app.exec();
}
