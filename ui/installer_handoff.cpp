#include "installer_handoff.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTimer>

#if defined(Q_OS_LINUX)
#define KAVELTOR_INSTALL_DBUS 1
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariant>
#endif

namespace {
#if !defined(Q_OS_WIN)
const QString kNothingTakesIt = QStringLiteral("Kein Programm zum Installieren des Pakets gefunden.");
// The opener's own status for "no program for this kind of file".
constexpr int kOpenerFoundNoHandler = 3;
#endif

#if KAVELTOR_INSTALL_DBUS
const QString kPath = QStringLiteral("/org/freedesktop/PackageKit");
const QString kInterface = QStringLiteral("org.freedesktop.PackageKit.Modify2");
// The user's own settings for what the installer asks and shows.
const QString kInteraction = QStringLiteral("defaults");

// Errors of the bus itself, not of a package installer: nobody there to ask
// (not running and not startable, or not offering this interface), so the
// opener gets its turn. Anything else is the installer's answer.
bool nobodyToAsk(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
    case QDBusError::Disconnected:
        return true;
    default:
        return error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
    }
}

QString sentence(QString text)
{
    text = text.trimmed();
    if (!text.endsWith(QLatin1Char('.')) && !text.endsWith(QLatin1Char('!')) &&
        !text.endsWith(QLatin1Char('?')))
        text += QLatin1Char('.');
    return text;
}
#endif
} // namespace

InstallerHandoff::InstallerHandoff(Setup setup, QObject *parent) : QObject(parent), setup(std::move(setup)) {}

InstallerHandoff::~InstallerHandoff()
{
#if KAVELTOR_INSTALL_DBUS
    // A call still waiting may end as the connection goes; nobody hears it.
    answered = true;
    if (!busName.isEmpty())
        QDBusConnection::disconnectFromBus(busName);
#endif
}

void InstallerHandoff::handOver(const QString &installerPath)
{
    path = QFileInfo(installerPath).absoluteFilePath();
#if defined(Q_OS_WIN)
    QTimer::singleShot(0, this, [this] {
        if (QProcess::startDetached(path, {}))
            answer(true, {});
        else
            answer(false, QStringLiteral("Installer konnte nicht gestartet werden."));
    });
#elif KAVELTOR_INSTALL_DBUS
    QTimer::singleShot(0, this, &InstallerHandoff::askPackageInstaller);
#else
    QTimer::singleShot(0, this, &InstallerHandoff::runOpener);
#endif
}

#if KAVELTOR_INSTALL_DBUS
void InstallerHandoff::askPackageInstaller()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!setup.busAddress.isEmpty()) {
        busName = QStringLiteral("kaveltor-installer-%1").arg(quintptr(this), 0, 16);
        bus = QDBusConnection::connectToBus(setup.busAddress, busName);
    }
    if (!bus.isConnected()) {
        runOpener();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(setup.service, kPath, kInterface,
                                                       QStringLiteral("InstallPackageFiles"));
    call << QStringList{path} << kInteraction << QVariantMap();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kInstallerReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        const QDBusPendingReply<> reply = *done;
        if (answered)
            return;
        if (!reply.isError()) {
            answer(true, {});
            return;
        }
        const QDBusError error = reply.error();
        if (nobodyToAsk(error)) {
            runOpener();
        } else if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout) {
            answer(false, QStringLiteral("Die Paketverwaltung hat nicht geantwortet."));
        } else if (error.message().trimmed().isEmpty()) {
            answer(false, QStringLiteral("Die Paketverwaltung hat das Paket nicht installiert."));
        } else {
            // Cancelled, refused or failed: its own words say which.
            answer(false, QStringLiteral("Die Paketverwaltung meldet: ") + sentence(error.message()));
        }
    });
}
#endif

#if !defined(Q_OS_WIN)
// The opener's status is the only word it has on whether a program took the
// file; it starts that program and ends.
void InstallerHandoff::runOpener()
{
    const QString program = QStandardPaths::findExecutable(setup.opener);
    if (program.isEmpty()) {
        answer(false, kNothingTakesIt);
        return;
    }
    opener = new QProcess(this);
    opener->setProcessChannelMode(QProcess::ForwardedChannels);
    opener->setStandardInputFile(QProcess::nullDevice());
    connect(opener, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            answer(false, kNothingTakesIt);
    });
    connect(opener, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        const QString name = QFileInfo(opener->program()).fileName();
        if (status == QProcess::CrashExit)
            answer(false,
                   QStringLiteral("Das Paket konnte nicht geöffnet werden (%1 ist abgestürzt).").arg(name));
        else if (code == kOpenerFoundNoHandler)
            answer(false, kNothingTakesIt);
        else if (code != 0)
            answer(false, QStringLiteral("Das Paket konnte nicht geöffnet werden (%1 endete mit Status %2).")
                              .arg(name)
                              .arg(code));
        else
            answer(true, {});
    });
    opener->start(program, {path});
}
#endif

void InstallerHandoff::answer(bool accepted, const QString &reason)
{
    if (answered)
        return;
    answered = true;
    emit finished(accepted, reason);
}
