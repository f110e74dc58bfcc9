#include "file_manager.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QUrl>

#if defined(Q_OS_LINUX)
#define KAVELTOR_FILE_MANAGER_DBUS 1
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#endif
#if defined(Q_OS_WIN)
#include <QProcess>
#endif

namespace filemanager {

namespace {
#if KAVELTOR_FILE_MANAGER_DBUS
// A file manager that D-Bus starts on demand needs a moment; one that hangs
// must not keep the folder from opening for long.
constexpr int kCallTimeoutMs = 5000;
#endif

void openFolder(const QString &path, const Opener &opener)
{
    opener(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}
} // namespace

void showInFolder(const QString &path, const Opener &opener, QObject *context)
{
    const QString file = QFileInfo(path).absoluteFilePath();
#if KAVELTOR_FILE_MANAGER_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return openFolder(file, opener);
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kService), QStringLiteral("ShowItems"));
    // No start-up id: the file manager then raises its window as it sees fit.
    call << QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)} << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [file, opener](QDBusPendingCallWatcher *w) {
                         w->deleteLater();
                         if (w->isError())
                             openFolder(file, opener);
                     });
#elif defined(Q_OS_WIN)
    Q_UNUSED(context);
    // Explorer selects the file when given "/select," before it.
    if (!QProcess::startDetached(QStringLiteral("explorer.exe"),
                                 {QStringLiteral("/select,"), QDir::toNativeSeparators(file)}))
        openFolder(file, opener);
#else
    Q_UNUSED(context);
    openFolder(file, opener);
#endif
}

} // namespace filemanager
