// The HTTP service for paired phones: the listener, one thread per
// connection, request framing, the identity answer, and the message and
// upload routes (peer_routes.cpp) that store received files.
#pragma once

#include "deadline_stream.h"
#include "file_store.h"
#include "paired_credentials.h"
#include "protocol.h"
#include "socket.h"
#include "worker_pool.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// Every wait and every size a peer controls is bounded; the defaults are what
// the program uses, tests may shorten them.
struct ServerLimits
{
    int headTimeoutMs = protocol::kHeadTimeoutMs;
    int bodyIdleTimeoutMs = protocol::kBodyIdleTimeoutMs;
    int maxConnectionsPerAddress = protocol::kMaxConnectionsPerAddress;
    int maxConnections = protocol::kMaxConnections;
    int headLineTimeoutMs = protocol::kHeadLineTimeoutMs;
    // Tests force the buffered copy to check the way other platforms go,
    // and make the file system answer as FAT or a slow USB stick does.
    DeadlineStream::FileCopy bodyCopy = DeadlineStream::FileCopy::InKernel;
    filestore::FileSystemOps fileSystem = {};
};

class HttpServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpServer(QObject *parent = nullptr);
    // Ends the listener and every connection thread before returning.
    ~HttpServer() override;

    // Listens on port (0 picks a free one) on a thread of its own; logs
    // whether that worked. Clears the receive folder of temporary files that
    // earlier runs left. Does nothing when already started.
    void start(std::uint16_t port = protocol::kHttpPort);
    // Ends the listener and every connection; nothing is served afterwards.
    void stop();
    // Begins stop() and returns at once; stop() then waits no longer.
    void requestStop() { m_pool.requestStop(); }

    // Set before start(); applies to the connections accepted afterwards.
    void setLimits(const ServerLimits &limits) { m_limits = limits; }
    // Whom the message and upload routes accept, asked on every request. Set
    // before start(); a server given none accepts the paired devices stored
    // when it starts.
    void setCredentials(std::shared_ptr<const PairedCredentials> credentials)
    {
        m_credentials = std::move(credentials);
    }
    // The port the server listens on once it logged that it is active, else 0.
    std::uint16_t listeningPort() const { return m_boundPort.load(); }

    // Also clears the folder of temporary files that earlier runs left.
    void setReceiveFolder(const QString &folder);
    // The chosen folder, or the user's download folder when none was chosen.
    QString receiveFolder() const;

signals:
    // A paired phone's text message, and nothing else; deviceId names the phone.
    void messageReceived(const QString &message, const QString &deviceId);
    // The server's own notes on a receive ("Datei empfangen: " and the stored
    // path, "Transfer abgebrochen: " and the name): lines for the log, not
    // words of a phone.
    void receiveNotice(const QString &notice);
    void logMessage(const QString &message);
    void fileReceiveProgress(int percent, qint64 receivedBytes, qint64 totalBytes,
                             double speedBytesPerSecond);
    void fileReceiveFinished(const QString &filename);
    // The same upload's file, stored at path (size bytes), from the phone deviceId.
    void fileStored(const QString &path, qint64 size, const QString &deviceId);
    // An upload ended before its last byte; name is the sanitised name.
    void fileReceiveAborted(const QString &name);
    // A request from ip carried the device id and secret of a paired phone:
    // proof of where that phone is now. Once per such request.
    void peerAuthenticated(const QString &deviceId, const QString &ip);

private:
    using Server = OwnerHandle<HttpServer>;
    // What a connection's thread holds. The thread may outlive the server (a
    // file write stuck on a stalled mount when the program quits), so it
    // reaches the server only through server.with().
    struct Connection
    {
        const Server &server;
        const DeadlineStream &stream;
        const ServerLimits &limits;
        std::uint32_t peer; // the peer's IPv4 address
    };

    // An open connection as the accept loop and the connection's thread
    // both see it (http_server.cpp).
    struct Ticket;

    void acceptLoop(std::uint16_t port);
    // Removes from the receive folder the temporary files of uploads that
    // ended in a crash, long ago.
    static void removeLeftovers(const Server &server);
    // A connection's thread: answers the request, then gives up its place.
    static void serve(const Server &server, const std::shared_ptr<Ticket> &ticket,
                      const ServerLimits &limits);
    static void respond(const Server &server, Ticket &ticket, const ServerLimits &limits);
    static void closeGracefully(const DeadlineStream &stream);
    static void answerIdentity(const DeadlineStream &stream);
    static void answer(const DeadlineStream &stream, const QByteArray &body);

    // peer_routes.cpp
    static bool isAuthorized(const Connection &c, const QByteArray &head);
    static void handleMessageRoute(const Connection &c, const QByteArray &head, const QByteArray &remainder);
    static void handleUploadRoute(const Connection &c, const QByteArray &head, const QByteArray &remainder);
    static void receiveUpload(const Connection &c, const QString &deviceId, const QString &name,
                              qint64 length, const QByteArray &remainder);
    // The steps of receiveUpload, each answering the peer itself when it
    // fails. placeUpload opens file under a temporary name in the receive
    // folder and returns the path the file is meant to get; empty on failure.
    static QString placeUpload(const Connection &c, const QString &name, qint64 length, QFile &file);
    static bool receiveBody(const Connection &c, QFile &file, const QString &name, qint64 length,
                            const QByteArray &remainder);

    // Counted places among the open connections, per peer address and in all,
    // so that no single host can exhaust threads, and no crowd of heads that
    // never end can keep a paired phone out.
    bool acquireSlot(const std::shared_ptr<Ticket> &ticket);
    void releaseSlot(const Ticket &ticket);
    // With m_mutex held: closes heads that stalled once the server is busy,
    // and when every place is taken the oldest connection that is still
    // sending its head or has had its answer.
    void makeRoom();
    using OpenConnections = std::map<std::uint64_t, std::shared_ptr<Ticket>>; // by order of arrival
    using OpenConnection = OpenConnections::iterator;
    void closeForRoom(OpenConnection &it);
    // Counts the connection out; the next one.
    OpenConnection forget(OpenConnection it);

    mutable std::mutex m_mutex; // guards the receive folder and the open connections
    QString m_receiveFolder;
    OpenConnections m_open;
    std::uint64_t m_arrivals = 0;
    std::map<std::uint32_t, int> m_connectionsPerAddress;

    std::atomic<bool> m_started{false};
    std::atomic<std::uint16_t> m_boundPort{0};
    ServerLimits m_limits;
    std::shared_ptr<const PairedCredentials> m_credentials;
    WorkerPool m_pool; // last: its threads end before the members above go
};
