#include "single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {
constexpr char kPresentRequest[] = "present\n";
// A request is one short line; a peer that sends more is not one of us.
constexpr qint64 kMaxRequestBytes = 64;
// While the first copy is between taking the lock and listening.
constexpr int kConnectRetryMs = 50;
const char *const kBaseName = "kaveltor-companion";

QString stateFolder()
{
#ifdef Q_OS_WIN
    return QDir::tempPath(); // per user; the runtime location is the home folder there
#else
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#endif
}

QString serverName(const QString &folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder);
    // Pipe names are machine-wide: the user name keeps users apart.
    return QString::fromLatin1(kBaseName) + QLatin1Char('-') + qEnvironmentVariable("USERNAME");
#else
    return QDir(folder).filePath(QString::fromLatin1(kBaseName) + QStringLiteral(".socket"));
#endif
}
} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent), folder(stateFolder()),
      lock(QDir(folder).filePath(QString::fromLatin1(kBaseName) + QStringLiteral(".lock")))
{
    // Held for the whole run: only a crashed holder's lock is ever stale.
    lock.setStaleLockTime(0);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

bool SingleInstance::claim()
{
    if (folder.isEmpty())
        return true;
    if (!lock.tryLock(0))
        return lock.error() != QLockFile::LockFailedError;
    // A socket file left by a crashed copy; only the lock holder may remove it.
    QLocalServer::removeServer(serverName(folder));
    if (!server.listen(serverName(folder)))
        qWarning("Einzelinstanz: %s", qPrintable(server.errorString()));
    return true;
}

bool SingleInstance::handOver()
{
    const QDeadlineTimer deadline(kHandOverMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(serverName(folder));
        if (socket.waitForConnected(deadline.remainingTime()))
            break;
        socket.abort();
        if (deadline.remainingTime() <= kConnectRetryMs)
            return false;
        QThread::msleep(kConnectRetryMs);
    }
    socket.write(kPresentRequest);
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(deadline.remainingTime()))
            return false;
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *peer = server.nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        const auto read = [this, peer] {
            if (peer->canReadLine()) {
                if (peer->readLine(kMaxRequestBytes) == kPresentRequest)
                    emit presentRequested();
                peer->disconnectFromServer();
            } else if (peer->bytesAvailable() > kMaxRequestBytes) {
                peer->abort();
            }
        };
        connect(peer, &QLocalSocket::readyRead, peer, read);
        read(); // the request may have arrived with the connection
    }
}
