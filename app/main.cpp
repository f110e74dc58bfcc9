#include "main_window.h"
#include "protocol.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/KAVELTORCompanion.ico")));
    QApplication::setOrganizationName(QString::fromLatin1(protocol::kOrganization));
    QApplication::setApplicationName(QString::fromLatin1(protocol::kAppName));
    QApplication::setApplicationVersion(QString::fromLatin1(protocol::kAppVersion));
    QApplication::setQuitOnLastWindowClosed(false);

    MainWindow window;
    window.showAtStart();
    return app.exec();
}
