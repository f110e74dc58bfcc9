#include "dns_codec.h"
#include "mdns_browser.h"
#include "mdns_responder.h"
#include "mdns_socket.h"
#include "network_service.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <array>

// Multicast DNS responder and browser: they only move datagrams; what to
// answer and what a reply means is decided by the discovery library.

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
} // namespace

void NetworkService::mdnsPublishLoop()
{
    sock::Socket socket = mdns::openMulticastSocket(0, mdns::kPort);
    if (!socket.valid()) {
        emit logMessage(QStringLiteral("mDNS Publish Socket Fehler."));
        return;
    }
    mdns::MdnsResponder responder;
    emit logMessage(QStringLiteral("mDNS Service aktiv."));

    QElapsedTimer clock;
    clock.start();
    std::array<char, mdns::kMessageBufferSize> buffer;
    while (isRunning()) {
        const sock::Readiness ready = waitReadable(socket, QDeadlineTimer(QDeadlineTimer::Forever));
        if (ready != sock::Readiness::Ready) {
            if (ready == sock::Readiness::Error)
                sleepWhileRunning(kErrorBackoffMs);
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
            const auto replies = responder.handleDatagram(datagram, from, clock.elapsed());
            for (const mdns::Datagram &d : replies) {
                // The announcement goes back out of the interface the question
                // came in on, carrying that interface's address.
                const int via = d.address == mdns::kGroupIPv4Address ? info.interfaceIndex : 0;
                sock::sendDatagram(socket, reinterpret_cast<const char *>(d.bytes.data()), d.bytes.size(),
                                   d.address, d.port, via);
            }
        });
    }
}

void NetworkService::mdnsBrowseLoop()
{
    sock::Socket socket = mdns::openMulticastSocket(0, 0);
    if (!socket.valid()) {
        emit logMessage(QStringLiteral("mDNS Browse Socket Fehler."));
        return;
    }
    const bool fromMdnsPort = sock::localPort(socket) == mdns::kPort;
    std::uint16_t cycle = 1;
    std::array<char, mdns::kReceiveBufferSize> buffer;
    while (isRunning()) {
        const auto query = mdns::buildBrowseQuery(cycle, fromMdnsPort);
        const auto interfaces = mdns::multicastInterfaces(sock::interfaceAddresses());
        if (interfaces.empty()) {
            sock::sendDatagram(socket, reinterpret_cast<const char *>(query.data()), query.size(),
                               mdns::kGroupIPv4Address, mdns::kPort);
        }
        for (int index : interfaces) {
            sock::sendDatagram(socket, reinterpret_cast<const char *>(query.data()), query.size(),
                               mdns::kGroupIPv4Address, mdns::kPort, index);
        }

        const QDeadlineTimer listen(mdns::kBrowseListenMs);
        while (isRunning() && !listen.hasExpired()) {
            const sock::Readiness ready = waitReadable(socket, listen);
            if (ready == sock::Readiness::Timeout)
                break;
            if (ready == sock::Readiness::Error) {
                sleepWhileRunning(kErrorBackoffMs);
                continue;
            }
            drainDatagrams(socket, buffer, [&](mdns::Bytes datagram, const sock::DatagramInfo &) {
                const auto devices =
                    mdns::handleBrowseReply(datagram, cycle, QDateTime::currentMSecsSinceEpoch());
                for (const RemoteDevice &device : devices)
                    emit deviceFound(device);
            });
        }
        if (!sleepWhileRunning(mdns::kBrowsePauseMs))
            break;
        cycle = mdns::nextCycleId(cycle);
    }
}
