#pragma once

#include "protocol.h"
#include "remote_device.h"

#include <QList>
#include <QSettings>
#include <QString>

// One use of the per-user settings store. Every reader and writer, on any
// thread, makes its own short-lived instance; dropping it makes the writes
// durable. Because the store holds the peers' shared secrets, the file is
// made readable and writable by its owner only whenever it is written, and
// the folders made for it are the owner's alone: nobody else may replace the
// file and plant a paired phone with a secret they know.
class SettingsStore
{
public:
    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    QSettings *operator->() { return &m_settings; }

private:
    QSettings m_settings;
};

namespace settingskeys {
inline constexpr const char *kPairedDevices = "PairedDevices";
inline constexpr const char *kDeviceId = "DeviceId";
inline constexpr const char *kReceiveFolder = "ReceiveFolder";
inline constexpr const char *kBackgroundPath = "BackgroundPath";
// Phones the user added by address, beside the paired list: each element
// "address" (as typed: IPv4 or host name), "port", and the "id" and "name"
// the phone last answered with.
inline constexpr const char *kManualDevices = "ManualDevices";
} // namespace settingskeys

// Makes folder and its missing parents for the owner alone (0700), whatever
// the umask: the program's own folders hold secrets, the history and the
// installer it runs. Folders that exist already are left as they are. True
// when folder is a folder afterwards.
bool makeOwnerOnlyFolders(const QString &folder);

// This computer's device id: a braceless lower-case UUID, made and stored
// on first use and the same on every later call, on any thread.
QString localDeviceId();

// More paired devices than anyone pairs; a damaged or planted file cannot
// make a read of the list take longer or more memory than this many.
inline constexpr int kMaxPairedDevices = 1000;

// The stored paired devices, in stored order, each marked paired with
// lastSeen 0. Duplicates are loaded as they are stored. Reading ends at the
// stored count, at the first element without an id, or after
// kMaxPairedDevices elements, whichever comes first: the count in the file
// is never trusted on its own.
QList<RemoteDevice> readPairedDevices();

// Rewrites the stored array from the paired entries of devices, in order.
// The old array is removed first so that no stale element (and no secret of
// an unpaired device) survives beyond the new count.
void writePairedDevices(const QList<RemoteDevice> &devices);

// A phone the user added by its address, as stored.
struct ManualDevice
{
    QString address; // IPv4 address or host name, as the user typed it
    int port = 0;
    QString id, name; // as last answered; empty before
    bool operator==(const ManualDevice &) const = default;
};
inline constexpr int kMaxManualDevices = 100;

// The stored manual phones, in order; elements without an address or with a
// port out of range are skipped, at most kMaxManualDevices are read.
QList<ManualDevice> readManualDevices();
void writeManualDevices(const QList<ManualDevice> &devices);
