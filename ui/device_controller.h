// The device list's flows: discovery reports, identity answers, pairing and
// unpairing, proof of a phone's address, expiry, and where a send goes. Owns
// the rows; the window draws them whenever changed() says so.
#pragma once

#include "connection_report.h"
#include "device_rows.h"

#include <QObject>

#include <functional>
#include <optional>

class ManualDevices;
class NetworkService;
class QTimer;
class SettingsDialog;

class DeviceController : public QObject
{
    Q_OBJECT

public:
    // How it reaches the rest of the program; called at the time of use.
    struct Outlets
    {
        std::function<qint64()> now;
        std::function<void(const RemoteDevice &)> resolveIdentity;
        // A yes-or-no question to the user.
        std::function<bool(const QString &question)> confirm;
        std::function<void(const RemoteDevice &, const QString &code)> pairDevice;
    };
    static constexpr int kPruneIntervalMs = 3000;

    DeviceController(Outlets outlets, QObject *parent);

    DeviceRows rows;
    DeviceRegistry &devices() { return rows.registry(); }

    // The stored paired phones, at start.
    void load();
    void onDeviceFound(const RemoteDevice &device);
    void onDeviceGone(const RemoteDevice &device);
    void onIdentityResolved(const RemoteDevice &device);
    // Pairing as the user asked for it in the sheet, and its two ends.
    void pair(const RemoteDevice &device, const QString &code);
    void onPairingSucceeded(const RemoteDevice &device);
    void onPairingFailed(const QString &reason);
    void unpair(const QString &deviceId);
    // A request with a paired phone's secret came from ip.
    void onPeerAuthenticated(const QString &deviceId, const QString &ip);
    // A file sent to ip:port was received there.
    void onPhoneAnswered(const QString &ip, int port);
    void prune();
    // Where a send to the entry at index goes; asks the user first when a
    // paired phone is silent where it proved itself and claims a new
    // address. Nothing when the user declines.
    std::optional<RemoteDevice> deviceForSend(int index);

    // Phones added by address.
    ManualDevices *manual() const { return manualDevices; }
    // What removes the entry at index from the phones added by address;
    // nothing when it is none of them.
    std::function<void()> removal(int index);
    // The phones as the connection report shows them.
    QList<connectionreport::Snapshot::Phone> reportPhones() const;
    // Wires an opened sheet's pairing, adding by address and connection
    // check; its report is made afresh now.
    void attach(SettingsDialog *dialog, NetworkService &network);

signals:
    // The rows changed: the list (and an open sheet) draw them afresh.
    void changed();
    void logLine(const QString &line);
    // How a pairing ended, for the user waiting in the sheet.
    void pairingOutcome(const QString &line);
    // The paired phones as stored now: the server's credentials follow them,
    // so that unpairing refuses the phone from its very next request.
    void pairedChanged(const QList<RemoteDevice> &devices);

private:
    void save();
    void onManualListChanged();
    void removeManual(const RemoteDevice &device);

    Outlets outlets;
    QTimer *pruneTimer;
    ManualDevices *manualDevices;
};
