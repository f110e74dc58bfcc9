#include "discovery_service.h"

#include "dns_codec.h"
#include "mdns_browser.h"
#include "mdns_probe.h"
#include "mdns_responder.h"
#include "mdns_socket.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace {
// After a socket error the loops wait this long before polling again, so
// that an error that persists cannot spin a core.
constexpr int kErrorBackoffMs = 200;
// Datagrams handled per wake-up; a flood then cannot keep a loop from
// noticing that it should stop.
constexpr int kMaxDatagramsPerWake = 64;
// Interfaces are listed again this often, so that a network that comes up
// after the program (Wi-Fi after login, a dock) is joined and announced on.
constexpr qint64 kLinkRescanMs = 5000;
// Probes claiming our names before we answer for them (RFC 6762 §8.1): this
// many, this far apart, the first after a random delay of up to the same.
constexpr int kProbes = 3;
constexpr qint64 kProbeSpacingMs = 250;
// After losing a tie-break against a simultaneous prober, wait this long.
constexpr qint64 kTieBreakPauseMs = 1000;
// Unsolicited announcements on a link that is new to us, this far apart.
constexpr int kAnnouncementsPerLink = 2;
constexpr qint64 kAnnouncementSpacingMs = 1000;

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

void sendBytes(const sock::Socket &socket, mdns::Bytes bytes, std::uint32_t address, std::uint16_t port,
               int interfaceIndex)
{
    sock::sendDatagram(socket, reinterpret_cast<const char *>(bytes.data()), bytes.size(), address, port,
                       interfaceIndex);
}

// Unsolicited announcements still to send on one link.
struct DueAnnouncement
{
    mdns::Link link;
    qint64 atMs = 0;
    int left = kAnnouncementsPerLink;
};
} // namespace

DiscoveryService::DiscoveryService(std::uint16_t httpPort, QObject *parent)
    : QObject(parent), m_httpPort(httpPort)
{
    qRegisterMetaType<RemoteDevice>("RemoteDevice");
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
    mdns::PublishedService wanted;
    wanted.port = m_httpPort;
    // Our names are probed for first; the responder answers once they are ours.
    mdns::Prober prober(wanted);
    std::optional<mdns::MdnsResponder> responder;
    int probesLeft = kProbes;

    QElapsedTimer clock;
    clock.start();
    qint64 nextProbe = QRandomGenerator::global()->bounded(kProbeSpacingMs);
    std::vector<sock::InterfaceAddress> interfaces = sock::interfaceAddresses();
    std::vector<mdns::Link> links = mdns::joinableLinks(interfaces);
    // Unsolicited announcements still to send: on every link once our names
    // are ours, and on each link that comes up later (RFC 6762 §8.3).
    std::vector<DueAnnouncement> due;
    const auto announceOn = [&](const std::vector<mdns::Link> &added) {
        for (const mdns::Link &link : added) {
            if (!link.loopback && responder)
                due.push_back({link, clock.elapsed()});
        }
    };
    const auto probeAgain = [&](qint64 at) {
        responder.reset();
        due.clear();
        probesLeft = kProbes;
        nextProbe = at;
    };
    qint64 nextRescan = kLinkRescanMs;

    std::array<char, mdns::kMessageBufferSize> buffer;
    while (!m_pool.stopping()) {
        const qint64 now = clock.elapsed();
        if (!responder && now >= nextProbe) {
            if (probesLeft > 0) {
                const std::vector<std::uint8_t> probe = prober.probeQuery(probesLeft == kProbes);
                for (const mdns::Link &link : links) {
                    if (!link.loopback)
                        sendBytes(socket, probe, protocol::kMdnsGroup, protocol::kMdnsPort, link.index);
                }
                --probesLeft;
                nextProbe = now + kProbeSpacingMs;
            } else {
                responder.emplace(prober.service());
                emit logMessage(QStringLiteral("mDNS Service aktiv."));
                announceOn(links);
            }
        }
        for (auto it = due.begin(); it != due.end();) {
            if (it->atMs <= now) {
                sendBytes(socket, responder->announcement(it->link.index, it->link.address, now),
                          protocol::kMdnsGroup, protocol::kMdnsPort, it->link.index);
                it->atMs = now + kAnnouncementSpacingMs;
                if (--it->left == 0) {
                    it = due.erase(it);
                    continue;
                }
            }
            ++it;
        }
        if (now >= nextRescan) {
            interfaces = sock::interfaceAddresses();
            const std::vector<mdns::Link> current = mdns::joinableLinks(interfaces);
            const std::vector<mdns::Link> added = mdns::addedLinks(links, current);
            for (const mdns::Link &link : added)
                sock::joinMulticastGroup(socket, protocol::kMdnsGroup, link.address);
            announceOn(added);
            links = current;
            nextRescan = now + kLinkRescanMs;
        }
        qint64 wake = responder ? nextRescan : std::min(nextRescan, nextProbe);
        for (const DueAnnouncement &d : due)
            wake = std::min(wake, d.atMs);

        const sock::Readiness ready =
            m_pool.waitReadable(socket, QDeadlineTimer(std::max<qint64>(0, wake - clock.elapsed())));
        if (ready != sock::Readiness::Ready) {
            if (ready == sock::Readiness::Error)
                m_pool.sleep(kErrorBackoffMs);
            continue;
        }
        drainDatagrams(socket, m_pool, buffer, [&](mdns::Bytes datagram, const sock::DatagramInfo &info) {
            // Phones that announce themselves by multicast are heard here.
            learn(datagram);
            // What we sent ourselves, looped back from any of our links, is
            // never another computer's claim on our names. Multicast sent out
            // of a link without an address of link scope (loopback) comes
            // back from 0.0.0.0, which no computer claiming names has.
            const bool fromUs = info.sender == 0 || std::any_of(interfaces.begin(), interfaces.end(),
                                                                [&](const sock::InterfaceAddress &i) {
                                                                    return i.address == info.sender;
                                                                });
            switch (fromUs ? mdns::Prober::Verdict::None : prober.check(datagram, !responder)) {
            case mdns::Prober::Verdict::Conflict: {
                // Another computer claims our names: the prober decides
                // whether to take the next ones, for this run, and when to
                // probe again.
                using Stage = mdns::Prober::Stage;
                const Stage stage = responder              ? Stage::Announced
                                    : probesLeft < kProbes ? Stage::Probing
                                                           : Stage::Waiting;
                const std::optional<mdns::Prober::Retry> retry = prober.conflict(clock.elapsed(), stage);
                if (!retry)
                    return;
                if (retry->renamed)
                    emit logMessage(
                        QStringLiteral("mDNS Name belegt, neuer Name: %1.")
                            .arg(mdns::instanceLabel(QString::fromStdString(prober.service().instanceName))));
                probeAgain(retry->probeAtMs);
                return;
            }
            case mdns::Prober::Verdict::LostTieBreak:
                probeAgain(clock.elapsed() + kTieBreakPauseMs);
                return;
            case mdns::Prober::Verdict::None:
                break;
            }
            if (!responder)
                return; // nothing is answered for names not yet ours
            mdns::ReceivedFrom from;
            from.address = info.sender;
            from.port = info.senderPort;
            from.interfaceIndex = info.interfaceIndex;
            from.localAddress = mdns::announcedAddress(info, interfaces);
            from.senderOnLink = mdns::senderOnLink(info.sender, interfaces);
            for (const mdns::Datagram &d : responder->handleDatagram(datagram, from, clock.elapsed())) {
                // The announcement goes back out of the interface the question
                // came in on, carrying that interface's address.
                const int via = d.address == protocol::kMdnsGroup ? info.interfaceIndex : 0;
                sendBytes(socket, d.bytes, d.address, d.port, via);
            }
        });
    }
    // Quitting: phones forget this computer now, not when its records expire.
    for (const mdns::Link &link : links) {
        if (!link.loopback && responder)
            sendBytes(socket, responder->goodbye(link.address), protocol::kMdnsGroup, protocol::kMdnsPort,
                      link.index);
    }
}

void DiscoveryService::browseLoop()
{
    sock::Socket socket = mdns::openMulticastSocket(0, 0);
    if (!socket.valid()) {
        emit logMessage(QStringLiteral("mDNS Browse Socket Fehler."));
        return;
    }
    const bool fromMdnsPort = sock::localPort(socket) == protocol::kMdnsPort;
    std::uint16_t cycle = 1;
    std::array<char, mdns::kReceiveBufferSize> buffer;
    while (!m_pool.stopping()) {
        const auto query = mdns::buildBrowseQuery(cycle, fromMdnsPort);
        const mdns::Bytes bytes(query);
        const auto interfaces = mdns::multicastInterfaces(sock::interfaceAddresses());
        if (interfaces.empty())
            sendBytes(socket, bytes, protocol::kMdnsGroup, protocol::kMdnsPort, 0);
        for (int index : interfaces)
            sendBytes(socket, bytes, protocol::kMdnsGroup, protocol::kMdnsPort, index);

        const QDeadlineTimer listen(protocol::kBrowseListenMs);
        while (!m_pool.stopping() && !listen.hasExpired()) {
            const sock::Readiness ready = m_pool.waitReadable(socket, listen);
            if (ready == sock::Readiness::Timeout)
                break;
            if (ready == sock::Readiness::Error) {
                m_pool.sleep(kErrorBackoffMs);
                continue;
            }
            drainDatagrams(socket, m_pool, buffer,
                           [&](mdns::Bytes datagram, const sock::DatagramInfo &) { learn(datagram); });
        }
        if (!m_pool.sleep(protocol::kBrowsePauseMs))
            break;
        cycle = mdns::nextCycleId(cycle);
    }
}

void DiscoveryService::learn(mdns::Bytes datagram)
{
    std::vector<RemoteDevice> devices;
    {
        std::lock_guard lock(m_cacheMutex);
        devices = m_cache.feed(datagram, QDateTime::currentMSecsSinceEpoch());
    }
    // An announcement may point at this computer itself (its loopback, its
    // own address and port) or at no single host; none of these is a phone.
    for (const RemoteDevice &device : devices) {
        const QByteArray ip = device.ip.toLatin1();
        std::uint32_t address = 0;
        if (sock::parseIPv4(std::string_view(ip.constData(), std::size_t(ip.size())), &address) &&
            m_ownInterfaces.allows(address, m_addressPolicy))
            emit deviceFound(device);
    }
}
