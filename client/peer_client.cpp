#include "peer_client.h"

#include "deadline_stream.h"
#include "peer_connect.h"
#include "peer_wire.h"
#include "progress_meter.h"
#include "settings_store.h"

#include <QFile>
#include <QFileInfo>

#include <optional>
#include <string_view>

namespace {
constexpr int kMaxPort = 0xffff;

// The address and port of device; false when either is none a connection
// could go to.
bool peerEndpoint(const RemoteDevice &device, std::uint32_t *address, std::uint16_t *port)
{
    const QByteArray text = device.ip.toUtf8();
    if (device.port < 1 || device.port > kMaxPort ||
        !sock::parseIPv4(std::string_view(text.constData(), std::size_t(text.size())), address))
        return false;
    *port = std::uint16_t(device.port);
    return true;
}

// The whole answer, once the peer closed; empty when no valid answer can come
// of it: silence for the idle time-out, more than the reply cap, or stopping.
QByteArray readReply(const DeadlineStream &stream, const ClientLimits &limits)
{
    QByteArray reply;
    if (stream.readToEnd(&reply, protocol::kMaxReplyBytes, limits.replyIdleTimeoutMs) !=
        DeadlineStream::Until::Closed)
        reply.clear();
    return reply;
}

// Sends request and reads the answer; empty when either step fails.
QByteArray exchange(const DeadlineStream &stream, const QByteArray &request, const ClientLimits &limits)
{
    if (!stream.writeAll(request, limits.sendStallTimeoutMs))
        return {};
    return readReply(stream, limits);
}
} // namespace

PeerClient::PeerClient(QObject *parent) : QObject(parent) {}

PeerClient::~PeerClient()
{
    m_pool.stop();
}

std::optional<QString> PeerClient::refusal(const RemoteDevice &device)
{
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    // An address that is none at all is reported when connecting.
    if (!peerEndpoint(device, &address, &port) || m_ownInterfaces.allows(address, m_addressPolicy))
        return std::nullopt;
    return peerwire::addressRefusedText(device.ip);
}

void PeerClient::resolveIdentity(RemoteDevice device)
{
    // A lookup that is refused, repeated, finds no room or cannot start
    // fails as silently as one that cannot connect.
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    if (!peerEndpoint(device, &address, &port) || !m_ownInterfaces.allows(address, m_addressPolicy))
        return;
    m_pool.whileRunning([&] {
        if (m_lookupThrottle.admit(address, port, QDeadlineTimer::current().deadline(), m_lookups.size()) !=
            IdentityThrottle::Verdict::Ask)
            return;
        m_lookups.push_back({std::move(device), m_limits});
        // Without a thread now, the lookup waits for the next one to start.
        if (m_lookupWorkers < protocol::kIdentityLookupsAtOnce &&
            m_pool.spawnDetachable(*this, &PeerClient::runLookups))
            ++m_lookupWorkers;
    });
}

void PeerClient::runLookups(const Client &client)
{
    for (;;) {
        std::optional<Lookup> next;
        client.with([&](PeerClient &self) {
            if (self.m_lookups.empty()) {
                --self.m_lookupWorkers;
                return;
            }
            next = std::move(self.m_lookups.front());
            self.m_lookups.pop_front();
        });
        if (!next)
            return; // none left, or stopping: what still waits is dropped
        runIdentityRequest(client, std::move(next->device), next->limits);
    }
}

void PeerClient::pairDevice(const RemoteDevice &device, const QString &code)
{
    if (const std::optional<QString> why = refusal(device))
        return emit pairingFailed(*why);
    if (!m_pool.spawnDetachable(*this, &PeerClient::runPairing, device, code, m_limits) && !m_pool.stopping())
        emit pairingFailed(
            connectFailureText(peerwire::Request::Pairing, peerwire::ConnectFailure::Unreachable));
}

void PeerClient::sendMessage(const RemoteDevice &device, const QString &message)
{
    if (const std::optional<QString> why = refusal(device))
        return reportMessageFailure(device, *why);
    if (!m_pool.spawnDetachable(*this, &PeerClient::runMessage, device, message, m_limits))
        reportMessageFailure(
            device, connectFailureText(peerwire::Request::Message, peerwire::ConnectFailure::Unreachable));
}

void PeerClient::sendFile(const RemoteDevice &device, const QString &filePath)
{
    if (const std::optional<QString> why = refusal(device))
        return reportFileFailure(device, QFileInfo(filePath).fileName(), *why);
    const PeerKey peer(device.ip, device.port);
    bool unsent = false;
    m_pool.whileRunning([&] {
        PeerSends &sends = m_sends[peer];
        sends.waiting.push_back({device, filePath, m_limits});
        if (sends.running >= kMaxSendsPerPeer)
            return;
        ++sends.running;
        if (m_pool.spawnDetachable(*this, &PeerClient::runSends, peer))
            return;
        // Without a thread of its own the file still goes when another one to
        // this phone ends; with none running, it never would.
        if (--sends.running == 0) {
            m_sends.erase(peer);
            unsent = true;
        }
    });
    if (unsent)
        reportFileFailure(device, QFileInfo(filePath).fileName(),
                          connectFailureText(peerwire::Request::File, peerwire::ConnectFailure::Unreachable));
}

void PeerClient::reportFileFailure(const RemoteDevice &device, const QString &fileName, const QString &reason)
{
    if (m_pool.stopping())
        return; // quitting is no failure worth telling the user
    emit logMessage(reason);
    emit fileTransferFailed(device.ip, device.port, fileName, reason);
}

void PeerClient::reportMessageFailure(const RemoteDevice &device, const QString &reason)
{
    if (m_pool.stopping())
        return;
    emit logMessage(reason);
    emit messageFailed(device.ip, device.port, reason);
}

bool PeerClient::connectFor(const Client &client, peerwire::Request request, const RemoteDevice &device,
                            const ClientLimits &limits, sock::Socket *socket, QString *failureText)
{
    const std::optional<peerconnect::Failure> failure =
        peerconnect::connect(device, limits.connectTimeoutMs, client, socket);
    if (failure) {
        const QString text = connectFailureText(request, *failure == peerconnect::Failure::BadAddress
                                                             ? peerwire::ConnectFailure::BadAddress
                                                             : peerwire::ConnectFailure::Unreachable);
        if (failureText)
            *failureText = text;
        else if (request == peerwire::Request::Pairing)
            client.with([&](PeerClient &self) { emit self.pairingFailed(text); });
    }
    return !failure && !client.stopping();
}

void PeerClient::runIdentityRequest(const Client &client, RemoteDevice device, const ClientLimits &limits)
{
    sock::Socket socket;
    if (!connectFor(client, peerwire::Request::Identity, device, limits, &socket))
        return;
    const QByteArray reply =
        exchange(DeadlineStream(socket, client), peerwire::identityRequest(device.ip), limits);
    if (const std::optional<RemoteDevice> resolved = peerwire::applyIdentityReply(reply, std::move(device)))
        client.with([&](PeerClient &self) { emit self.deviceIdentityResolved(*resolved); });
}

void PeerClient::runPairing(const Client &client, const RemoteDevice &device, const QString &code,
                            const ClientLimits &limits)
{
    const QByteArray request =
        peerwire::pairRequest(device.ip, code, localDeviceId(), QLatin1String(protocol::kInstanceLabel));
    sock::Socket socket;
    if (!connectFor(client, peerwire::Request::Pairing, device, limits, &socket))
        return;
    const QByteArray reply = exchange(DeadlineStream(socket, client), request, limits);
    const peerwire::PairingOutcome outcome = peerwire::evaluatePairingReply(reply, device);
    client.with([&](PeerClient &self) {
        if (outcome.paired)
            emit self.pairingSucceeded(outcome.device);
        else
            emit self.pairingFailed(outcome.error);
    });
}

void PeerClient::runMessage(const Client &client, const RemoteDevice &device, const QString &message,
                            const ClientLimits &limits)
{
    const auto fail = [&](const QString &why) {
        client.with([&](PeerClient &self) { self.reportMessageFailure(device, why); });
    };
    sock::Socket socket;
    QString why;
    if (!connectFor(client, peerwire::Request::Message, device, limits, &socket, &why))
        return fail(why);
    const QByteArray request =
        peerwire::messageRequest(device.ip, message, localDeviceId(), device.sharedSecret);
    const QByteArray reply = exchange(DeadlineStream(socket, client), request, limits);
    QString error;
    if (!peerwire::parseReply(reply, QLatin1String(protocol::kKeyReceived), &error))
        return fail(QStringLiteral("Nachricht fehlgeschlagen: ") + error);
    client.with([&](PeerClient &self) { emit self.messageSent(device.ip, device.port); });
}

void PeerClient::runSends(const Client &client, const PeerKey &peer)
{
    for (;;) {
        std::optional<FileSend> next;
        client.with([&](PeerClient &self) {
            const auto it = self.m_sends.find(peer);
            if (!it->second.waiting.empty()) {
                next = std::move(it->second.waiting.front());
                it->second.waiting.pop_front();
            } else if (--it->second.running == 0) {
                self.m_sends.erase(it);
            }
        });
        if (!next)
            return; // none left, or stopping: what still waits is dropped
        runFileTransfer(client, *next);
    }
}

void PeerClient::runFileTransfer(const Client &client, const FileSend &send)
{
    const RemoteDevice &device = send.device;
    const ClientLimits &limits = send.limits;
    const QString fileName = QFileInfo(send.filePath).fileName();
    const auto fail = [&](const QString &why) {
        client.with([&](PeerClient &self) { self.reportFileFailure(device, fileName, why); });
    };
    QFile file(send.filePath);
    // Unbuffered: the body goes through the stream's one buffer, never
    // through a buffer of QFile's as well.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(QStringLiteral("Datei konnte nicht geöffnet werden."));
    // Taken once: a file that grows meanwhile is sent with this length, so
    // the request stays what its head announced.
    const qint64 totalBytes = file.size();

    sock::Socket socket;
    QString why;
    if (!connectFor(client, peerwire::Request::File, device, limits, &socket, &why))
        return fail(why);
    const DeadlineStream stream(socket, client);

    // Ends the transfer early; closing at once tells the peer that no more
    // bytes will come.
    const auto abort = [&] {
        socket.close();
        fail(QStringLiteral("Senden abgebrochen."));
    };

    const QByteArray head =
        peerwire::uploadHead(device.ip, fileName, localDeviceId(), device.sharedSecret, totalBytes);
    if (!stream.writeAll(head, limits.sendStallTimeoutMs))
        return abort();

    ProgressMeter meter(totalBytes);
    qint64 sentBytes = 0;
    const auto sent = [&](qint64 n) {
        sentBytes += n;
        int percent = 0;
        double bytesPerSecond = 0.0;
        if (meter.advance(sentBytes, &percent, &bytesPerSecond))
            client.with([&](PeerClient &self) {
                emit self.fileTransferProgress(percent, sentBytes, totalBytes,
                                               bytesPerSecond / ProgressMeter::kBytesPerMiB);
            });
    };
    // A file that shrank, or cannot be read any more, would leave the peer
    // waiting for bytes that never come.
    if (!stream.writeFromFile(file, totalBytes, limits.sendStallTimeoutMs, sent))
        return abort();
    file.close();

    const QByteArray reply = readReply(stream, limits);
    QString error;
    if (!peerwire::parseReply(reply, QLatin1String(protocol::kKeyReceived), &error))
        return fail(QStringLiteral("Dateiuebertragung fehlgeschlagen: ") + error);
    client.with([&](PeerClient &self) { emit self.fileTransferFinished(device.ip, device.port, fileName); });
}
