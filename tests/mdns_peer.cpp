// The discovery service as a process of its own for the interoperability
// test: prints every log line and every device found or gone ("device" or
// "gone name|host|port|ip") on stdout, and ends when stdin is closed.
#include "discovery_service.h"
#include "private_network_guard.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    DiscoveryService service;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // the test reads it line by line, as it comes
    auto print = [](const QString &line) { std::printf("%s\n", qUtf8Printable(line)); };
    QObject::connect(&service, &DiscoveryService::deviceFound, &app, [&](const RemoteDevice &d) {
        print(QStringLiteral("device %1|%2|%3|%4").arg(d.name, d.host).arg(d.port).arg(d.ip));
    });
    QObject::connect(&service, &DiscoveryService::deviceGone, &app, [&](const RemoteDevice &d) {
        print(QStringLiteral("gone %1|%2|%3|%4").arg(d.name, d.host).arg(d.port).arg(d.ip));
    });
    QObject::connect(&service, &DiscoveryService::logMessage, &app,
                     [&](const QString &line) { print("log " + line); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    service.start();
    return app.exec();
}
