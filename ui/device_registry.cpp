#include "device_registry.h"

namespace registry {

qsizetype findSameDevice(const QList<RemoteDevice> &devices, const RemoteDevice &record)
{
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const RemoteDevice &entry = devices.at(i);
        if (!record.id.isEmpty() && entry.id == record.id)
            return i;
        if (entry.ip == record.ip && entry.port == record.port)
            return i;
    }
    return -1;
}

void applyResolvedIdentity(QList<RemoteDevice> &devices, const RemoteDevice &resolved)
{
    const qsizetype i = findSameDevice(devices, resolved);
    if (i < 0) {
        devices.append(resolved);
        return;
    }
    RemoteDevice &entry = devices[i];
    entry.id = resolved.id;
    entry.ip = resolved.ip;
    entry.host = resolved.host;
    entry.port = resolved.port;
    entry.name = resolved.name;
    entry.lastSeen = resolved.lastSeen;
}

void applyPairedDevice(QList<RemoteDevice> &devices, const RemoteDevice &paired, qint64 nowMs)
{
    RemoteDevice record = paired;
    record.paired = true;
    record.lastSeen = nowMs;
    const qsizetype i = findSameDevice(devices, paired);
    if (i < 0)
        devices.append(record);
    else
        devices[i] = record;
}

qsizetype removeDevicesWithId(QList<RemoteDevice> &devices, const QString &deviceId)
{
    return devices.removeIf([&](const RemoteDevice &d) { return d.id == deviceId; });
}

} // namespace registry
