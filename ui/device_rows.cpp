#include "device_rows.h"

QStringList DeviceRows::rows() const
{
    QStringList out;
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const RemoteDevice &d = devices.at(i);
        const QString state = !d.paired              ? QStringLiteral("Nicht gepaired")
                              : !devices.isOnline(i) ? QStringLiteral("Offline")
                                                     : QStringLiteral("Online");
        out.append(d.name + QStringLiteral(" \u2022 ") + state);
    }
    return out;
}

int DeviceRows::rowOfSelection()
{
    if (!anchor)
        return -1;
    const qsizetype index = registry::findSameDevice(devices.list(), *anchor);
    if (index < 0) {
        anchor.reset();
        return -1;
    }
    anchor = devices.at(index);
    return int(index);
}

void DeviceRows::select(int row)
{
    if (deviceAt(row) >= 0)
        anchor = devices.at(row);
    else
        anchor.reset();
}

int DeviceRows::deviceAt(int row) const
{
    // Each entry is one row, in order.
    return row >= 0 && row < devices.size() ? row : -1;
}

bool DeviceRows::startIdentityLookup(const RemoteDevice &found, qint64 nowMs)
{
    if (!found.id.isEmpty() || found.ip.isEmpty() || found.port <= 0)
        return false;
    // Expired lookups go, so that strangers cannot grow the table.
    pending.removeIf([nowMs](const auto &it) { return nowMs - it.value() >= kIdentityExpiryMs; });
    const QString key = addressKey(found);
    if (pending.contains(key))
        return false;
    pending.insert(key, nowMs);
    return true;
}
