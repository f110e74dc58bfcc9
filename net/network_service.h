#pragma once

#include "dns_codec.h"
#include "remote_device.h"
#include "socket.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

struct WorkerPool;

// Limits of the HTTP server. Every wait and every size a peer controls is
// bounded; the defaults are what the program uses, tests may shorten them.
struct ServerLimits
{
    // Largest request head is httpwire::kMaxHeadBytes.
    int headTimeoutMs = 30000;     // whole head phase, not per read
    int bodyIdleTimeoutMs = 60000; // no body byte arrives for this long
    int maxConnectionsPerAddress = 32;
    int maxConnections = 512;
};

// Limits of the requests this computer makes to peers. A phone that walks
// out of range or falls asleep mid-request must not hold a thread and a
// socket for ever; each bounded wait ends with the failure of its step.
struct ClientLimits
{
    int connectTimeoutMs = 5000;    // until the peer accepts the connection
    int replyIdleTimeoutMs = 30000; // no byte of the reply arrives
    int sendStallTimeoutMs = 30000; // the peer takes no byte of the request
};

// The one object through which the desktop side reaches the local network:
// the HTTP server for paired peers, mDNS discovery and the client requests.
// It never touches widgets; everything it learns travels through signals,
// emitted from worker threads.
class NetworkService : public QObject
{
    Q_OBJECT

public:
    static constexpr std::uint16_t kHttpPort = 53319;
    static constexpr const char *kDisplayName = mdns::kInstanceLabel;
    // Largest message body read by its Content-Length; longer ones are refused.
    static constexpr qint64 kMaxMessageBytes = 1024 * 1024;
    // Bytes asked of the socket per read while an upload body streams in.
    static constexpr std::size_t kUploadReadChunk = 64 * 1024;

    explicit NetworkService(QObject *parent = nullptr);
    // Ends every worker thread before returning: the listening socket and the
    // loops notice the cleared flag within one poll slice, and connection and
    // request threads stop at their next wait. Nothing runs on a destroyed
    // service.
    ~NetworkService() override;

    void start();

    void setReceiveFolder(const QString &folder);
    QString receiveFolder() const;

    static QString localDeviceId();

    // Outgoing requests; each runs on a thread of its own and reports only
    // through signals.
    void resolveIdentity(RemoteDevice device);
    void pairDevice(const RemoteDevice &device, const QString &code);
    void sendMessage(const RemoteDevice &device, const QString &message);
    void sendFile(const RemoteDevice &device, const QString &filePath);

    // For tests: tighter limits, set before start().
    void setServerLimits(const ServerLimits &limits) { m_limits = limits; }
    // For tests: tighter limits for the requests started after this call.
    void setClientLimits(const ClientLimits &limits) { m_clientLimits = limits; }
    // For tests: the HTTP port to listen on (0 picks a free one), before start().
    void setHttpPort(std::uint16_t port) { m_httpPort = port; }
    // The port the server is listening on once it logged that it is active.
    std::uint16_t listeningPort() const { return m_boundPort.load(); }

signals:
    void deviceFound(const RemoteDevice &device);
    void messageReceived(const QString &message);
    void logMessage(const QString &message);
    void fileTransferProgress(int percent, qint64 sentBytes, qint64 totalBytes, double speedMBps);
    void fileTransferFinished(const QString &ip, int port, const QString &filename);
    void fileReceiveProgress(int percent, qint64 receivedBytes, qint64 totalBytes, double speedBytesPerSecond);
    void fileReceiveFinished(const QString &filename);
    void pairingSucceeded(const RemoteDevice &device);
    void pairingFailed(const QString &reason);
    void deviceIdentityResolved(const RemoteDevice &device);

private:

    // Long-running loops, each on a thread of its own.
    void startHttpServer();
    void mdnsPublishLoop();
    void mdnsBrowseLoop();

    // One accepted connection, on a thread of its own.
    void handleConnection(sock::Socket socket);
    void answerIdentity(const sock::Socket &socket);
    void handleMessageRoute(const sock::Socket &socket, const QByteArray &head, const QByteArray &remainder);
    void handleUploadRoute(const sock::Socket &socket, const QByteArray &head, const QByteArray &remainder);
    static void sendJsonResponse(const sock::Socket &socket, const QByteArray &body);
    void closeGracefully(const sock::Socket &socket);

    // True when the head carries the device id and shared secret of a paired
    // peer. Reads the stored registry afresh.
    static bool isAuthorized(const QByteArray &head);
    // Streams an accepted upload into the receive folder and answers it.
    void receiveUpload(const sock::Socket &socket, const QString &name, qint64 length,
                       const QByteArray &remainder);
    // One read of body bytes on a non-blocking socket: > 0 bytes, 0 when the
    // peer closed, sock::kIoError on an error, on the idle time-out or when
    // the service stops.
    long receiveBody(const sock::Socket &socket, char *buffer, std::size_t capacity) const;

    // The client exchange shared by all requests to peers.
    enum class PeerConnect { Connected, BadAddress, Failed };
    PeerConnect connectToPeer(const QString &ip, int port, const ClientLimits &limits,
                              sock::Socket *out) const;
    // Hands all of data to the socket; false when the peer is gone, takes no
    // byte for stallMs, or the service stops. onSent hears of every partial
    // write, so that progress follows what the peer really took.
    bool sendRequest(const sock::Socket &socket, const char *data, qsizetype size, int stallMs,
                     const std::function<void(qint64)> &onSent = {}) const;
    bool sendRequest(const sock::Socket &socket, const QByteArray &data, int stallMs) const
    {
        return sendRequest(socket, data.constData(), data.size(), stallMs);
    }
    // Everything the peer sends until it closes, then closes the socket.
    // Empty when no valid answer can come of it: nothing for idleMs, more
    // than the reply cap, or the service stops.
    QByteArray readUntilClosed(sock::Socket &socket, int idleMs) const;
    void runIdentityRequest(RemoteDevice device, const ClientLimits &limits);
    void runPairing(const RemoteDevice &device, const QString &code, const ClientLimits &limits);
    void runMessage(const RemoteDevice &device, const QString &message, const ClientLimits &limits);
    void runFileTransfer(const RemoteDevice &device, const QString &filePath, const ClientLimits &limits);

    // Runs f on a new thread that the destructor waits for. Returns false,
    // without running f, once the service is being destroyed or when no
    // thread can be made.
    template <typename F> bool spawnWorker(F &&f);

    // True while the service runs; false from the start of destruction.
    bool isRunning() const { return running.load(); }
    // True once destruction began. Requests then end without a word: nobody
    // is left to hear it.
    bool isStopping() const;
    // Sleeps up to ms, returning early (false) when the service stops.
    bool sleepWhileRunning(int ms) const;
    // Waits until the socket is readable, in short slices so that a stopping
    // service is noticed. Ready, Timeout (deadline passed) or Error (also
    // when the service stops).
    sock::Readiness waitReadable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;
    sock::Readiness waitWritable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;

    QString m_receiveFolder;
    mutable std::mutex mutex;
    std::atomic<bool> running{false};

    std::shared_ptr<WorkerPool> m_pool;
    ServerLimits m_limits;
    ClientLimits m_clientLimits;
    std::uint16_t m_httpPort = kHttpPort;
    std::atomic<std::uint16_t> m_boundPort{0};
};
