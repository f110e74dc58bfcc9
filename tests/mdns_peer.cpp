// The network service as a stand-alone process for the interoperability
// tests: prints every deviceFound and log line on stdout, one per line, and
// ends when stdin is closed.
#include "network_service.h"
#include "private_network_guard.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    NetworkService service;
    auto print = [](const char *kind, const QByteArray &text) {
        std::printf("%s %s\n", kind, text.constData());
        std::fflush(stdout);
    };
    QObject::connect(&service, &NetworkService::deviceFound, &app, [&](const RemoteDevice &d) {
        const QJsonObject o{{"name", d.name}, {"host", d.host}, {"ip", d.ip},
                            {"port", d.port}, {"id", d.id},     {"lastSeen", double(d.lastSeen)}};
        print("device", QJsonDocument(o).toJson(QJsonDocument::Compact));
    });
    QObject::connect(&service, &NetworkService::logMessage, &app,
                     [&](const QString &line) { print("log", line.toUtf8()); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    service.start();
    return app.exec();
}
