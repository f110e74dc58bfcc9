#include "http_wire.h"
#include "network_service.h"
#include "worker_pool.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
// Bytes asked of the socket per read while the head is still incomplete.
constexpr std::size_t kHeadReadChunk = 8192;
// After the answer, what the peer still sends is read and dropped for a
// short while before closing. Closing with unread bytes makes the system
// reset the connection, and a reset can destroy the answer before the peer
// has read it (an early "unauthorized" to an upload, say).
constexpr int kLingerTimeoutMs = 1000;
constexpr qsizetype kLingerMaxBytes = 1024 * 1024;
// A listener that cannot be polled is not retried in a tight loop.
constexpr int kPollPauseOnErrorMs = 100;

// A counted place among the server's open connections; given back when the
// connection's worker ends, whichever way it ends.
class ConnectionSlot
{
public:
    ConnectionSlot(std::shared_ptr<WorkerPool> pool, std::uint32_t address)
        : m_pool(std::move(pool)), m_address(address)
    {
    }
    ConnectionSlot(ConnectionSlot &&other) noexcept
        : m_pool(std::move(other.m_pool)), m_address(other.m_address)
    {
    }
    ConnectionSlot(const ConnectionSlot &) = delete;
    ConnectionSlot &operator=(const ConnectionSlot &) = delete;
    ConnectionSlot &operator=(ConnectionSlot &&) = delete;
    ~ConnectionSlot()
    {
        if (!m_pool)
            return;
        std::lock_guard lock(m_pool->mutex);
        --m_pool->connections;
        auto it = m_pool->connectionsPerAddress.find(m_address);
        if (it != m_pool->connectionsPerAddress.end() && --it->second <= 0)
            m_pool->connectionsPerAddress.erase(it);
    }

    // Takes a place for a connection from address, or refuses when either
    // cap is reached so that no single host can exhaust threads.
    static bool acquire(WorkerPool &pool, std::uint32_t address, const ServerLimits &limits)
    {
        std::lock_guard lock(pool.mutex);
        int &fromAddress = pool.connectionsPerAddress[address];
        if (pool.connections >= limits.maxConnections || fromAddress >= limits.maxConnectionsPerAddress) {
            if (fromAddress == 0)
                pool.connectionsPerAddress.erase(address);
            return false;
        }
        ++fromAddress;
        ++pool.connections;
        return true;
    }

private:
    std::shared_ptr<WorkerPool> m_pool;
    std::uint32_t m_address;
};
} // namespace

void NetworkService::startHttpServer()
{
    sock::Socket listener = sock::tcpListen(0 /* INADDR_ANY */, m_httpPort, SOMAXCONN, true);
    if (!listener.valid()) {
        emit logMessage(QStringLiteral("HTTP bind fehlgeschlagen."));
        return;
    }
    // Non-blocking, so that the loop can look at the running flag between
    // connections instead of sitting in accept until the next peer arrives.
    sock::setNonBlocking(listener, true);
    m_boundPort = sock::localPort(listener);
    emit logMessage(QStringLiteral("HTTP Server aktiv auf Port %1.").arg(m_boundPort.load()));

    while (isRunning()) {
        const sock::Readiness ready = waitReadable(listener, QDeadlineTimer(QDeadlineTimer::Forever));
        if (ready == sock::Readiness::Error)
            sleepWhileRunning(kPollPauseOnErrorMs);
        if (ready != sock::Readiness::Ready)
            continue;
        std::uint32_t peer = 0;
        sock::Socket connection = sock::tcpAccept(listener, &peer);
        if (!connection.valid())
            continue;
        if (!ConnectionSlot::acquire(*m_pool, peer, m_limits))
            continue; // over a cap: closed at once, without an answer
        ConnectionSlot slot(m_pool, peer);
        spawnWorker([this, slot = std::move(slot), connection = std::move(connection)]() mutable {
            handleConnection(std::move(connection));
        });
    }
}

void NetworkService::handleConnection(sock::Socket socket)
{
    httpwire::HeadReader reader;
    const QDeadlineTimer deadline(m_limits.headTimeoutMs);
    char buffer[kHeadReadChunk];
    while (reader.state() == httpwire::HeadReader::State::Incomplete) {
        if (waitReadable(socket, deadline) != sock::Readiness::Ready)
            return; // time-out, error or shutdown: no answer
        const long n = sock::receive(socket, buffer, sizeof buffer);
        if (n == sock::kIoWouldBlock)
            continue;
        if (n <= 0)
            return; // peer closed before the head ended: nothing to answer
        reader.feed(buffer, n);
    }
    if (reader.state() != httpwire::HeadReader::State::Complete)
        return;
    const QByteArray head = reader.head();
    if (head.isEmpty())
        return;

    if (head.startsWith("GET /identity"))
        answerIdentity(socket);
    else if (head.startsWith("POST /message"))
        handleMessageRoute(socket, head, reader.remainder());
    else if (head.startsWith("POST /upload"))
        handleUploadRoute(socket, head, reader.remainder());
    else
        sendJsonResponse(socket, QByteArrayLiteral("{\"error\":\"unknown route\"}"));
    closeGracefully(socket);
}

void NetworkService::closeGracefully(const sock::Socket &socket)
{
    sock::shutdownSend(socket);
    const QDeadlineTimer deadline(kLingerTimeoutMs);
    char buffer[4096];
    qsizetype drained = 0;
    while (drained < kLingerMaxBytes && waitReadable(socket, deadline) == sock::Readiness::Ready) {
        const long n = sock::receive(socket, buffer, sizeof buffer);
        if (n <= 0)
            break;
        drained += n;
    }
}

void NetworkService::answerIdentity(const sock::Socket &socket)
{
    QJsonObject identity;
    identity.insert(QStringLiteral("deviceId"), localDeviceId());
    identity.insert(QStringLiteral("name"), QString::fromLatin1(kDisplayName));
    sendJsonResponse(socket, QJsonDocument(identity).toJson(QJsonDocument::Compact));
}

void NetworkService::sendJsonResponse(const sock::Socket &socket, const QByteArray &body)
{
    const QByteArray response = httpwire::jsonResponse(body);
    sock::send(socket, response.constData(), std::size_t(response.size()));
}
