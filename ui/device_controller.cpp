#include "device_controller.h"

#include "settings_store.h"

#include <QDebug>
#include <QTimer>

DeviceController::DeviceController(Outlets outlets, QObject *parent)
    : QObject(parent), outlets(std::move(outlets)), pruneTimer(new QTimer(this))
{
    connect(pruneTimer, &QTimer::timeout, this, &DeviceController::prune);
    pruneTimer->start(kPruneIntervalMs);
}

void DeviceController::load()
{
    devices().replace(readPairedDevices());
    emit pairedChanged(devices().list());
    emit changed();
}

void DeviceController::save()
{
    writePairedDevices(devices().list());
    emit pairedChanged(devices().list());
}

void DeviceController::onDeviceFound(const RemoteDevice &device)
{
    if (rows.startIdentityLookup(device, outlets.now()))
        outlets.resolveIdentity(device);
    devices().applyDiscovered(device, outlets.now());
    emit changed();
}

void DeviceController::onDeviceGone(const RemoteDevice &device)
{
    if (devices().applyGone(device.ip, device.port))
        emit changed();
}

void DeviceController::onIdentityResolved(const RemoteDevice &device)
{
    rows.endIdentityLookup(device);
    const QString address = registry::addressText(device.ip, device.port);
    switch (devices().applyResolvedIdentity(device, outlets.now())) {
    case DeviceRegistry::Outcome::ClaimIgnored:
        emit logLine(
            QStringLiteral("Ein anderes Gerät unter %1 gibt sich als %2 aus; es wird nicht beachtet.")
                .arg(address, device.name));
        break;
    case DeviceRegistry::Outcome::MoveOffered:
        emit logLine(
            QStringLiteral("%1 meldet sich unter einer neuen Adresse: %2. Vor dem ersten Senden dorthin "
                           "wird gefragt.")
                .arg(device.name, address));
        break;
    case DeviceRegistry::Outcome::Merged:
        break;
    }
    emit changed();
}

void DeviceController::pair(const RemoteDevice &device, const QString &code)
{
    const QString line = QStringLiteral("Pairing gestartet mit: ") + device.name;
    emit logLine(line);
    qDebug().noquote() << line;
    outlets.pairDevice(device, code);
}

void DeviceController::onPairingSucceeded(const RemoteDevice &device)
{
    const QString line = QStringLiteral("Pairing erfolgreich: ") + device.name;
    emit logLine(line);
    qDebug().noquote() << line;
    devices().applyPaired(device, outlets.now());
    save();
    emit changed();
    emit pairingOutcome(line);
}

void DeviceController::onPairingFailed(const QString &reason)
{
    const QString line = QStringLiteral("Pairing fehlgeschlagen: ") + reason;
    emit logLine(line);
    qDebug().noquote() << line;
    emit pairingOutcome(line);
}

void DeviceController::unpair(const QString &deviceId)
{
    devices().removeWithId(deviceId);
    save();
    emit changed();
    emit logLine(QStringLiteral("Geraet entkoppelt."));
}

void DeviceController::onPeerAuthenticated(const QString &deviceId, const QString &ip)
{
    // Proof of where the phone is; a move it proved is kept at once.
    if (devices().applyAuthenticated(deviceId, ip, outlets.now()))
        save();
    emit changed();
}

void DeviceController::onPhoneAnswered(const QString &ip, int port)
{
    devices().markSeen(ip, port, outlets.now());
    emit changed();
}

void DeviceController::prune()
{
    if (devices().prune(outlets.now()))
        emit changed();
}

std::optional<RemoteDevice> DeviceController::deviceForSend(int index)
{
    const DeviceRegistry::SendTarget target = devices().sendTarget(index);
    if (!target.needsConfirmation)
        return target.device;
    const QString question =
        QStringLiteral("%1 meldet sich unter einer neuen Adresse: %2 \u2192 %3. Trotzdem senden?")
            .arg(target.device.name, target.from, target.to);
    if (!outlets.confirm(question)) {
        emit logLine(QStringLiteral("Nicht gesendet: %1 unter %2 nicht bestätigt.")
                         .arg(target.device.name, target.to));
        return std::nullopt;
    }
    devices().acceptMove(target.device.id);
    save();
    emit changed();
    return target.device;
}
