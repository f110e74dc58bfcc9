#include "single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
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

unsigned currentUid()
{
#ifdef Q_OS_UNIX
    return unsigned(getuid());
#else
    return 0; // unused: the pipe's access list is the guard there
#endif
}

// Who is at the other end of a connection, where the system says so.
std::optional<unsigned> peerUid(qintptr descriptor)
{
#ifdef Q_OS_LINUX
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
        length == sizeof credentials)
        return unsigned(credentials.uid);
    return unsigned(-1); // nobody's id: a peer we cannot name is refused
#else
    Q_UNUSED(descriptor);
    return std::nullopt;
#endif
}
} // namespace

InstanceReply::InstanceReply(QLocalSocket *socket, QObject *parent) : QObject(parent), socket(socket)
{
    socket->setParent(this);
}

void InstanceReply::send(const instance::Reply &reply)
{
    if (socket->state() == QLocalSocket::ConnectedState)
        socket->write(instance::serialize(reply));
}

void InstanceReply::finish(const instance::Reply &reply)
{
    send(reply);
    socket->disconnectFromServer(); // after what is still buffered
}

SingleInstance::SingleInstance(QObject *parent) : SingleInstance(currentUid(), parent) {}

SingleInstance::SingleInstance(unsigned ownUid, QObject *parent)
    : QObject(parent), ownUid(ownUid), folder(stateFolder()),
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

std::unique_ptr<QLocalSocket> SingleInstance::connectToRunning(int timeoutMs)
{
    const QString folder = stateFolder();
    if (folder.isEmpty())
        return nullptr;
    const QDeadlineTimer deadline(timeoutMs);
    auto socket = std::make_unique<QLocalSocket>();
    for (;;) {
        socket->connectToServer(serverName(folder));
        if (socket->waitForConnected(int(deadline.remainingTime())))
            return socket;
        socket->abort();
        if (deadline.remainingTime() <= kConnectRetryMs)
            return nullptr;
        QThread::msleep(kConnectRetryMs);
    }
}

bool SingleInstance::handOver(const QString &token)
{
    const QDeadlineTimer deadline(kHandOverMs);
    const std::unique_ptr<QLocalSocket> socket = connectToRunning(kHandOverMs);
    if (!socket)
        return false;
    instance::Request present;
    present.token = token;
    socket->write(instance::serialize(present));
    while (socket->bytesToWrite() > 0)
        if (!socket->waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    socket->disconnectFromServer();
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *peer = server.nextPendingConnection()) {
        if (connections >= kMaxConnections ||
            !instance::peerAllowed(peerUid(peer->socketDescriptor()), ownUid)) {
            if (connections < kMaxConnections)
                qWarning("Einzelinstanz: Anfrage eines anderen Benutzers abgewiesen.");
            peer->abort();
            peer->deleteLater();
            continue;
        }
        serve(peer);
    }
}

void SingleInstance::serve(QLocalSocket *peer)
{
    ++connections;
    auto *reply = new InstanceReply(peer, this);
    connect(reply, &QObject::destroyed, this, [this] { --connections; });
    connect(peer, &QLocalSocket::disconnected, reply, &QObject::deleteLater);
    // Whatever the asker sends, the copy holds at most one request's worth.
    peer->setReadBufferSize(instance::kMaxLineBytes + 1);
    auto *timeout = new QTimer(reply);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, reply, &QObject::deleteLater);
    timeout->start(kRequestTimeoutMs);

    auto buffer = std::make_shared<QByteArray>();
    auto reading = std::make_shared<QMetaObject::Connection>();
    const auto read = [this, peer, reply, timeout, buffer, reading] {
        buffer->append(peer->read(instance::kMaxLineBytes + 1 - buffer->size()));
        const instance::Framed framed = instance::takeLine(*buffer);
        if (framed.state == instance::Framed::State::Incomplete)
            return;
        timeout->stop();
        // One request per connection: anything after it is not read.
        disconnect(*reading);
        const instance::Parsed<instance::Request> parsed = instance::parseRequest(framed.line);
        buffer->clear();
        if (!parsed.value) {
            instance::Reply refusal;
            refusal.status = parsed.error == instance::ParseError::Version ? instance::Status::Version
                                                                           : instance::Status::Malformed;
            return reply->finish(refusal);
        }
        emit requestReceived(*parsed.value, reply);
    };
    *reading = connect(peer, &QLocalSocket::readyRead, reply, read);
    read(); // the request may have arrived with the connection
}
