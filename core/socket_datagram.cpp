// The datagram half of the socket wrapper: UDP, multicast membership,
// arrival interfaces, interface addresses and the waker that ends a wait.
#include "socket.h"
#include "socket_internal.h"

#include <algorithm>
#include <cerrno>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include <iphlpapi.h>
// MSVC links the library from here too; other compilers (MinGW) get it
// from the build, which links it for every Windows target.
#ifdef _MSC_VER
#pragma comment(lib, "iphlpapi.lib")
#endif
#else
#include <ifaddrs.h>
#include <net/if.h>
#endif
#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#endif
#include <cstring>

namespace sock {

using detail::ipv4Address;
using detail::kSendFlags;
using detail::setOption;
using detail::wouldBlock;

Socket udpSocket()
{
    return Socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
}

bool setReuseAddressAndPort(const Socket &s)
{
    bool ok = setReuseAddress(s);
#if defined(SO_REUSEPORT)
    const int one = 1;
    ok = setOption(s, SOL_SOCKET, SO_REUSEPORT, one) && ok;
#endif
    return ok;
}

bool bindIPv4(const Socket &s, std::uint32_t address, std::uint16_t port)
{
    const sockaddr_in a = ipv4Address(address, port);
    return ::bind(s.handle(), reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
}

bool setMulticastTtl(const Socket &s, unsigned char ttl)
{
    return setOption(s, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
}

bool setUnicastTtl(const Socket &s, int ttl)
{
    return setOption(s, IPPROTO_IP, IP_TTL, ttl);
}

bool setMulticastLoop(const Socket &s, bool on)
{
    const unsigned char value = on ? 1 : 0;
    return setOption(s, IPPROTO_IP, IP_MULTICAST_LOOP, value);
}

bool joinMulticastGroup(const Socket &s, std::uint32_t group, std::uint32_t interfaceAddress)
{
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interfaceAddress);
    return setOption(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, request);
}

bool setMulticastInterface(const Socket &s, std::uint32_t interfaceAddress)
{
    in_addr a{};
    a.s_addr = htonl(interfaceAddress);
    return setOption(s, IPPROTO_IP, IP_MULTICAST_IF, a);
}

#if defined(IP_PKTINFO) && !defined(_WIN32)
bool enableArrivalInterface(const Socket &s)
{
    const int one = 1;
    return setOption(s, IPPROTO_IP, IP_PKTINFO, one);
}

long receiveDatagram(const Socket &s, char *buffer, std::size_t capacity, DatagramInfo *info)
{
    sockaddr_in from{};
    iovec vector{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(s.handle(), &message, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return wouldBlock() ? kIoWouldBlock : kIoError;
    *info = DatagramInfo();
    if (from.sin_family == AF_INET) {
        info->sender = ntohl(from.sin_addr.s_addr);
        info->senderPort = ntohs(from.sin_port);
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pktinfo;
            std::memcpy(&pktinfo, CMSG_DATA(c), sizeof pktinfo);
            info->interfaceIndex = int(pktinfo.ipi_ifindex);
            info->localAddress = ntohl(pktinfo.ipi_spec_dst.s_addr);
        }
    }
    return static_cast<long>(n);
}

long sendDatagram(const Socket &s, const char *data, std::size_t size, std::uint32_t address,
                  std::uint16_t port, int interfaceIndex)
{
    sockaddr_in to = ipv4Address(address, port);
    iovec vector{const_cast<char *>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))]{};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    if (interfaceIndex > 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo pktinfo{};
        pktinfo.ipi_ifindex = interfaceIndex;
        std::memcpy(CMSG_DATA(c), &pktinfo, sizeof pktinfo);
    }
    ssize_t n;
    do {
        n = ::sendmsg(s.handle(), &message, kSendFlags);
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return static_cast<long>(n);
    return wouldBlock() ? kIoWouldBlock : kIoError;
}
#else
// Without a portable way to learn the arrival interface the caller falls
// back to an address of an interface that is up.
bool enableArrivalInterface(const Socket &)
{
    return false;
}

long receiveDatagram(const Socket &s, char *buffer, std::size_t capacity, DatagramInfo *info)
{
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const long n = receiveFrom(s, buffer, capacity, &from, &length);
    if (n < 0)
        return n;
    *info = DatagramInfo();
    if (from.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&from);
        info->sender = ntohl(a->sin_addr.s_addr);
        info->senderPort = ntohs(a->sin_port);
    }
    return n;
}

long sendDatagram(const Socket &s, const char *data, std::size_t size, std::uint32_t address,
                  std::uint16_t port, int)
{
    const sockaddr_in to = ipv4Address(address, port);
    return sendTo(s, data, size, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}
#endif

std::vector<InterfaceAddress> interfaceAddresses()
{
    std::vector<InterfaceAddress> result;
#ifdef _WIN32
    ULONG size = 16 * 1024;
    std::vector<unsigned char> storage(size);
    auto *adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(storage.data());
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    if (GetAdaptersAddresses(AF_INET, flags, nullptr, adapters, &size) == ERROR_BUFFER_OVERFLOW) {
        storage.resize(size);
        adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(storage.data());
    }
    if (GetAdaptersAddresses(AF_INET, flags, nullptr, adapters, &size) != NO_ERROR)
        return result;
    for (auto *adapter = adapters; adapter; adapter = adapter->Next) {
        for (auto *u = adapter->FirstUnicastAddress; u; u = u->Next) {
            if (u->Address.lpSockaddr->sa_family != AF_INET)
                continue;
            InterfaceAddress entry;
            entry.index = int(adapter->IfIndex);
            entry.address =
                ntohl(reinterpret_cast<const sockaddr_in *>(u->Address.lpSockaddr)->sin_addr.s_addr);
            entry.netmask =
                u->OnLinkPrefixLength == 0 ? 0 : ~std::uint32_t(0) << (32 - u->OnLinkPrefixLength);
            entry.up = adapter->OperStatus == IfOperStatusUp;
            entry.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            entry.multicast = (adapter->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
            result.push_back(entry);
        }
    }
#else
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        InterfaceAddress entry;
        entry.index = int(::if_nametoindex(i->ifa_name));
        entry.address = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
        if (i->ifa_netmask && i->ifa_netmask->sa_family == AF_INET)
            entry.netmask = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
        entry.up = (i->ifa_flags & IFF_UP) != 0 && (i->ifa_flags & IFF_RUNNING) != 0;
        entry.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        entry.multicast = (i->ifa_flags & IFF_MULTICAST) != 0;
        result.push_back(entry);
    }
    ::freeifaddrs(list);
#endif
    return result;
}

#ifdef __linux__
namespace {
// One read takes a whole netlink message; the kernel's are smaller.
constexpr std::size_t kNoticeBufferSize = 8192;
} // namespace

InterfaceWatch::InterfaceWatch(const Socket &alongside) : m_alongside(&alongside)
{
    // Links that come, go or change their flags, and IPv4 addresses added or
    // removed: all that can change which interfaces take part in mDNS.
    Socket notices(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (!notices.valid() ||
        ::bind(notices.handle(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return;
    // An epoll set is itself pollable: one handle to wait on for both.
    Socket events(::epoll_create1(EPOLL_CLOEXEC));
    if (!events.valid())
        return;
    for (Handle h : {alongside.handle(), notices.handle()}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = h;
        if (::epoll_ctl(events.handle(), EPOLL_CTL_ADD, h, &e) != 0)
            return;
    }
    m_notices = std::move(notices);
    m_events = std::move(events);
}

bool InterfaceWatch::changed()
{
    if (!m_notices.valid())
        return false;
    // What a message says is not read: any of them is reason enough to list
    // the interfaces again, and the list is what counts. A full buffer
    // (ENOBUFS) means messages were lost, which may have said anything.
    bool any = false;
    for (;;) {
        char buffer[kNoticeBufferSize];
        const ssize_t n = ::recv(m_notices.handle(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == ENOBUFS)) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return any;
    }
}
#else
InterfaceWatch::InterfaceWatch(const Socket &alongside) : m_alongside(&alongside) {}

bool InterfaceWatch::changed()
{
    return false;
}
#endif

namespace {
// Blocks of addresses, as (network, mask), that never hold a phone.
constexpr std::uint32_t kLoopbackNet = 0x7F000000, kLoopbackMask = 0xFF000000;    // 127.0.0.0/8
constexpr std::uint32_t kThisNetwork = 0x00000000, kThisNetworkMask = 0xFF000000; // 0.0.0.0/8
constexpr std::uint32_t kMulticastNet = 0xE0000000, kMulticastMask = 0xF0000000;  // 224.0.0.0/4
constexpr std::uint32_t kReservedNet = 0xF0000000, kReservedMask = 0xF0000000;    // 240.0.0.0/4
// Subnets with fewer host addresses than this (/31, /32) have no broadcast
// address: a /31 link uses both of its addresses for hosts.
constexpr std::uint32_t kMinHostPartWithBroadcast = 3;

bool inBlock(std::uint32_t address, std::uint32_t network, std::uint32_t mask)
{
    return (address & mask) == network;
}
} // namespace

bool isPeerAddress(std::uint32_t address, const std::vector<InterfaceAddress> &own, PeerAddressPolicy policy)
{
    if (inBlock(address, kLoopbackNet, kLoopbackMask))
        return policy == PeerAddressPolicy::LoopbackAllowed;
    if (inBlock(address, kThisNetwork, kThisNetworkMask) || inBlock(address, kMulticastNet, kMulticastMask) ||
        inBlock(address, kReservedNet, kReservedMask))
        return false;
    return std::none_of(own.begin(), own.end(), [address](const InterfaceAddress &i) {
        const std::uint32_t hostPart = ~i.netmask;
        return address == i.address ||
               (i.netmask != 0 && hostPart >= kMinHostPartWithBroadcast && address == (i.address | hostPart));
    });
}

bool OwnInterfaces::allows(std::uint32_t address, PeerAddressPolicy policy)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (!m_listedAt || now - *m_listedAt >= std::chrono::milliseconds(kRefreshMs)) {
        m_list = interfaceAddresses();
        m_listedAt = now;
    }
    return isPeerAddress(address, m_list, policy);
}

#ifdef _WIN32
// Winsock polls sockets only: a loopback datagram socket that sends to
// itself stands in for a pipe.
Waker::Waker()
{
    Socket s = udpSocket();
    if (!s.valid() || !bindIPv4(s, 0x7F000001, 0))
        return;
    const sockaddr_in self = ipv4Address(0x7F000001, localPort(s));
    if (::connect(s.handle(), reinterpret_cast<const sockaddr *>(&self), sizeof self) != 0)
        return;
    m_read = s.release();
    m_write = m_read;
}

Waker::~Waker()
{
    if (m_read != kInvalidHandle)
        ::closesocket(m_read);
}

void Waker::wake()
{
    if (m_write != kInvalidHandle)
        ::send(m_write, "w", 1, 0);
}
#else
Waker::Waker()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    for (int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    m_read = fds[0];
    m_write = fds[1];
}

Waker::~Waker()
{
    if (m_read != kInvalidHandle)
        ::close(m_read);
    if (m_write != kInvalidHandle)
        ::close(m_write);
}

void Waker::wake()
{
    if (m_write != kInvalidHandle) {
        [[maybe_unused]] auto n = ::write(m_write, "w", 1);
    }
}
#endif

bool Waker::valid() const
{
    return m_read != kInvalidHandle;
}

Readiness waitUnlessWoken(const Socket &s, const Waker &waker, bool forWrite, int timeoutMs)
{
    const short events = forWrite ? POLLOUT : POLLIN;
#ifdef _WIN32
    WSAPOLLFD fds[2] = {{s.handle(), events, 0}, {waker.m_read, POLLIN, 0}};
    const ULONG count = waker.valid() ? 2 : 1;
    const int r = ::WSAPoll(fds, count, timeoutMs);
#else
    pollfd fds[2] = {{s.handle(), events, 0}, {waker.m_read, POLLIN, 0}};
    const nfds_t count = waker.valid() ? 2 : 1;
    int r;
    do {
        r = ::poll(fds, count, timeoutMs);
    } while (r < 0 && errno == EINTR);
#endif
    if (r == 0)
        return Readiness::Timeout;
    if (r < 0 || (count == 2 && fds[1].revents != 0) || (fds[0].revents & POLLNVAL))
        return Readiness::Error;
    return Readiness::Ready;
}

} // namespace sock
