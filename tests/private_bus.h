// A session bus of the test's own, without activatable services: nothing real
// starts, and only the stand-ins the test runs answer.
#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>

// Starts the bus in folder and points DBUS_SESSION_BUS_ADDRESS at it, before
// Qt connects. False when it did not come up.
inline bool startPrivateSessionBus(const QString &folder, QProcess &bus)
{
    QFile conf(QDir(folder).filePath(QStringLiteral("bus.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write("<busconfig><type>session</type><listen>unix:dir=" + folder.toUtf8() +
               "</listen><policy context='default'><allow send_destination='*'/><allow receive_sender='*'/>"
               "<allow own='*'/></policy></busconfig>");
    conf.close();
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                                              "--config-file=" + conf.fileName()});
    if (!bus.waitForReadyRead(5000))
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
    return true;
}
