#include "socket.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#ifdef _WIN32
#pragma comment(lib, "ws2_32.lib")
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace sock {

namespace {
#ifdef _WIN32
int closeHandle(Handle h) { return ::closesocket(h); }
int pollOne(Handle h, short events, int timeoutMs)
{
    WSAPOLLFD p{h, events, 0};
    return ::WSAPoll(&p, 1, timeoutMs);
}
#else
int closeHandle(Handle h) { return ::close(h); }
int pollOne(Handle h, short events, int timeoutMs)
{
    pollfd p{h, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (p.revents & POLLNVAL))
        return -1;
    return r;
}
#endif

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

bool wouldBlock()
{
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

void preventSigpipe([[maybe_unused]] Handle h)
{
#if defined(SO_NOSIGPIPE)
    int one = 1;
    ::setsockopt(h, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

Socket newTcpSocket()
{
    Socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.valid())
        preventSigpipe(s.handle());
    return s;
}
} // namespace

void startup()
{
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

void cleanup()
{
#ifdef _WIN32
    WSACleanup();
#endif
}

Socket &Socket::operator=(Socket &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = other.release();
    }
    return *this;
}

Handle Socket::release()
{
    Handle h = m_handle;
    m_handle = kInvalidHandle;
    return h;
}

void Socket::close()
{
    if (m_handle != kInvalidHandle) {
        closeHandle(m_handle);
        m_handle = kInvalidHandle;
    }
}

long receive(const Socket &s, char *buffer, std::size_t capacity)
{
    for (;;) {
        auto n = ::recv(s.handle(), buffer, static_cast<int>(capacity), 0);
        if (n >= 0)
            return static_cast<long>(n);
#ifndef _WIN32
        if (errno == EINTR)
            continue;
#endif
        return wouldBlock() ? kIoWouldBlock : kIoError;
    }
}

long send(const Socket &s, const char *data, std::size_t size)
{
    for (;;) {
        auto n = ::send(s.handle(), data, static_cast<int>(size), kSendFlags);
        if (n >= 0)
            return static_cast<long>(n);
#ifndef _WIN32
        if (errno == EINTR)
            continue;
#endif
        return wouldBlock() ? kIoWouldBlock : kIoError;
    }
}

long receiveFrom(const Socket &s, char *buffer, std::size_t capacity, sockaddr_storage *from,
                 socklen_t *fromLength)
{
    auto n = ::recvfrom(s.handle(), buffer, static_cast<int>(capacity), 0, reinterpret_cast<sockaddr *>(from),
                        fromLength);
    if (n >= 0)
        return static_cast<long>(n);
    return wouldBlock() ? kIoWouldBlock : kIoError;
}

long sendTo(const Socket &s, const char *data, std::size_t size, const sockaddr *to, socklen_t toLength)
{
    auto n = ::sendto(s.handle(), data, static_cast<int>(size), kSendFlags, to, toLength);
    if (n >= 0)
        return static_cast<long>(n);
    return wouldBlock() ? kIoWouldBlock : kIoError;
}

static Readiness waitFor(const Socket &s, short events, int timeoutMs)
{
    int r = pollOne(s.handle(), events, timeoutMs);
    if (r > 0)
        return Readiness::Ready;
    return r == 0 ? Readiness::Timeout : Readiness::Error;
}

Readiness waitReadable(const Socket &s, int timeoutMs) { return waitFor(s, POLLIN, timeoutMs); }
Readiness waitWritable(const Socket &s, int timeoutMs) { return waitFor(s, POLLOUT, timeoutMs); }

bool setNonBlocking(const Socket &s, bool on)
{
#ifdef _WIN32
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s.handle(), FIONBIO, &mode) == 0;
#else
    int flags = ::fcntl(s.handle(), F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s.handle(), F_SETFL, flags) == 0;
#endif
}

bool setReuseAddress(const Socket &s)
{
    int one = 1;
    return ::setsockopt(s.handle(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one) ==
           0;
}

void shutdownBoth(const Socket &s)
{
#ifdef _WIN32
    ::shutdown(s.handle(), SD_BOTH);
#else
    ::shutdown(s.handle(), SHUT_RDWR);
#endif
}

void shutdownSend(const Socket &s)
{
#ifdef _WIN32
    ::shutdown(s.handle(), SD_SEND);
#else
    ::shutdown(s.handle(), SHUT_WR);
#endif
}

bool parseIPv4(std::string_view text, std::uint32_t *address)
{
    std::uint32_t result = 0;
    const char *p = text.data();
    const char *end = text.data() + text.size();
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (p == end || *p != '.')
                return false;
            ++p;
        }
        const char *start = p;
        while (p != end && *p >= '0' && *p <= '9' && p - start < 4)
            ++p;
        const auto digits = p - start;
        // One to three digits; a leading zero only as "0" itself, so that
        // nobody can mistake an octal-looking octet for something else.
        if (digits < 1 || digits > 3 || (digits > 1 && *start == '0'))
            return false;
        unsigned value = 0;
        std::from_chars(start, p, value);
        if (value > 255)
            return false;
        result = (result << 8) | value;
    }
    if (p != end)
        return false;
    *address = result;
    return true;
}

std::string formatIPv4(std::uint32_t a)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (a >> 24) & 0xff, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    return text;
}

Socket tcpListen(std::uint32_t address, std::uint16_t port, int backlog, bool reuseAddress)
{
    Socket s = newTcpSocket();
    if (!s.valid())
        return s;
#ifndef _WIN32
    // On Windows SO_REUSEADDR would let a second copy steal the port, so it
    // is only used where it means "rebind during TIME_WAIT".
    if (reuseAddress)
        setReuseAddress(s);
#else
    (void)reuseAddress;
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    if (::bind(s.handle(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return Socket();
    if (::listen(s.handle(), backlog) != 0)
        return Socket();
    return s;
}

Socket tcpAccept(const Socket &listener, std::uint32_t *peer)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    Socket s(::accept(listener.handle(), reinterpret_cast<sockaddr *>(&addr), &length));
    if (!s.valid())
        return s;
    preventSigpipe(s.handle());
    // Accepted sockets may inherit O_NONBLOCK from the listener on some
    // platforms; connection workers expect a blocking socket.
    setNonBlocking(s, false);
    if (peer)
        *peer = addr.sin_family == AF_INET ? ntohl(addr.sin_addr.s_addr) : 0;
    return s;
}

std::uint16_t localPort(const Socket &s)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(s.handle(), reinterpret_cast<sockaddr *>(&addr), &length) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

ConnectResult tcpConnect(std::uint32_t address, std::uint16_t port, int timeoutMs, Socket *out)
{
    Socket s;
    const ConnectStart start = tcpConnectBegin(address, port, &s);
    if (start == ConnectStart::Failed)
        return ConnectResult::Failed;
    if (start == ConnectStart::Pending) {
        const Readiness r = waitWritable(s, timeoutMs);
        if (r == Readiness::Timeout)
            return ConnectResult::TimedOut;
        if (r == Readiness::Error || !tcpConnectSucceeded(s))
            return ConnectResult::Failed;
    }
    if (!setNonBlocking(s, false))
        return ConnectResult::Failed;
    *out = std::move(s);
    return ConnectResult::Connected;
}

int lastError()
{
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

} // namespace sock

// --- Datagrams, multicast and interfaces ---------------------------------

#ifdef _WIN32
#include <iphlpapi.h>
#pragma comment(lib, "iphlpapi.lib")
#else
#include <ifaddrs.h>
#include <net/if.h>
#endif
#include <cstring>

namespace sock {

namespace {
sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

template <typename T> bool setOption(const Socket &s, int level, int name, const T &value)
{
    return ::setsockopt(s.handle(), level, name, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}
} // namespace

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

namespace sock {

ConnectStart tcpConnectBegin(std::uint32_t address, std::uint16_t port, Socket *out)
{
    Socket s = newTcpSocket();
    if (!s.valid() || !setNonBlocking(s, true))
        return ConnectStart::Failed;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    ConnectStart result = ConnectStart::Connected;
    if (::connect(s.handle(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
#ifdef _WIN32
        const bool pending = WSAGetLastError() == WSAEWOULDBLOCK;
#else
        const bool pending = errno == EINPROGRESS;
#endif
        if (!pending)
            return ConnectStart::Failed;
        result = ConnectStart::Pending;
    }
    *out = std::move(s);
    return result;
}

bool tcpConnectSucceeded(const Socket &s)
{
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(s.handle(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) == 0 &&
           error == 0;
}

} // namespace sock
