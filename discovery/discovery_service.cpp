#include "discovery_service.h"

#include "dns_codec.h"
#include "mdns_browser.h"
#include "mdns_responder.h"
#include "mdns_socket.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <array>

namespace {
// After a socket error the loops wait this long before polling again, so
// that an error that persists cannot spin a core.
constexpr int kErrorBackoffMs = 200;

// Hands every datagram already queued on the socket to handle(bytes, info),
// so that one wake-up serves a burst of answers.
template <std::size_t N, typename Handler>
void drainDatagrams(const sock::Socket &socket, std::array<char, N> &buffer, Handler &&handle)
{
    for (;;) {
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
    m_pool.spawn([this] { publishLoop(); });
    m_pool.spawn([this] { browseLoop(); });
}

void DiscoveryService::publishLoop()
{
    sock::Socket socket = mdns::openMulticastSocket(0, protocol::kMdnsPort);
    if (!socket.valid()) {
        emit logMessage(QStringLiteral("mDNS Publish Socket Fehler."));
        return;
    }
    mdns::PublishedService service;
    service.port = m_httpPort;
    mdns::MdnsResponder responder(service);
    emit logMessage(QStringLiteral("mDNS Service aktiv."));

    QElapsedTimer clock;
    clock.start();
    std::array<char, mdns::kMessageBufferSize> buffer;
    while (!m_pool.stopping()) {
        const sock::Readiness ready = m_pool.waitReadable(socket, QDeadlineTimer(QDeadlineTimer::Forever));
        if (ready != sock::Readiness::Ready) {
            if (ready == sock::Readiness::Error)
                m_pool.sleep(kErrorBackoffMs);
            continue;
        }
        drainDatagrams(socket, buffer, [&](mdns::Bytes datagram, const sock::DatagramInfo &info) {
            mdns::ReceivedFrom from;
            from.address = info.sender;
            from.port = info.senderPort;
            from.interfaceIndex = info.interfaceIndex;
            // Interfaces are only listed where the system did not already say
            // which of our addresses the sender reaches.
            from.localAddress = info.localAddress != 0
                                    ? info.localAddress
                                    : mdns::announcedAddress(info, sock::interfaceAddresses());
            for (const mdns::Datagram &d : responder.handleDatagram(datagram, from, clock.elapsed())) {
                // The announcement goes back out of the interface the question
                // came in on, carrying that interface's address.
                const int via = d.address == protocol::kMdnsGroup ? info.interfaceIndex : 0;
                sendBytes(socket, d.bytes, d.address, d.port, via);
            }
        });
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
            drainDatagrams(socket, buffer, [&](mdns::Bytes datagram, const sock::DatagramInfo &) {
                const auto devices =
                    mdns::handleBrowseReply(datagram, cycle, QDateTime::currentMSecsSinceEpoch());
                for (const RemoteDevice &device : devices)
                    emit deviceFound(device);
            });
        }
        if (!m_pool.sleep(protocol::kBrowsePauseMs))
            break;
        cycle = mdns::nextCycleId(cycle);
    }
}
