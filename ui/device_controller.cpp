#include "device_controller.h"

#include "connection_check.h"
#include "manual_devices.h"
#include "settings_dialog.h"
#include "settings_store.h"

#include <QDebug>
#include <QTimer>

DeviceController::DeviceController(Outlets outlets, QObject *parent)
    : QObject(parent), outlets(std::move(outlets)), pruneTimer(new QTimer(this)),
      manualDevices(new ManualDevices(this))
{
    connect(pruneTimer, &QTimer::timeout, this, &DeviceController::prune);
    pruneTimer->start(kPruneIntervalMs);
    manualDevices->now = [this] { return this->outlets.now(); };
    // A phone answering at the address the user gave counts as a discovered
    // phone whose identity answered: one row, however it was found.
    connect(manualDevices, &ManualDevices::answered, this, &DeviceController::onIdentityResolved);
    connect(manualDevices, &ManualDevices::silent, this, [this](const QString &ip, int port) {
        if (devices().markSilent(ip, port))
            emit changed();
    });
    connect(manualDevices, &ManualDevices::listChanged, this, &DeviceController::onManualListChanged);
    connect(manualDevices, &ManualDevices::logLine, this, &DeviceController::logLine);
}

void DeviceController::load()
{
    devices().replace(readPairedDevices());
    emit pairedChanged(devices().list());
    manualDevices->start();
    emit changed();
}

void DeviceController::onManualListChanged()
{
    devices().setKept(manualDevices->addresses());
    // Remembered phones are listed from the start, offline until they answer.
    for (const RemoteDevice &d : manualDevices->placeholders()) {
        if (registry::findSameDevice(devices().list(), d) < 0)
            devices().applyResolvedIdentity(d, 0);
    }
    emit changed();
}

std::function<void()> DeviceController::removal(int index)
{
    if (index < 0 || index >= devices().size() || !manualDevices->contains(devices().at(index)))
        return {};
    return [this, device = devices().at(index)] { removeManual(device); };
}

void DeviceController::removeManual(const RemoteDevice &device)
{
    if (!manualDevices->remove(device))
        return;
    // A paired phone stays paired; only its address is no longer asked.
    if (!device.paired)
        devices().applyGone(device.ip, device.port);
    onManualListChanged();
}

QList<connectionreport::Snapshot::Phone> DeviceController::reportPhones() const
{
    using Phone = connectionreport::Snapshot::Phone;
    const QList<ManualDevices::Status> manual = manualDevices->status();
    QList<Phone> out;
    for (const RemoteDevice &d : rows.registry().list()) {
        Phone p{d.name,
                registry::addressText(d.ip, d.port),
                d.lastSeen,
                false,
                d.id.isEmpty() ? Phone::Identity::Unknown : Phone::Identity::Answered,
                {}};
        if (manualDevices->contains(d)) {
            p.byAddress = true;
            for (const ManualDevices::Status &s : manual) {
                if (s.checked && (s.name == d.name || s.address == p.address)) {
                    p.identity = s.answered ? Phone::Identity::Answered : Phone::Identity::Failed;
                    p.failure = s.failure;
                }
            }
        }
        out.append(p);
    }
    return out;
}

void DeviceController::attach(SettingsDialog *dialog, NetworkService &network)
{
    connect(dialog, &SettingsDialog::pairRequested, this, &DeviceController::pair);
    connect(dialog, &SettingsDialog::unpairRequested, this, &DeviceController::unpair);
    connect(dialog, &SettingsDialog::addDeviceRequested, manualDevices, &ManualDevices::add);
    connect(manualDevices, &ManualDevices::addOutcome, dialog, &SettingsDialog::showAddOutcome);
    auto *check = new ConnectionCheck(network, dialog);
    connect(check, &ConnectionCheck::finished, dialog, &SettingsDialog::showConnectionReport);
    connect(dialog, &SettingsDialog::connectionCheckRequested, check,
            [this, check] { check->run(reportPhones()); });
    // After the sheet is drawn: the check reads files and may ask the system bus.
    QTimer::singleShot(0, check, [this, check] { check->run(reportPhones()); });
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
