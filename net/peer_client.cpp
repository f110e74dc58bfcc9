// Requests this computer makes to peers: identity lookups, pairing, messages
// and files. Each runs on a worker thread of its own, waits only in
// stop-aware slices, and reports through signals alone.
#include "network_service.h"
#include "peer_wire.h"
#include "worker_pool.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <string_view>
#include <vector>

namespace {
// Receive buffer of the reply reader; replies are small JSON objects.
constexpr std::size_t kReplyReadChunk = 4096;
// File content is streamed in chunks of this size; at most one is in memory
// per transfer.
constexpr qint64 kFileChunkBytes = 64 * 1024;
// The transfer speed is reported as 0 until this much time has passed, when
// an average over so short a time would mostly be noise.
constexpr qint64 kSpeedWarmUpMs = 300;
constexpr double kBytesPerMebibyte = 1024.0 * 1024.0;
} // namespace

bool NetworkService::isStopping() const
{
    std::lock_guard lock(m_pool->mutex);
    return m_pool->stopping;
}

NetworkService::PeerConnect NetworkService::connectToPeer(const QString &ip, int port,
                                                          const ClientLimits &limits, sock::Socket *out) const
{
    const QByteArray address = ip.toUtf8();
    std::uint32_t host = 0;
    if (!sock::parseIPv4(std::string_view(address.constData(), std::size_t(address.size())), &host))
        return PeerConnect::BadAddress;
    sock::Socket socket;
    switch (sock::tcpConnectBegin(host, std::uint16_t(port & 0xffff), &socket)) {
    case sock::ConnectStart::Failed:
        return PeerConnect::Failed;
    case sock::ConnectStart::Pending:
        if (waitWritable(socket, QDeadlineTimer(limits.connectTimeoutMs)) != sock::Readiness::Ready ||
            !sock::tcpConnectSucceeded(socket))
            return PeerConnect::Failed;
        break;
    case sock::ConnectStart::Connected:
        break;
    }
    // The socket stays non-blocking: every wait goes through the stop-aware
    // members, so no send or receive may block on its own.
    *out = std::move(socket);
    return PeerConnect::Connected;
}

bool NetworkService::sendRequest(const sock::Socket &socket, const char *data, qsizetype size, int stallMs,
                                 const std::function<void(qint64)> &onSent) const
{
    qsizetype done = 0;
    while (done < size) {
        const long n = sock::send(socket, data + done, std::size_t(size - done));
        if (n == sock::kIoWouldBlock) {
            if (waitWritable(socket, QDeadlineTimer(stallMs)) != sock::Readiness::Ready)
                return false;
            continue;
        }
        if (n <= 0)
            return false;
        done += n;
        if (onSent)
            onSent(n);
    }
    return true;
}

QByteArray NetworkService::readUntilClosed(sock::Socket &socket, int idleMs) const
{
    QByteArray response;
    char buffer[kReplyReadChunk];
    for (;;) {
        const long n = sock::receive(socket, buffer, sizeof buffer);
        if (n == sock::kIoWouldBlock) {
            if (waitReadable(socket, QDeadlineTimer(idleMs)) != sock::Readiness::Ready) {
                // A peer gone silent has not answered, whatever it sent so far.
                response.clear();
                break;
            }
            continue;
        }
        if (n <= 0)
            break; // closed, or reset: what arrived before is the answer
        if (response.size() + n > peerwire::kMaxReplyBytes) {
            response.clear();
            break;
        }
        response.append(buffer, n);
    }
    socket.close();
    return response;
}

void NetworkService::resolveIdentity(RemoteDevice device)
{
    const ClientLimits limits = m_clientLimits;
    // A lookup that cannot start fails as silently as one that cannot connect.
    spawnWorker([this, device = std::move(device), limits]() mutable {
        runIdentityRequest(std::move(device), limits);
    });
}

void NetworkService::runIdentityRequest(RemoteDevice device, const ClientLimits &limits)
{
    sock::Socket socket;
    if (connectToPeer(device.ip, device.port, limits, &socket) != PeerConnect::Connected)
        return;
    if (!sendRequest(socket, peerwire::identityRequest(device.ip), limits.sendStallTimeoutMs))
        return;
    const QByteArray response = readUntilClosed(socket, limits.replyIdleTimeoutMs);
    if (isStopping())
        return;
    if (const std::optional<RemoteDevice> resolved =
            peerwire::applyIdentityReply(response, std::move(device)))
        emit deviceIdentityResolved(*resolved);
}

void NetworkService::pairDevice(const RemoteDevice &device, const QString &code)
{
    const ClientLimits limits = m_clientLimits;
    if (!spawnWorker([this, device, code, limits] { runPairing(device, code, limits); }) && !isStopping())
        emit pairingFailed(QStringLiteral("Verbindung fehlgeschlagen."));
}

void NetworkService::runPairing(const RemoteDevice &device, const QString &code, const ClientLimits &limits)
{
    const QByteArray request =
        peerwire::pairRequest(device.ip, code, localDeviceId(), QString::fromLatin1(kDisplayName));
    sock::Socket socket;
    const PeerConnect connected = connectToPeer(device.ip, device.port, limits, &socket);
    if (isStopping())
        return;
    if (connected == PeerConnect::BadAddress) {
        emit pairingFailed(QStringLiteral("Ungueltige IP-Adresse."));
        return;
    }
    if (connected == PeerConnect::Failed) {
        emit pairingFailed(QStringLiteral("Verbindung fehlgeschlagen."));
        return;
    }
    QByteArray response;
    if (sendRequest(socket, request, limits.sendStallTimeoutMs))
        response = readUntilClosed(socket, limits.replyIdleTimeoutMs);
    if (isStopping())
        return;
    const peerwire::PairingOutcome outcome = peerwire::evaluatePairingReply(response, device);
    if (outcome.paired)
        emit pairingSucceeded(outcome.device);
    else
        emit pairingFailed(outcome.error);
}

void NetworkService::sendMessage(const RemoteDevice &device, const QString &message)
{
    const ClientLimits limits = m_clientLimits;
    if (!spawnWorker([this, device, message, limits] { runMessage(device, message, limits); }) &&
        !isStopping())
        emit logMessage(QStringLiteral("Verbindung fehlgeschlagen."));
}

void NetworkService::runMessage(const RemoteDevice &device, const QString &message,
                                const ClientLimits &limits)
{
    sock::Socket socket;
    const PeerConnect connected = connectToPeer(device.ip, device.port, limits, &socket);
    if (isStopping())
        return;
    if (connected != PeerConnect::Connected) {
        emit logMessage(QStringLiteral("Verbindung fehlgeschlagen."));
        return;
    }
    const QByteArray request =
        peerwire::messageRequest(device.ip, message, localDeviceId(), device.sharedSecret);
    QByteArray response;
    if (sendRequest(socket, request, limits.sendStallTimeoutMs))
        response = readUntilClosed(socket, limits.replyIdleTimeoutMs);
    if (isStopping())
        return;
    QString error;
    if (!peerwire::parseReply(response, QStringLiteral("received"), &error))
        emit logMessage(QStringLiteral("Nachricht fehlgeschlagen: ") + error);
}

void NetworkService::sendFile(const RemoteDevice &device, const QString &filePath)
{
    const ClientLimits limits = m_clientLimits;
    if (!spawnWorker([this, device, filePath, limits] { runFileTransfer(device, filePath, limits); }) &&
        !isStopping())
        emit logMessage(QStringLiteral("Datei-Verbindung fehlgeschlagen."));
}

void NetworkService::runFileTransfer(const RemoteDevice &device, const QString &filePath,
                                     const ClientLimits &limits)
{
    QFile file(filePath);
    // Unbuffered: chunks go straight from the file into our one buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit logMessage(QStringLiteral("Datei konnte nicht geöffnet werden."));
        return;
    }
    // Taken once: a file that grows meanwhile is sent with this length, so
    // the request stays what its head announced.
    const qint64 totalBytes = file.size();
    const QString fileName = QFileInfo(filePath).fileName();

    sock::Socket socket;
    const PeerConnect connected = connectToPeer(device.ip, device.port, limits, &socket);
    if (isStopping())
        return;
    if (connected == PeerConnect::BadAddress) {
        emit logMessage(QStringLiteral("Ungültige IP-Adresse."));
        return;
    }
    if (connected == PeerConnect::Failed) {
        emit logMessage(QStringLiteral("Datei-Verbindung fehlgeschlagen."));
        return;
    }

    // Ends the transfer early; closing at once tells the peer that no more
    // bytes will come.
    auto abort = [&] {
        socket.close();
        if (!isStopping())
            emit logMessage(QStringLiteral("Senden abgebrochen."));
    };

    const QByteArray head =
        peerwire::uploadHead(device.ip, fileName, localDeviceId(), device.sharedSecret, totalBytes);
    if (!sendRequest(socket, head, limits.sendStallTimeoutMs))
        return abort();

    QElapsedTimer timer;
    timer.start();
    qint64 sentBytes = 0;
    int lastPercent = -1;
    auto sent = [&](qint64 n) {
        sentBytes += n;
        const int percent = int(sentBytes * 100 / totalBytes);
        if (percent == lastPercent)
            return;
        const qint64 elapsed = timer.elapsed();
        const double speed = elapsed > kSpeedWarmUpMs
                                 ? (double(sentBytes) * 1000.0 / double(elapsed)) / kBytesPerMebibyte
                                 : 0.0;
        emit fileTransferProgress(percent, sentBytes, totalBytes, speed);
        lastPercent = percent;
    };
    std::vector<char> chunk(static_cast<std::size_t>(kFileChunkBytes));
    while (sentBytes < totalBytes) {
        if (isStopping())
            return abort();
        // A file that shrank, or cannot be read any more, would leave the
        // peer waiting for bytes that never come.
        const qint64 wanted = std::min(kFileChunkBytes, totalBytes - sentBytes);
        const qint64 got = file.read(chunk.data(), wanted);
        if (got <= 0)
            return abort();
        if (!sendRequest(socket, chunk.data(), got, limits.sendStallTimeoutMs, sent))
            return abort();
    }
    file.close();

    const QByteArray response = readUntilClosed(socket, limits.replyIdleTimeoutMs);
    if (isStopping())
        return;
    QString error;
    if (peerwire::parseReply(response, QStringLiteral("received"), &error))
        emit fileTransferFinished(device.ip, device.port, fileName);
    else
        emit logMessage(QStringLiteral("Dateiuebertragung fehlgeschlagen: ") + error);
}
