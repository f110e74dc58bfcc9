// What the device list shows and which device each row stands for: the
// registry, the rows rendered from it, the user's selection across rebuilds
// and the identity lookups under way. Widget-free; the window copies rows()
// into its list widget and tells it what the user selected.
#pragma once

#include "device_registry.h"

#include <QHash>
#include <QStringList>

#include <optional>

class DeviceRows
{
public:
    // A lookup that has not answered by then may be started again.
    static constexpr qint64 kIdentityExpiryMs = 8000;

    DeviceRegistry &registry() { return devices; }
    const DeviceRegistry &registry() const { return devices; }

    // One text per entry, in registry order: "<name> • <state>".
    QStringList rows() const;
    // The row the user's device is in after the registry changed, or -1
    // when it left the list (the selection is then forgotten).
    int rowOfSelection();
    // The user selected row (-1: nothing).
    void select(int row);
    // The registry index row stands for, or -1.
    int deviceAt(int row) const;

    // Whether a sighting should be asked for its identity now: it has an
    // address, and no lookup of that address is under way. Counts it as
    // under way from nowMs on.
    bool startIdentityLookup(const RemoteDevice &found, qint64 nowMs);
    // The lookup of that address answered.
    void endIdentityLookup(const RemoteDevice &resolved) { pending.remove(addressKey(resolved)); }

private:
    static QString addressKey(const RemoteDevice &d) { return registry::addressText(d.ip, d.port); }

    DeviceRegistry devices;
    // Rows are rebuilt on every discovery report; the device, not the row,
    // is what the user selected.
    std::optional<RemoteDevice> anchor;
    QHash<QString, qint64> pending; // address key → start of its lookup
};
