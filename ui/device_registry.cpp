#include "device_registry.h"

namespace registry {

bool sameDevice(const RemoteDevice &entry, const RemoteDevice &record, bool byName)
{
    return (!record.id.isEmpty() && entry.id == record.id) ||
           (entry.ip == record.ip && entry.port == record.port) ||
           (byName && !entry.name.isEmpty() && entry.name == record.name);
}

qsizetype findSameDevice(const QList<RemoteDevice> &devices, const RemoteDevice &record, bool byName)
{
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if (sameDevice(devices.at(i), record, byName))
            return i;
    }
    return -1;
}

void applyDiscovered(QList<RemoteDevice> &devices, const RemoteDevice &found, qint64 nowMs)
{
    const qsizetype i = findSameDevice(devices, found, true);
    if (i < 0) {
        devices.append(found);
        devices.last().lastSeen = nowMs;
        return;
    }
    RemoteDevice &entry = devices[i];
    entry.name = found.name;
    entry.host = found.host;
    entry.ip = found.ip;
    entry.port = found.port;
    entry.lastSeen = nowMs;
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
