// Whom the server accepts: the device ids of the paired phones and the
// secrets they issued. The window keeps it current with its paired list, and
// connection threads ask it on every request without opening the settings.
#pragma once

#include "remote_device.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

class PairedCredentials
{
public:
    // Takes the paired entries of devices in place of the old ones, for the
    // very next question: an unpaired phone is refused from then on.
    void replace(const QList<RemoteDevice> &devices);

    // Whether id is paired with secret. A phone paired again may be stored
    // twice with different secrets; each of them counts. Secrets are
    // compared in time that depends only on their lengths, so that a peer
    // cannot find one byte by byte from answer times.
    bool accepts(const QString &id, const QString &secret) const;

private:
    mutable std::mutex m_mutex;
    QHash<QString, QStringList> m_secrets; // device id -> its secrets
};
