#include "discovery_service.h"

#include "dns_codec.h"
#include "mdns_publisher.h"
#include "mdns_socket.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>

namespace {
// After a socket error the loops wait this long before polling again, so
// that an error that persists cannot spin a core.
constexpr int kErrorBackoffMs = 200;
// Datagrams handled per wake-up; a flood then cannot keep a loop from
// noticing that it should stop.
constexpr int kMaxDatagramsPerWake = 64;

// The loops' clock: monotonic, shared by both threads.
std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QDeadlineTimer until(std::int64_t atMs)
{
    return atMs == mdns::kNever ? QDeadlineTimer(QDeadlineTimer::Forever)
                                : QDeadlineTimer(std::max<std::int64_t>(0, atMs - nowMs()));
}

// Hands the datagrams already queued on the socket to handle(bytes, info),
// so that one wake-up serves a burst of answers, but never more than the
// bound and never after the pool began to stop.
template <std::size_t N, typename Handler>
void drainDatagrams(const sock::Socket &socket, const WorkerPool &pool, std::array<char, N> &buffer,
                    Handler &&handle)
{
    for (int i = 0; i < kMaxDatagramsPerWake && !pool.stopping(); ++i) {
        sock::DatagramInfo info;
        const long n = sock::receiveDatagram(socket, buffer.data(), buffer.size(), &info);
        if (n <= 0)
            return;
        handle(mdns::Bytes(reinterpret_cast<const std::uint8_t *>(buffer.data()), std::size_t(n)), info);
    }
}

void send(const sock::Socket &socket, const mdns::Datagram &d)
{
    sock::sendDatagram(socket, reinterpret_cast<const char *>(d.bytes.data()), d.bytes.size(), d.address,
                       d.port, d.interfaceIndex);
}
} // namespace

DiscoveryService::DiscoveryService(std::uint16_t httpPort, QObject *parent)
    : QObject(parent), m_httpPort(httpPort), m_browser(QRandomGenerator::global()->generate())
{
}

DiscoveryService::~DiscoveryService()
{
    m_pool.stop();
}

void DiscoveryService::start()
{
    if (m_started.exchange(true))
        return;
    m_pool.spawnJoined([this] { publishLoop(); });
    m_pool.spawnJoined([this] { browseLoop(); });
}

void DiscoveryService::publishLoop()
{
    sock::Socket socket = mdns::openMulticastSocket(0, protocol::kMdnsPort);
    if (!socket.valid()) {
        emit logMessage(QStringLiteral("mDNS Publish Socket Fehler."));
        return;
    }
    {
        std::lock_guard lock(m_healthMutex);
        m_health.publishing = true;
    }
    mdns::PublishedService wanted;
    wanted.port = m_httpPort;
    mdns::Publisher publisher(wanted, QRandomGenerator::global()->generate(), nowMs());
    // Links are joined as they come; where the system does not say when,
    // they are looked for now and then.
    sock::InterfaceWatch watch(socket);
    std::int64_t nextRescan = mdns::kNever;
    // Opening joined the group on the links there were; joining again there fails.
    const std::vector<mdns::Link> joinedAtOpen = mdns::joinableLinks(sock::interfaceAddresses());
    std::vector<mdns::Link> joined;
    const auto rescan = [&] {
        const std::vector<sock::InterfaceAddress> interfaces = sock::interfaceAddresses();
        for (const mdns::Link &link : publisher.setInterfaces(interfaces, nowMs())) {
            if (sock::joinMulticastGroup(socket, protocol::kMdnsGroup, link.address) ||
                std::ranges::find(joinedAtOpen, link) != joinedAtOpen.end())
                joined.push_back(link);
        }
        const std::vector<mdns::Link> current = mdns::joinableLinks(interfaces);
        std::erase_if(joined,
                      [&](const mdns::Link &l) { return std::ranges::find(current, l) == current.end(); });
        {
            std::lock_guard lock(m_healthMutex);
            m_health.joined = joined;
            m_ownAddresses.clear();
            for (const sock::InterfaceAddress &a : interfaces)
                m_ownAddresses.push_back(a.address);
        }
        nextRescan = watch.watching() ? mdns::kNever : nowMs() + sock::InterfaceWatch::kFallbackRescanMs;
    };
    rescan();
    std::array<char, mdns::kMessageBufferSize> buffer;
    while (!m_pool.stopping()) {
        if (nowMs() >= nextRescan)
            rescan();
        for (const mdns::Datagram &d : publisher.due(nowMs()))
            send(socket, d);
        for (const mdns::Publisher::Event &e : publisher.takeEvents()) {
            {
                std::lock_guard lock(m_healthMutex);
                m_health.claimed = true;
                m_health.instanceName = mdns::instanceLabel(QString::fromStdString(e.instanceName));
                m_health.hostName = QString::fromStdString(publisher.service().hostName);
            }
            if (e.kind == mdns::Publisher::Event::Claimed)
                emit logMessage(QStringLiteral("mDNS Service aktiv."));
            else
                emit logMessage(QStringLiteral("mDNS Name belegt, neuer Name: %1.")
                                    .arg(mdns::instanceLabel(QString::fromStdString(e.instanceName))));
        }
        const sock::Readiness ready =
            m_pool.waitReadable(watch.waitable(), until(std::min(publisher.nextDueMs(), nextRescan)));
        if (ready == sock::Readiness::Error)
            m_pool.sleep(kErrorBackoffMs);
        if (ready != sock::Readiness::Ready)
            continue;
        if (watch.changed())
            rescan();
        drainDatagrams(socket, m_pool, buffer, [&](mdns::Bytes datagram, const sock::DatagramInfo &info) {
            noteHeard(info);
            learn(datagram); // phones that announce themselves by multicast are heard here
            publisher.receive(datagram, info, m_browsePort, nowMs());
        });
    }
    // Quitting: phones forget this computer now, not when its records expire.
    for (const mdns::Datagram &d : publisher.goodbyes())
        send(socket, d);
}

void DiscoveryService::browseLoop()
{
    sock::Socket socket = mdns::openMulticastSocket(0, 0);
    if (!socket.valid()) {
        emit logMessage(QStringLiteral("mDNS Browse Socket Fehler."));
        return;
    }
    m_browsePort = sock::localPort(socket);
    {
        std::lock_guard lock(m_healthMutex);
        m_health.browsing = true;
    }
    const bool fromMdnsPort = m_browsePort == protocol::kMdnsPort;
    std::array<char, mdns::kReceiveBufferSize> buffer;
    while (!m_pool.stopping()) {
        mdns::Browser::Due due;
        {
            std::lock_guard lock(m_browserMutex);
            due = m_browser.due(nowMs(), fromMdnsPort);
        }
        if (!due.query.empty()) {
            mdns::Datagram query{protocol::kMdnsGroup, protocol::kMdnsPort, std::move(due.query)};
            const auto interfaces = mdns::multicastInterfaces(sock::interfaceAddresses());
            if (interfaces.empty())
                send(socket, query);
            for (int index : interfaces) {
                query.interfaceIndex = index;
                send(socket, query);
            }
        }
        report(due.news);
        const sock::Readiness ready = m_pool.waitReadable(socket, until(due.nextMs));
        if (ready == sock::Readiness::Error)
            m_pool.sleep(kErrorBackoffMs);
        if (ready == sock::Readiness::Ready)
            drainDatagrams(socket, m_pool, buffer, [&](mdns::Bytes datagram, const sock::DatagramInfo &info) {
                noteHeard(info);
                learn(datagram);
            });
    }
}

void DiscoveryService::learn(mdns::Bytes datagram)
{
    mdns::BrowseNews news;
    {
        std::lock_guard lock(m_browserMutex);
        news = m_browser.feed(datagram, nowMs());
    }
    report(news);
}

void DiscoveryService::report(const mdns::BrowseNews &news)
{
    // An announcement may point at this computer itself (its loopback, its
    // own address and port) or at no single host; none of these is a phone.
    const auto phone = [this](const RemoteDevice &device) {
        const QByteArray ip = device.ip.toLatin1();
        std::uint32_t address = 0;
        return sock::parseIPv4(std::string_view(ip.constData(), std::size_t(ip.size())), &address) &&
               m_ownInterfaces.allows(address, m_addressPolicy);
    };
    const qint64 seen = QDateTime::currentMSecsSinceEpoch();
    for (RemoteDevice device : news.found) {
        device.lastSeen = seen;
        if (phone(device))
            emit deviceFound(device);
    }
    for (const RemoteDevice &device : news.gone) {
        if (phone(device))
            emit deviceGone(device);
    }
}

DiscoveryService::Health DiscoveryService::health() const
{
    std::lock_guard lock(m_healthMutex);
    return m_health;
}

void DiscoveryService::noteHeard(const sock::DatagramInfo &info)
{
    // Our own multicasts come back to us; only another host's packets prove
    // that multicast crosses the network.
    constexpr std::uint32_t kLoopbackNet = 0x7F000000, kLoopbackMask = 0xFF000000;
    if ((info.sender & kLoopbackMask) == kLoopbackNet)
        return;
    std::lock_guard lock(m_healthMutex);
    if (std::ranges::find(m_ownAddresses, info.sender) != m_ownAddresses.end())
        return;
    m_health.lastForeignMs = QDateTime::currentMSecsSinceEpoch();
    m_health.lastForeignSender = info.sender;
}
