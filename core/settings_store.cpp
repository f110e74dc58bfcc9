#include "settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <mutex>

namespace {
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kOwnerOnlyFolder = kOwnerOnly | QFileDevice::ExeOwner;

// QSettings replaces its file through a temporary file that keeps the old
// file's permissions, so creating it owner-only before the first write means
// the secrets are never readable by others, not even briefly.
void prepareOwnerOnlyFile(const QString &path)
{
    if (path.isEmpty() || QFileInfo::exists(path))
        return;
    makeOwnerOnlyFolders(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        file.setPermissions(kOwnerOnly);
}
} // namespace

bool makeOwnerOnlyFolders(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.isDir() || info.isRoot())
        return info.isDir();
    if (!makeOwnerOnlyFolders(info.absolutePath()))
        return false;
    if (!QDir().mkdir(folder, kOwnerOnlyFolder))
        return QFileInfo(folder).isDir(); // made by someone else meanwhile
    // The umask may have taken the owner's bits.
    return QFile::setPermissions(folder, kOwnerOnlyFolder);
}

SettingsStore::SettingsStore()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, QString::fromLatin1(protocol::kOrganization),
                 QString::fromLatin1(protocol::kAppName))
{
#ifndef Q_OS_WIN
    prepareOwnerOnlyFile(m_settings.fileName());
#endif
}

SettingsStore::~SettingsStore()
{
    m_settings.sync();
#ifndef Q_OS_WIN
    const QString path = m_settings.fileName();
    if (QFileInfo::exists(path) && QFile::permissions(path) != kOwnerOnly)
        QFile::setPermissions(path, kOwnerOnly);
#endif
}

QList<RemoteDevice> readPairedDevices()
{
    SettingsStore store;
    QList<RemoteDevice> devices;
    const int count =
        qMin(store->beginReadArray(QLatin1String(settingskeys::kPairedDevices)), kMaxPairedDevices);
    for (int i = 0; i < count; ++i) {
        store->setArrayIndex(i);
        if (!store->contains(QStringLiteral("id")))
            break;
        RemoteDevice device;
        device.id = store->value(QStringLiteral("id")).toString();
        device.name = store->value(QStringLiteral("name")).toString();
        device.host = store->value(QStringLiteral("host")).toString();
        device.ip = store->value(QStringLiteral("ip")).toString();
        device.port = store->value(QStringLiteral("port")).toInt();
        device.sharedSecret = store->value(QStringLiteral("sharedSecret")).toString();
        device.paired = true;
        devices.append(device);
    }
    store->endArray();
    return devices;
}

void writePairedDevices(const QList<RemoteDevice> &devices)
{
    SettingsStore store;
    store->remove(QLatin1String(settingskeys::kPairedDevices));
    store->beginWriteArray(QLatin1String(settingskeys::kPairedDevices));
    int n = 0;
    for (const RemoteDevice &device : devices) {
        if (!device.paired)
            continue;
        store->setArrayIndex(n++);
        store->setValue(QStringLiteral("id"), device.id);
        store->setValue(QStringLiteral("name"), device.name);
        store->setValue(QStringLiteral("host"), device.host);
        store->setValue(QStringLiteral("ip"), device.ip);
        store->setValue(QStringLiteral("port"), device.port);
        store->setValue(QStringLiteral("sharedSecret"), device.sharedSecret);
    }
    store->endArray();
}

QList<ManualDevice> readManualDevices()
{
    constexpr int kMaxPort = 0xffff;
    SettingsStore store;
    QList<ManualDevice> devices;
    const int count =
        qMin(store->beginReadArray(QLatin1String(settingskeys::kManualDevices)), kMaxManualDevices);
    for (int i = 0; i < count; ++i) {
        store->setArrayIndex(i);
        ManualDevice device;
        device.address = store->value(QStringLiteral("address")).toString();
        device.port = store->value(QStringLiteral("port")).toInt();
        device.id = store->value(QStringLiteral("id")).toString();
        device.name = store->value(QStringLiteral("name")).toString();
        if (!device.address.isEmpty() && device.port > 0 && device.port <= kMaxPort)
            devices.append(device);
    }
    store->endArray();
    return devices;
}

void writeManualDevices(const QList<ManualDevice> &devices)
{
    SettingsStore store;
    store->remove(QLatin1String(settingskeys::kManualDevices));
    store->beginWriteArray(QLatin1String(settingskeys::kManualDevices));
    for (int i = 0; i < devices.size() && i < kMaxManualDevices; ++i) {
        store->setArrayIndex(i);
        store->setValue(QStringLiteral("address"), devices.at(i).address);
        store->setValue(QStringLiteral("port"), devices.at(i).port);
        store->setValue(QStringLiteral("id"), devices.at(i).id);
        store->setValue(QStringLiteral("name"), devices.at(i).name);
    }
    store->endArray();
}

QString localDeviceId()
{
    // Two threads asking for the first time must not each invent an id.
    static std::mutex firstUse;
    std::lock_guard lock(firstUse);
    SettingsStore store;
    QString id = store->value(QLatin1String(settingskeys::kDeviceId)).toString();
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
        store->setValue(QLatin1String(settingskeys::kDeviceId), id);
    }
    return id;
}
