// Rules of the window's device registry, as pure functions over the list so
// that they can be tested without a window.
#pragma once

#include "remote_device.h"

#include <QList>

namespace registry {

// Index of the first entry that record denotes: same non-empty id, or same
// ip and port. -1 when none does.
qsizetype findSameDevice(const QList<RemoteDevice> &devices, const RemoteDevice &record);

// An identity answer updates the entry it denotes (keeping its secret and
// flags) or is appended as it is.
void applyResolvedIdentity(QList<RemoteDevice> &devices, const RemoteDevice &resolved);

// A completed pairing replaces the entry it denotes, or is appended, marked
// paired and seen at nowMs. Never adds a second entry for the same device.
void applyPairedDevice(QList<RemoteDevice> &devices, const RemoteDevice &paired, qint64 nowMs);

// Removes every entry whose id equals deviceId exactly; returns how many.
qsizetype removeDevicesWithId(QList<RemoteDevice> &devices, const QString &deviceId);

} // namespace registry
