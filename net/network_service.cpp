#include "network_service.h"

#include "settings_store.h"

NetworkService::NetworkService(QObject *parent) : QObject(parent)
{
    // It travels in queued signals from the services' threads.
    qRegisterMetaType<RemoteDevice>();
    m_server.setCredentials(m_credentials);
    // Automatic connections: what a service raises on a worker thread is
    // passed on from this object's thread, so no slot connected to this
    // object runs on a worker, nor while a worker holds its pool's owner
    // lock. The signals of one worker keep their order.
    connect(&m_discovery, &DiscoveryService::deviceFound, this, &NetworkService::deviceFound);
    connect(&m_discovery, &DiscoveryService::deviceGone, this, &NetworkService::deviceGone);
    connect(&m_discovery, &DiscoveryService::logMessage, this, &NetworkService::logMessage);
    connect(&m_server, &HttpServer::messageReceived, this, &NetworkService::messageReceived);
    connect(&m_server, &HttpServer::receiveNotice, this, &NetworkService::receiveNotice);
    connect(&m_server, &HttpServer::logMessage, this, &NetworkService::logMessage);
    connect(&m_server, &HttpServer::fileReceiveProgress, this, &NetworkService::fileReceiveProgress);
    connect(&m_server, &HttpServer::fileReceiveFinished, this, &NetworkService::fileReceiveFinished);
    connect(&m_server, &HttpServer::fileStored, this, &NetworkService::fileStored);
    connect(&m_server, &HttpServer::fileReceiveAborted, this, &NetworkService::fileReceiveAborted);
    // A phone's secret proves where the phone is only at an address it could
    // be reached at: a request from this computer itself proves nothing.
    connect(&m_server, &HttpServer::peerAuthenticated, this, [this](const QString &deviceId, const QString &ip) {
        std::uint32_t address = 0;
        if (sock::parseIPv4(ip.toStdString(), &address) && m_ownInterfaces.allows(address, m_policy.load()))
            emit peerAuthenticated(deviceId, ip);
    });
    connect(&m_client, &PeerClient::logMessage, this, &NetworkService::logMessage);
    connect(&m_client, &PeerClient::fileTransferProgress, this, &NetworkService::fileTransferProgress);
    connect(&m_client, &PeerClient::fileTransferFinished, this, &NetworkService::fileTransferFinished);
    connect(&m_client, &PeerClient::fileTransferFailed, this, &NetworkService::fileTransferFailed);
    connect(&m_client, &PeerClient::messageSent, this, &NetworkService::messageSent);
    connect(&m_client, &PeerClient::messageFailed, this, &NetworkService::messageFailed);
    connect(&m_client, &PeerClient::pairingSucceeded, this, &NetworkService::pairingSucceeded);
    connect(&m_client, &PeerClient::pairingFailed, this, &NetworkService::pairingFailed);
    connect(&m_client, &PeerClient::deviceIdentityResolved, this, &NetworkService::deviceIdentityResolved);
}

NetworkService::~NetworkService()
{
    // Every thread ends, or stops reporting, while this object can still
    // pass its signals on. Workers stuck in file I/O are waited for once,
    // not once per service.
    m_client.requestStop();
    m_server.requestStop();
    m_discovery.stop();
    m_client.stop();
    m_server.stop();
}

void NetworkService::setPairedDevices(const QList<RemoteDevice> &devices)
{
    m_credentials->replace(devices);
    m_pairedDevicesSet = true;
}

void NetworkService::start()
{
    if (!m_pairedDevicesSet)
        m_credentials->replace(readPairedDevices());
    m_server.start();
    m_discovery.start();
}
