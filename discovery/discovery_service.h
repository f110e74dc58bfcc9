// Multicast DNS on the network: the responder that answers for this
// computer and the browser that finds phones, each a loop on a thread of its
// own. The loops only move datagrams; what to answer and what a reply means
// is decided by MdnsResponder and the browser's pure functions.
#pragma once

#include "mdns_cache.h"
#include "protocol.h"
#include "remote_device.h"
#include "worker_pool.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>

class DiscoveryService : public QObject
{
    Q_OBJECT

public:
    // httpPort: the port announced for this computer's HTTP service.
    explicit DiscoveryService(std::uint16_t httpPort = protocol::kHttpPort, QObject *parent = nullptr);
    // Ends both loops before returning.
    ~DiscoveryService() override;

    // Starts the responder and the browser. Does nothing when already started.
    void start();
    void stop() { m_pool.stop(); }
    // Which addresses reported phones may have (sock::isPeerAddress): an
    // announcement may name any, and the window contacts what it is told.
    // Only other hosts unless set otherwise.
    void setAddressPolicy(sock::PeerAddressPolicy policy) { m_addressPolicy = policy; }

signals:
    void deviceFound(const RemoteDevice &device);
    void logMessage(const QString &message);

private:
    void publishLoop();
    void browseLoop();
    // Feeds a received datagram to the cache that both loops share and
    // reports every phone it completes or refreshes.
    void learn(mdns::Bytes datagram);

    std::uint16_t m_httpPort;
    std::atomic<bool> m_started{false};
    std::atomic<sock::PeerAddressPolicy> m_addressPolicy{sock::PeerAddressPolicy::OtherHostsOnly};
    sock::OwnInterfaces m_ownInterfaces;
    std::mutex m_cacheMutex;
    mdns::BrowseCache m_cache;
    WorkerPool m_pool; // last: its threads end before the members above go
};
