#pragma once

#include <QMetaType>
#include <QString>

// One peer as this program knows it. A plain copyable value: it travels
// between threads in queued signals, so it holds no pointers.
struct RemoteDevice
{
    QString id;
    QString name;
    QString host;
    QString ip;
    int port = 0;
    bool paired = false;
    qint64 lastSeen = 0;
    QString sharedSecret;
};

Q_DECLARE_METATYPE(RemoteDevice)
