// The one object through which the window reaches the local network. It owns
// the three services (HTTP server, peer client, discovery) and passes their
// signals on from its own thread. It never touches widgets.
#pragma once

#include "discovery_service.h"
#include "http_server.h"
#include "paired_credentials.h"
#include "peer_client.h"
#include "remote_device.h"

#include <QList>
#include <QObject>

#include <QString>
#include <atomic>

#include <memory>

class NetworkService : public QObject
{
    Q_OBJECT

public:
    explicit NetworkService(QObject *parent = nullptr);
    // Ends the threads of the three services before returning; a service may
    // leave one stuck in the system behind, which then no longer reaches it
    // (and WorkerPool::leftJobsBehind() says so).
    ~NetworkService() override;

    // Starts the HTTP server, the mDNS responder and the browser, once.
    void start();

    // Whom the server accepts: the window hands its devices over whenever
    // its paired list changes, and an unpaired phone is refused from the very
    // next request. Until the first call, the devices stored when start()
    // runs are accepted.
    void setPairedDevices(const QList<RemoteDevice> &devices);

    void setReceiveFolder(const QString &folder) { m_server.setReceiveFolder(folder); }
    QString receiveFolder() const { return m_server.receiveFolder(); }

    void resolveIdentity(RemoteDevice device) { m_client.resolveIdentity(std::move(device)); }
    void pairDevice(const RemoteDevice &device, const QString &code) { m_client.pairDevice(device, code); }
    void sendMessage(const RemoteDevice &device, const QString &message)
    {
        m_client.sendMessage(device, message);
    }
    void sendFile(const RemoteDevice &device, const QString &filePath)
    {
        m_client.sendFile(device, filePath);
    }

    // For tests: tighter limits and a simulated file system, set before start().
    void setServerLimits(const ServerLimits &limits) { m_server.setLimits(limits); }
    std::uint16_t listeningPort() const { return m_server.listeningPort(); }
    // How multicast DNS fares, for the user's check of the connection.
    DiscoveryService::Health discoveryHealth() const { return m_discovery.health(); }
    // Which addresses phones may have, for discovery and requests alike.
    void setAddressPolicy(sock::PeerAddressPolicy policy)
    {
        m_policy = policy;
        m_client.setAddressPolicy(policy);
        m_discovery.setAddressPolicy(policy);
    }

signals:
    void deviceFound(const RemoteDevice &device);
    // A phone said goodbye, or its records ran out unanswered.
    void deviceGone(const RemoteDevice &device);
    void messageReceived(const QString &message, const QString &deviceId);
    void receiveNotice(const QString &notice);
    void logMessage(const QString &message);
    void fileTransferProgress(int percent, qint64 sentBytes, qint64 totalBytes, double speedMBps);
    void fileTransferFinished(const QString &ip, int port, const QString &filename);
    void fileTransferFailed(const QString &ip, int port, const QString &filename, const QString &reason);
    void messageSent(const QString &ip, int port);
    void messageFailed(const QString &ip, int port, const QString &reason);
    void fileReceiveProgress(int percent, qint64 receivedBytes, qint64 totalBytes,
                             double speedBytesPerSecond);
    void fileReceiveFinished(const QString &filename);
    void fileStored(const QString &path, qint64 size, const QString &deviceId);
    void fileReceiveAborted(const QString &name);
    void peerAuthenticated(const QString &deviceId, const QString &ip);
    void pairingSucceeded(const RemoteDevice &device);
    void pairingFailed(const QString &reason);
    void deviceIdentityResolved(const RemoteDevice &device);

private:
    std::atomic<sock::PeerAddressPolicy> m_policy{sock::PeerAddressPolicy::OtherHostsOnly};
    sock::OwnInterfaces m_ownInterfaces;
    // Shared with the server, which asks it on every request.
    const std::shared_ptr<PairedCredentials> m_credentials = std::make_shared<PairedCredentials>();
    bool m_pairedDevicesSet = false; // start() then leaves the table as the window gave it
    HttpServer m_server;
    PeerClient m_client;
    DiscoveryService m_discovery;
};
