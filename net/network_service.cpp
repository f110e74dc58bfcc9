#include "network_service.h"

#include "settings_store.h"

NetworkService::NetworkService(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<RemoteDevice>("RemoteDevice");
    // Direct: the signals leave on the worker thread that raised them, as if
    // this object had raised them itself.
    constexpr auto direct = Qt::DirectConnection;
    m_server.setCredentials(m_credentials);
    connect(&m_discovery, &DiscoveryService::deviceFound, this, &NetworkService::deviceFound, direct);
    connect(&m_discovery, &DiscoveryService::deviceGone, this, &NetworkService::deviceGone, direct);
    connect(&m_discovery, &DiscoveryService::logMessage, this, &NetworkService::logMessage, direct);
    connect(&m_server, &HttpServer::messageReceived, this, &NetworkService::messageReceived, direct);
    connect(&m_server, &HttpServer::receiveNotice, this, &NetworkService::receiveNotice, direct);
    connect(&m_server, &HttpServer::logMessage, this, &NetworkService::logMessage, direct);
    connect(&m_server, &HttpServer::fileReceiveProgress, this, &NetworkService::fileReceiveProgress, direct);
    connect(&m_server, &HttpServer::fileReceiveFinished, this, &NetworkService::fileReceiveFinished, direct);
    connect(&m_server, &HttpServer::fileStored, this, &NetworkService::fileStored, direct);
    connect(&m_server, &HttpServer::fileReceiveAborted, this, &NetworkService::fileReceiveAborted, direct);
    // A phone's secret proves where the phone is only at an address it could
    // be reached at: a request from this computer itself proves nothing.
    connect(
        &m_server, &HttpServer::peerAuthenticated, this,
        [this](const QString &deviceId, const QString &ip) {
            std::uint32_t address = 0;
            if (sock::parseIPv4(ip.toStdString(), &address) &&
                m_ownInterfaces.allows(address, m_policy.load()))
                emit peerAuthenticated(deviceId, ip);
        },
        direct);
    connect(&m_client, &PeerClient::logMessage, this, &NetworkService::logMessage, direct);
    connect(&m_client, &PeerClient::fileTransferProgress, this, &NetworkService::fileTransferProgress,
            direct);
    connect(&m_client, &PeerClient::fileTransferFinished, this, &NetworkService::fileTransferFinished,
            direct);
    connect(&m_client, &PeerClient::fileTransferFailed, this, &NetworkService::fileTransferFailed, direct);
    connect(&m_client, &PeerClient::messageSent, this, &NetworkService::messageSent, direct);
    connect(&m_client, &PeerClient::messageFailed, this, &NetworkService::messageFailed, direct);
    connect(&m_client, &PeerClient::pairingSucceeded, this, &NetworkService::pairingSucceeded, direct);
    connect(&m_client, &PeerClient::pairingFailed, this, &NetworkService::pairingFailed, direct);
    connect(&m_client, &PeerClient::deviceIdentityResolved, this, &NetworkService::deviceIdentityResolved,
            direct);
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

QString NetworkService::localDeviceId()
{
    return ::localDeviceId();
}
