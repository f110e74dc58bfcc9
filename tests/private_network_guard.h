// Starting the network service announces this machine by multicast DNS and
// answers other hosts' questions. Run by hand outside a private network
// namespace, a test would do that on a real network, among other people's
// machines. Every test program that includes this header therefore refuses
// to start unless it is in a namespace of its own (ctest and
// scripts/netns-run.sh provide one) or sees only test addresses.
#pragma once

#include <QHostAddress>
#include <QNetworkInterface>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace testsupport {

// Loopback and the documentation networks that the multi-host tests use.
inline bool isTestAddress(const QHostAddress &address)
{
    if (address.isLoopback())
        return true;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 a = address.toIPv4Address();
        return (a & 0xFFFFFF00u) == 0xC6336400u     // 198.51.100.0/24
               || (a & 0xFFFFFF00u) == 0xCB007100u; // 203.0.113.0/24
    }
    return address.isLinkLocal(); // veth pairs between test namespaces get one
}

// Same namespace as process 1 means the machine's real network. When that
// cannot be read (not root), the addresses decide.
inline bool sharesTheHostNetwork()
{
    char own[64] = {};
    char init[64] = {};
    if (::readlink("/proc/self/ns/net", own, sizeof own - 1) < 0 ||
        ::readlink("/proc/1/ns/net", init, sizeof init - 1) < 0)
        return false;
    return std::string_view(own) == std::string_view(init);
}

inline bool refuseOutsidePrivateNetwork()
{
    bool real = sharesTheHostNetwork();
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        real = real || !isTestAddress(address);
    if (real) {
        std::fprintf(stderr, "This test opens multicast DNS sockets and refuses to run on a real network.\n"
                             "Run it through ctest, or as: scripts/test-sandbox.sh <test program>\n");
        std::exit(2);
    }
    return true;
}

inline const bool kRunsOnPrivateNetwork = refuseOutsidePrivateNetwork();

} // namespace testsupport
