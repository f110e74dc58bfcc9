// Requests this computer makes to phones: identity lookups, pairing,
// messages and files. Each runs on a worker thread of its own, waits only
// through deadline-bounded, stop-aware streams, and reports through signals.
#pragma once

#include "deadline_stream.h"
#include "peer_wire.h"
#include "protocol.h"
#include "remote_device.h"
#include "worker_pool.h"

#include <QObject>
#include <QString>

// A phone that walks out of range or falls asleep mid-request must not hold
// a thread and a socket for ever; each bounded wait ends with the failure of
// its step.
struct ClientLimits
{
    int connectTimeoutMs = protocol::kConnectTimeoutMs;
    int replyIdleTimeoutMs = protocol::kReplyIdleTimeoutMs;
    int sendStallTimeoutMs = protocol::kSendStallTimeoutMs;
    // Tests force the buffered copy to check the way other platforms go.
    DeadlineStream::FileCopy bodyCopy = DeadlineStream::FileCopy::InKernel;
};

class PeerClient : public QObject
{
    Q_OBJECT

public:
    explicit PeerClient(QObject *parent = nullptr);
    // Ends every request before returning, without a word to the user.
    ~PeerClient() override;

    void resolveIdentity(RemoteDevice device);
    void pairDevice(const RemoteDevice &device, const QString &code);
    void sendMessage(const RemoteDevice &device, const QString &message);
    void sendFile(const RemoteDevice &device, const QString &filePath);

    // Ends every request; later ones are not started.
    void stop() { m_pool.stop(); }
    // Applies to the requests started after this call.
    void setLimits(const ClientLimits &limits) { m_limits = limits; }

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
    // Connects for request; when that fails, tells the user what the request
    // kind calls for and returns false. False too once the client stops.
    bool connectFor(peerwire::Request request, const RemoteDevice &device, const ClientLimits &limits,
                    sock::Socket *socket, QString *failureText = nullptr);
    QString reportConnectFailure(peerwire::Request request, peerwire::ConnectFailure failure);
    // Logs a failed send and reports it as its outcome (unless quitting).
    void failFile(const RemoteDevice &device, const QString &fileName, const QString &reason);
    void failMessage(const RemoteDevice &device, const QString &reason);
    void runIdentityRequest(RemoteDevice device, const ClientLimits &limits);
    void runPairing(const RemoteDevice &device, const QString &code, const ClientLimits &limits);
    void runMessage(const RemoteDevice &device, const QString &message, const ClientLimits &limits);
    void runFileTransfer(const RemoteDevice &device, const QString &filePath, const ClientLimits &limits);

    ClientLimits m_limits;
    WorkerPool m_pool; // last: its threads end before the members above go
};
