#include "http_server.h"

#include "deadline_stream.h"
#include "file_store.h"
#include "http_wire.h"
#include "settings_store.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace {
// Bytes asked of the socket per read while the head is still incomplete.
constexpr std::size_t kHeadReadChunk = 8192;
// After the answer, what the peer still sends is read and dropped for a
// short while before closing. Closing with unread bytes makes the system
// reset the connection, and a reset can destroy the answer before the peer
// has read it (an early "unauthorized" to an upload, say).
constexpr int kLingerTimeoutMs = 1000;
constexpr qsizetype kLingerMaxBytes = 1024 * 1024;
constexpr std::size_t kLingerReadChunk = 4096;
// A listener that cannot be polled is not retried in a tight loop.
constexpr int kPollPauseOnErrorMs = 100;
// While descriptors run out, the refused connection stays queued and the
// listener readable: accepting is retried after this pause, not at once.
constexpr int kAcceptStarvedPauseMs = 100;
// A temporary file whose upload ended in a crash or power cut is never
// finished. Live uploads write at least every body idle time-out, so one
// untouched for a day is surely such a leftover.
constexpr qint64 kLeftoverAgeSecs = 24 * 60 * 60;
// Our answers are a few dozen bytes; a peer that takes none of them for this
// long is gone.
constexpr int kAnswerStallMs = 5000;

// Whether placeholder is the empty file with which an upload that wrote
// temporary claimed its final name (where the file system can neither rename
// without replacing nor link) before a crash stopped it from moving the file
// there. The upload created it after its last write to temporary, and it is
// as old as a leftover; a file with content is never one.
bool isStalePlaceholder(const QFileInfo &placeholder, const QFileInfo &temporary, const QDateTime &oldest)
{
    return placeholder.isFile() && !placeholder.isSymLink() && placeholder.size() == 0 &&
           placeholder.lastModified() >= temporary.lastModified() && placeholder.lastModified() < oldest;
}

std::int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Ends both directions of a connection whose thread is waiting to read: the
// wait ends at once and finds the connection closed.
void shutdownBoth(const sock::Socket &socket)
{
#ifdef _WIN32
    ::shutdown(socket.handle(), SD_BOTH);
#else
    ::shutdown(socket.handle(), SHUT_RDWR);
#endif
}

// Whether the last accept failed for want of descriptors or memory.
bool acceptStarved()
{
#ifdef _WIN32
    const int error = WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
#else
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
#endif
}
} // namespace

// Shared by the accept loop, which may close the connection to make room,
// and the connection's thread: the socket stays open, and its descriptor
// number taken, until neither holds it, so a close to make room can never
// hit a descriptor that another connection reuses meanwhile.
struct HttpServer::Ticket
{
    enum Phase { ReadingHead, Serving, Lingering, ClosedForRoom };

    Ticket(sock::Socket connection, std::uint32_t from) : socket(std::move(connection)), address(from) {}
    // Whoever changes the phase first wins: the connection's thread moving
    // on, or the accept loop closing it.
    bool move(Phase from, Phase to)
    {
        int expected = from;
        return phase.compare_exchange_strong(expected, to);
    }
    // A head, and a request already answered, may be closed to make room; a
    // request being served goes on to its end.
    bool takeForRoom() { return move(ReadingHead, ClosedForRoom) || move(Lingering, ClosedForRoom); }

    const sock::Socket socket;
    const std::uint32_t address;
    std::uint64_t arrival = 0; // set before the thread starts
    std::atomic<int> phase{ReadingHead};
    std::atomic<std::int64_t> lastLineMs{steadyMs()}; // when the head last completed a line
};

HttpServer::HttpServer(QObject *parent) : QObject(parent) {}

HttpServer::~HttpServer()
{
    m_pool.stop();
}

void HttpServer::start(std::uint16_t port)
{
    if (m_started.exchange(true))
        return;
    if (!m_credentials) {
        auto stored = std::make_shared<PairedCredentials>();
        stored->replace(readPairedDevices());
        m_credentials = std::move(stored);
    }
    m_pool.spawnJoined([this, port] { acceptLoop(port); });
    m_pool.spawnDetachable(*this, &HttpServer::removeLeftovers);
}

void HttpServer::stop()
{
    m_pool.stop();
}

void HttpServer::setReceiveFolder(const QString &folder)
{
    {
        std::lock_guard lock(m_mutex);
        m_receiveFolder = folder;
    }
    // A folder chosen while running may hold leftovers of an earlier run too.
    if (m_started)
        m_pool.spawnDetachable(*this, &HttpServer::removeLeftovers);
}

void HttpServer::removeLeftovers(const Server &server)
{
    QString folder;
    server.with([&](HttpServer &s) { folder = s.receiveFolder(); });
    if (folder.isEmpty())
        return; // never the working folder
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-kLeftoverAgeSecs);
    const QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    const auto log = [&](const QString &line) {
        server.with([&](HttpServer &s) { emit s.logMessage(line); });
    };
    for (const QFileInfo &entry : entries) {
        if (server.stopping())
            return;
        // Only the temporary shape of this program. Earlier versions named
        // theirs "<name>.<8 hex>.part", which a received file or the user's
        // own may be called too, with nothing on disk to tell them apart:
        // those stay.
        const QString finalName = filestore::finalNameOf(entry.fileName());
        if (finalName.isEmpty() || entry.lastModified() >= oldest)
            continue;
        if (isStalePlaceholder(QFileInfo(dir.filePath(finalName)), entry, oldest) &&
            QFile::remove(dir.filePath(finalName)))
            log(QStringLiteral("Leere Platzhalterdatei eines abgebrochenen Empfangs entfernt: ") + finalName);
        if (QFile::remove(entry.filePath()))
            log(QStringLiteral("Alte unvollständige Datei entfernt: ") + entry.fileName());
    }
}

QString HttpServer::receiveFolder() const
{
    std::lock_guard lock(m_mutex);
    if (!m_receiveFolder.isEmpty())
        return m_receiveFolder;
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

bool HttpServer::acquireSlot(const std::shared_ptr<Ticket> &ticket)
{
    std::lock_guard lock(m_mutex);
    const auto from = m_connectionsPerAddress.find(ticket->address);
    if (from != m_connectionsPerAddress.end() && from->second >= m_limits.maxConnectionsPerAddress)
        return false;
    makeRoom();
    if (int(m_open.size()) >= m_limits.maxConnections)
        return false;
    ticket->arrival = m_arrivals++;
    m_open.emplace(ticket->arrival, ticket);
    ++m_connectionsPerAddress[ticket->address];
    return true;
}

void HttpServer::makeRoom()
{
    if (int(m_open.size()) < m_limits.maxConnections / protocol::kBusyConnectionsDivisor)
        return;
    const std::int64_t stalled = steadyMs() - m_limits.headLineTimeoutMs;
    for (auto it = m_open.begin(); it != m_open.end();) {
        if (it->second->lastLineMs < stalled && it->second->move(Ticket::ReadingHead, Ticket::ClosedForRoom))
            closeForRoom(it);
        else
            ++it;
    }
    for (auto it = m_open.begin(); int(m_open.size()) >= m_limits.maxConnections && it != m_open.end();) {
        if (it->second->takeForRoom())
            closeForRoom(it);
        else
            ++it;
    }
}

void HttpServer::closeForRoom(OpenConnection &it)
{
    shutdownBoth(it->second->socket);
    it = forget(it);
}

HttpServer::OpenConnection HttpServer::forget(OpenConnection it)
{
    const auto from = m_connectionsPerAddress.find(it->second->address);
    if (from != m_connectionsPerAddress.end() && --from->second <= 0)
        m_connectionsPerAddress.erase(from);
    return m_open.erase(it);
}

void HttpServer::releaseSlot(const Ticket &ticket)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(ticket.arrival);
    if (it != m_open.end()) // else closed to make room, and counted out then
        forget(it);
}

void HttpServer::acceptLoop(std::uint16_t port)
{
    sock::Socket listener = sock::tcpListen(0 /* INADDR_ANY */, port, SOMAXCONN, true);
    if (!listener.valid()) {
        emit logMessage(QStringLiteral("HTTP bind fehlgeschlagen."));
        return;
    }
    // Non-blocking, so that the loop waits through the pool, which stop()
    // wakes, instead of sitting in accept until the next peer arrives.
    sock::setNonBlocking(listener, true);
    m_boundPort = sock::localPort(listener);
    emit logMessage(QStringLiteral("HTTP Server aktiv auf Port %1.").arg(m_boundPort.load()));

    bool starved = false; // accepting failed for want of descriptors, logged once
    while (!m_pool.stopping()) {
        const sock::Readiness ready = m_pool.waitReadable(listener, QDeadlineTimer(QDeadlineTimer::Forever));
        if (ready == sock::Readiness::Error)
            m_pool.sleep(kPollPauseOnErrorMs);
        if (ready != sock::Readiness::Ready)
            continue;
        std::uint32_t peer = 0;
        sock::Socket connection = sock::tcpAccept(listener, &peer);
        if (!connection.valid()) {
            if (!acceptStarved())
                continue;
            if (!std::exchange(starved, true))
                emit logMessage(QStringLiteral("Zu viele offene Dateien: neue Verbindungen warten."));
            m_pool.sleep(kAcceptStarvedPauseMs);
            continue;
        }
        starved = false;
        auto ticket = std::make_shared<Ticket>(std::move(connection), peer);
        if (!acquireSlot(ticket))
            continue; // over a cap: closed at once, without an answer
        if (!m_pool.spawnDetachable(*this, &HttpServer::serve, ticket, m_limits))
            releaseSlot(*ticket);
    }
}

void HttpServer::serve(const Server &server, const std::shared_ptr<Ticket> &ticket,
                       const ServerLimits &limits)
{
    respond(server, *ticket, limits);
    server.with([&](HttpServer &s) { s.releaseSlot(*ticket); });
}

void HttpServer::respond(const Server &server, Ticket &ticket, const ServerLimits &limits)
{
    const DeadlineStream stream(ticket.socket, server);
    httpwire::HeadReader reader;
    const QDeadlineTimer deadline(limits.headTimeoutMs);
    char buffer[kHeadReadChunk];
    while (reader.state() == httpwire::HeadReader::State::Incomplete) {
        const long n = stream.readSome(buffer, sizeof buffer, deadline);
        if (n <= 0)
            return; // closed (also to make room), failed, timed out or stopping: no answer
        if (std::memchr(buffer, '\n', std::size_t(n)))
            ticket.lastLineMs = steadyMs();
        reader.feed(buffer, n);
    }
    if (reader.state() != httpwire::HeadReader::State::Complete ||
        !ticket.move(Ticket::ReadingHead, Ticket::Serving))
        return;
    const QByteArray head = reader.head();
    if (head.isEmpty())
        return;

    const Connection c{server, stream, limits, ticket.address};
    if (head.startsWith(protocol::kRouteIdentity))
        answerIdentity(stream);
    else if (head.startsWith(protocol::kRouteMessage))
        handleMessageRoute(c, head, reader.remainder());
    else if (head.startsWith(protocol::kRouteUpload))
        handleUploadRoute(c, head, reader.remainder());
    else
        answer(stream, protocol::kBodyUnknownRoute);
    ticket.phase = Ticket::Lingering; // only this thread moves on from Serving
    closeGracefully(stream);
}

void HttpServer::closeGracefully(const DeadlineStream &stream)
{
    sock::shutdownSend(stream.socket());
    const QDeadlineTimer deadline(kLingerTimeoutMs);
    char buffer[kLingerReadChunk];
    qsizetype drained = 0;
    while (drained < kLingerMaxBytes) {
        const long n = stream.readSome(buffer, sizeof buffer, deadline);
        if (n <= 0)
            break;
        drained += n;
    }
}

void HttpServer::answerIdentity(const DeadlineStream &stream)
{
    QJsonObject identity;
    identity.insert(QLatin1String(protocol::kKeyDeviceId), localDeviceId());
    identity.insert(QLatin1String(protocol::kKeyName), QLatin1String(protocol::kInstanceLabel));
    answer(stream, QJsonDocument(identity).toJson(QJsonDocument::Compact));
}

void HttpServer::answer(const DeadlineStream &stream, const QByteArray &body)
{
    stream.writeAll(httpwire::jsonResponse(body), kAnswerStallMs);
}
