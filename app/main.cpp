#include "main_window.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/KAVELTORCompanion.ico")));
    QApplication::setOrganizationName(QStringLiteral("ZELTRAWORKS"));
    QApplication::setApplicationName(QStringLiteral("KAVELTOR Companion"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QApplication::setQuitOnLastWindowClosed(false);

    MainWindow window;
    window.hide();
    return app.exec();
}
