// Requests this computer makes to phones: identity lookups, pairing,
// messages and files. Each runs on a worker thread, waits only through
// deadline-bounded, stop-aware streams, and reports through signals. Files
// to one phone take turns (see sendFile), identity lookups share a few
// threads (see resolveIdentity), and addresses that are no phone's are
// never contacted (see setAddressPolicy).
#pragma once

#include "deadline_stream.h"
#include "identity_throttle.h"
#include "peer_wire.h"
#include "protocol.h"
#include "remote_device.h"
#include "worker_pool.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <map>
#include <optional>
#include <utility>

// A phone that walks out of range or falls asleep mid-request must not hold
// a thread and a socket for ever; each bounded wait ends with the failure of
// its step.
struct ClientLimits
{
    int connectTimeoutMs = protocol::kConnectTimeoutMs;
    int replyIdleTimeoutMs = protocol::kReplyIdleTimeoutMs;
    int sendStallTimeoutMs = protocol::kSendStallTimeoutMs;
};

class PeerClient : public QObject
{
    Q_OBJECT

public:
    explicit PeerClient(QObject *parent = nullptr);
    // Ends every request, without a word to the user, as stop() does.
    ~PeerClient() override;

    // Reports a resolved identity only; a lookup that fails, or is never
    // made, says nothing. At most protocol::kIdentityLookupsAtOnce run at
    // once and a few dozen wait, so that strangers announcing hundreds of
    // phones cost a few threads and sockets; one address and port is asked
    // at most once a minute (see IdentityThrottle).
    void resolveIdentity(RemoteDevice device);
    void pairDevice(const RemoteDevice &device, const QString &code);
    void sendMessage(const RemoteDevice &device, const QString &message);
    // At most kMaxSendsPerPeer files go to one phone (address and port) at
    // once, so that dropping hundreds of files costs a few threads, sockets
    // and open files; the others wait and start in the order they came.
    void sendFile(const RemoteDevice &device, const QString &filePath);
    static constexpr int kMaxSendsPerPeer = 2;

    // Ends every request. One stuck in the system (a file on a stalled
    // mount) is not waited for long: it ends by itself later, unheard. Files
    // still waiting for their turn are dropped; later requests not started.
    void stop() { m_pool.stop(); }
    // Begins stop() and returns at once; stop() then waits no longer.
    void requestStop() { m_pool.requestStop(); }
    // Applies to the requests started after this call.
    void setLimits(const ClientLimits &limits) { m_limits = limits; }
    // Which addresses phones may have (sock::isPeerAddress). A request to any
    // other is never started: lookups are dropped, and pairing, messages and
    // files fail with "Adresse nicht erlaubt: <address>". Only other hosts
    // unless set otherwise.
    void setAddressPolicy(sock::PeerAddressPolicy policy) { m_addressPolicy = policy; }

signals:
    void logMessage(const QString &message);
    void fileTransferProgress(int percent, qint64 sentBytes, qint64 totalBytes, double speedMBps);
    void fileTransferFinished(const QString &ip, int port, const QString &filename);
    // Every way a send can end without the phone's "received", with the
    // German reason also logged; the window shows it to the user.
    void fileTransferFailed(const QString &ip, int port, const QString &filename, const QString &reason);
    void messageSent(const QString &ip, int port);
    void messageFailed(const QString &ip, int port, const QString &reason);
    void pairingSucceeded(const RemoteDevice &device);
    void pairingFailed(const QString &reason);
    void deviceIdentityResolved(const RemoteDevice &device);

private:
    struct FileSend
    {
        RemoteDevice device;
        QString filePath;
        ClientLimits limits;
    };
    using PeerKey = std::pair<QString, int>;
    struct Lookup
    {
        RemoteDevice device;
        ClientLimits limits;
    };
    struct PeerSends
    {
        std::deque<FileSend> waiting;
        int running = 0; // workers taking files from waiting
    };

    // The workers run these. They may be left behind by stop() and outlive
    // this object, so they reach it only through client.with().
    using Client = OwnerHandle<PeerClient>;
    static bool connectFor(const Client &client, peerwire::Request request, const RemoteDevice &device,
                           const ClientLimits &limits, sock::Socket *socket, QString *failureText = nullptr);
    // Makes the waiting lookups, one after the other, until none is left.
    static void runLookups(const Client &client);
    static void runIdentityRequest(const Client &client, RemoteDevice device, const ClientLimits &limits);
    static void runPairing(const Client &client, const RemoteDevice &device, const QString &code,
                           const ClientLimits &limits);
    static void runMessage(const Client &client, const RemoteDevice &device, const QString &message,
                           const ClientLimits &limits);
    // Sends the files waiting for peer, one after the other, until none is left.
    static void runSends(const Client &client, const PeerKey &peer);
    static void runFileTransfer(const Client &client, const FileSend &send);

    // Log a failed send and report it as its outcome, unless stopping.
    void reportFileFailure(const RemoteDevice &device, const QString &fileName, const QString &reason);
    void reportMessageFailure(const RemoteDevice &device, const QString &reason);
    // The reason a request to device is refused before it starts, if any.
    std::optional<QString> refusal(const RemoteDevice &device);

    ClientLimits m_limits;
    std::atomic<sock::PeerAddressPolicy> m_addressPolicy{sock::PeerAddressPolicy::OtherHostsOnly};
    sock::OwnInterfaces m_ownInterfaces;
    // Only under client.with() or the pool's whileRunning():
    std::map<PeerKey, PeerSends> m_sends;
    IdentityThrottle m_lookupThrottle;
    std::deque<Lookup> m_lookups; // waiting, not yet started
    int m_lookupWorkers = 0;      // workers taking lookups from m_lookups
    WorkerPool m_pool;            // last: stopped before the members above go
};
