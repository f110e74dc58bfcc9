// Rules of the window's device registry, as pure functions over the list so
// that they can be tested without a window.
#pragma once

#include "remote_device.h"

#include <QList>

namespace registry {

// The one rule for "the same device": the same non-empty id, else the same
// ip and port, else (where a discovery sighting is matched, whose id is not
// known yet) the same non-empty name.
bool sameDevice(const RemoteDevice &entry, const RemoteDevice &record, bool byName = false);

// Index of the first entry that record denotes by that rule, -1 when none does.
qsizetype findSameDevice(const QList<RemoteDevice> &devices, const RemoteDevice &record, bool byName = false);

// A discovery sighting refreshes the name, host and address of the entry it
// denotes, or is appended; seen at nowMs either way.
void applyDiscovered(QList<RemoteDevice> &devices, const RemoteDevice &found, qint64 nowMs);

// An identity answer updates the entry it denotes (keeping its secret and
// flags) or is appended as it is.
void applyResolvedIdentity(QList<RemoteDevice> &devices, const RemoteDevice &resolved);

// A completed pairing replaces the entry it denotes, or is appended, marked
// paired and seen at nowMs. Never adds a second entry for the same device.
void applyPairedDevice(QList<RemoteDevice> &devices, const RemoteDevice &paired, qint64 nowMs);

// Removes every entry whose id equals deviceId exactly; returns how many.
qsizetype removeDevicesWithId(QList<RemoteDevice> &devices, const QString &deviceId);

} // namespace registry
