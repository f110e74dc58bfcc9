// Multicast DNS on the network: the responder that answers for this
// computer and the browser that finds phones, each a loop on a thread of its
// own. The loops only move datagrams and time; what to send when, and what a
// reply means, is decided by the pure Publisher and Browser.
#pragma once

#include "mdns_browser.h"
#include "mdns_socket.h"
#include "protocol.h"
#include "remote_device.h"
#include "worker_pool.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

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

    // How multicast DNS fares, for the user's check of the connection.
    struct Health
    {
        bool publishing = false;        // the socket on the mDNS port is open
        bool browsing = false;          // the socket the browser asks from is open
        std::vector<mdns::Link> joined; // where the group was joined
        bool claimed = false;           // our names are ours on the network
        QString instanceName, hostName; // as announced, after any renaming
        // The last datagram from a host other than this computer: wall-clock
        // milliseconds since the epoch (0: none yet) and its sender.
        qint64 lastForeignMs = 0;
        std::uint32_t lastForeignSender = 0; // host order
    };
    // A copy, from any thread.
    Health health() const;

signals:
    // A phone complete with address and port, when first heard and again
    // at least every few seconds while its records last.
    void deviceFound(const RemoteDevice &device);
    // A phone reported found is gone: it said goodbye, or its records ran
    // out unanswered. Carries what deviceFound last said of it.
    void deviceGone(const RemoteDevice &device);
    void logMessage(const QString &message);

private:
    void publishLoop();
    void browseLoop();
    // Feeds a received datagram to the browser that both loops share and
    // reports what it says.
    void learn(mdns::Bytes datagram);
    void report(const mdns::BrowseNews &news);
    // Remembers a datagram's arrival when it came from another host.
    void noteHeard(const sock::DatagramInfo &info);

    std::uint16_t m_httpPort;
    std::atomic<bool> m_started{false};
    std::atomic<sock::PeerAddressPolicy> m_addressPolicy{sock::PeerAddressPolicy::OtherHostsOnly};
    // The port the browser asks from, so that its questions go unanswered.
    std::atomic<std::uint16_t> m_browsePort{0};
    sock::OwnInterfaces m_ownInterfaces;
    std::mutex m_browserMutex;
    mdns::Browser m_browser;
    mutable std::mutex m_healthMutex;
    Health m_health;
    std::vector<std::uint32_t> m_ownAddresses; // under m_healthMutex
    WorkerPool m_pool;                         // last: its threads end before the members above go
};
