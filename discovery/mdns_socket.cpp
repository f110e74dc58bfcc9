#include "mdns_socket.h"

#include "protocol.h"

#include <algorithm>

namespace mdns {

sock::Socket openMulticastSocket(std::uint32_t address, std::uint16_t port)
{
    sock::Socket s = sock::udpSocket();
    if (!s.valid())
        return s;
    // Avahi, a browser or another zeroconf stack may hold the port already.
    sock::setReuseAddressAndPort(s);
    sock::setMulticastTtl(s, static_cast<unsigned char>(kIpTtl));
    sock::setUnicastTtl(s, kIpTtl);
    sock::setMulticastLoop(s, true);
    sock::enableArrivalInterface(s);

    bool joined = false;
    if (address == 0) {
        // The default join covers only the interface of the multicast route;
        // questions arrive on every network this computer is part of.
        for (const Link &link : joinableLinks(sock::interfaceAddresses()))
            joined = sock::joinMulticastGroup(s, protocol::kMdnsGroup, link.address) || joined;
    }
    if (!joined && !sock::joinMulticastGroup(s, protocol::kMdnsGroup, address))
        return sock::Socket();
    sock::setMulticastInterface(s, address);
    if (!sock::bindIPv4(s, address, port))
        return sock::Socket();
    if (!sock::setNonBlocking(s, true))
        return sock::Socket();
    return s;
}

std::uint32_t announcedAddress(const sock::DatagramInfo &arrival,
                               const std::vector<sock::InterfaceAddress> &interfaces)
{
    if (arrival.localAddress != 0)
        return arrival.localAddress;
    const sock::InterfaceAddress *onArrival = nullptr;
    for (const sock::InterfaceAddress &i : interfaces) {
        if (arrival.interfaceIndex == 0 || i.index != arrival.interfaceIndex)
            continue;
        if (i.netmask != 0 && (i.address & i.netmask) == (arrival.sender & i.netmask))
            return i.address;
        if (!onArrival)
            onArrival = &i;
    }
    if (onArrival)
        return onArrival->address;
    for (const sock::InterfaceAddress &i : interfaces) {
        if (i.up && !i.loopback && (i.address >> 24) != (kLoopbackAddress >> 24))
            return i.address;
    }
    return kLoopbackAddress;
}

std::vector<int> multicastInterfaces(const std::vector<sock::InterfaceAddress> &interfaces)
{
    std::vector<int> result;
    for (const sock::InterfaceAddress &i : interfaces) {
        if (i.up && i.multicast && !i.loopback && i.index > 0 &&
            std::find(result.begin(), result.end(), i.index) == result.end())
            result.push_back(i.index);
    }
    return result;
}

std::vector<Link> joinableLinks(const std::vector<sock::InterfaceAddress> &interfaces)
{
    std::vector<Link> links;
    for (const sock::InterfaceAddress &i : interfaces) {
        if (i.up && (i.multicast || i.loopback))
            links.push_back({i.index, i.address, i.loopback});
    }
    return links;
}

std::vector<Link> addedLinks(const std::vector<Link> &before, const std::vector<Link> &now)
{
    std::vector<Link> added;
    for (const Link &link : now) {
        if (std::find(before.begin(), before.end(), link) == before.end())
            added.push_back(link);
    }
    return added;
}

bool senderOnLink(std::uint32_t sender, const std::vector<sock::InterfaceAddress> &interfaces)
{
    return std::any_of(interfaces.begin(), interfaces.end(), [sender](const sock::InterfaceAddress &i) {
        return i.up &&
               (sender == i.address || (i.netmask != 0 && (sender & i.netmask) == (i.address & i.netmask)));
    });
}

} // namespace mdns
