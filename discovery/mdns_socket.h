// The multicast DNS socket and the choice of the address this computer
// announces, shared by the responder and the browser loops.
#pragma once

#include "socket.h"

#include <cstdint>
#include <vector>

namespace mdns {

// IP TTL of everything sent, multicast and unicast (RFC 6762 §11): some
// stacks drop mDNS packets with any other, as a sign they crossed a router.
inline constexpr int kIpTtl = 255;
inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001; // 127.0.0.1

// A UDP socket bound to address:port, member of the mDNS group, looping its
// own multicasts back, non-blocking, sharing the port with other mDNS stacks.
// With address 0.0.0.0 it joins the group on every interface that is up.
// Invalid on failure.
sock::Socket openMulticastSocket(std::uint32_t address, std::uint16_t port);

// The IPv4 address to announce to a question that arrived as described:
// the address the system answers that sender from, else an address of the
// arrival interface (the sender's subnet first), else the first address of
// any interface that is up and not loopback, and only then 127.0.0.1.
std::uint32_t announcedAddress(const sock::DatagramInfo &arrival,
                               const std::vector<sock::InterfaceAddress> &interfaces);

// Interfaces that a question should go out of: one index per interface that
// is up, multicast-capable and not loopback. Empty means: let the routing
// table choose.
std::vector<int> multicastInterfaces(const std::vector<sock::InterfaceAddress> &interfaces);

// One address of an interface that takes part in multicast DNS: up, and
// multicast-capable or loopback.
struct Link
{
    int index = 0;
    std::uint32_t address = 0; // host order
    bool loopback = false;
    bool operator==(const Link &) const = default;
};
std::vector<Link> joinableLinks(const std::vector<sock::InterfaceAddress> &interfaces);
// The links of now that were not in before: joined and announced on anew.
std::vector<Link> addedLinks(const std::vector<Link> &before, const std::vector<Link> &now);

// True when sender is on the subnet of one of our interfaces that is up, or
// is one of our own addresses: the only senders a unicast answer may go to.
bool senderOnLink(std::uint32_t sender, const std::vector<sock::InterfaceAddress> &interfaces);

} // namespace mdns
