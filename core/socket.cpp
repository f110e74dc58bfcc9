#include "socket.h"
#include "socket_internal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#ifdef _WIN32
// MSVC links the library from here too; other compilers (MinGW) get it
// from the build, which links it for every Windows target.
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace sock {

using detail::ipv4Address;
using detail::kSendFlags;
using detail::setOption;
using detail::wouldBlock;

namespace {
#ifdef _WIN32
int closeHandle(Handle h)
{
    return ::closesocket(h);
}
int pollOne(Handle h, short events, int timeoutMs)
{
    WSAPOLLFD p{h, events, 0};
    return ::WSAPoll(&p, 1, timeoutMs);
}
#else
int closeHandle(Handle h)
{
    return ::close(h);
}
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

Readiness waitReadable(const Socket &s, int timeoutMs)
{
    return waitFor(s, POLLIN, timeoutMs);
}
Readiness waitWritable(const Socket &s, int timeoutMs)
{
    return waitFor(s, POLLOUT, timeoutMs);
}

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
    const int one = 1;
    return setOption(s, SOL_SOCKET, SO_REUSEADDR, one);
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
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (a >> 24) & 0xff, (a >> 16) & 0xff, (a >> 8) & 0xff,
                  a & 0xff);
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
    if (!bindIPv4(s, address, port))
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

ConnectStart tcpConnectBegin(std::uint32_t address, std::uint16_t port, Socket *out)
{
    Socket s = newTcpSocket();
    if (!s.valid() || !setNonBlocking(s, true))
        return ConnectStart::Failed;
    const sockaddr_in addr = ipv4Address(address, port);
    ConnectStart result = ConnectStart::Connected;
    if (::connect(s.handle(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
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

namespace {
ConnectError connectErrorOf(int code)
{
#ifdef _WIN32
    switch (code) {
    case 0:
        return ConnectError::None;
    case WSAECONNREFUSED:
        return ConnectError::Refused;
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAENETDOWN:
        return ConnectError::Unreachable;
    default:
        return ConnectError::Other;
    }
#else
    switch (code) {
    case 0:
        return ConnectError::None;
    case ECONNREFUSED:
        return ConnectError::Refused;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
        return ConnectError::Unreachable;
    default:
        return ConnectError::Other;
    }
#endif
}
} // namespace

ConnectError tcpConnectError(const Socket &s)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s.handle(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0)
        return ConnectError::Other;
    return connectErrorOf(error);
}

ConnectError lastConnectError()
{
#ifdef _WIN32
    return connectErrorOf(WSAGetLastError());
#else
    return connectErrorOf(errno);
#endif
}

// --- File content between a file and a stream socket ----------------------

#ifdef __linux__
namespace {
// What one splice asks the pipe to hold. Each page of a segment takes a slot
// of the pipe, and with the 16 slots of a default pipe splicing saved next to
// nothing against a plain read and write (measured); 1 MiB is the most an
// unprivileged process may ask for. A pipe that may not grow this far (a
// user over the system's pipe quota) still works, in smaller steps.
constexpr int kPipeBytes = 1024 * 1024;
// Pipe content that the file system cannot take by splice is moved on
// through a buffer of this size.
constexpr std::size_t kPipeDrainChunk = 16 * 1024;

// Errors that say the system cannot move these two descriptors this way;
// nothing was moved when they come.
bool cannotMove(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Writes n bytes of the pipe into the file at its position: true when all
// went. Uses splice, and read and write where the file system has no splice.
bool drainPipe(int pipe, int file, std::size_t n, bool *spliceRefused)
{
    while (n > 0) {
        ssize_t moved = -1;
        if (!*spliceRefused) {
            moved = ::splice(pipe, nullptr, file, nullptr, n, SPLICE_F_MOVE);
            if (moved < 0 && errno == EINTR)
                continue;
            if (moved < 0 && cannotMove(errno))
                *spliceRefused = true;
        }
        if (*spliceRefused) {
            char buffer[kPipeDrainChunk];
            moved = ::read(pipe, buffer, std::min(n, sizeof buffer));
            if (moved > 0 && ::write(file, buffer, std::size_t(moved)) != moved)
                return false;
        }
        if (moved <= 0)
            return false;
        n -= std::size_t(moved);
    }
    return true;
}
} // namespace

FileReceiver::FileReceiver()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;
    m_pipeRead = ends[0];
    m_pipeWrite = ends[1];
    ::fcntl(m_pipeWrite, F_SETPIPE_SZ, kPipeBytes);
}

FileReceiver::~FileReceiver()
{
    if (m_pipeRead >= 0)
        ::close(m_pipeRead);
    if (m_pipeWrite >= 0)
        ::close(m_pipeWrite);
}

long FileReceiver::receive(const Socket &s, int fileDescriptor, std::size_t size)
{
    if (m_broken)
        return kIoError;
    if (m_pipeRead < 0)
        return kIoUnsupported;
    // The pipe is empty between calls, so this never waits for room in it,
    // and never takes more of the socket than size.
    ssize_t n;
    do {
        n = ::splice(s.handle(), nullptr, m_pipeWrite, nullptr, std::min<std::size_t>(size, kPipeBytes),
                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return 0;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kIoWouldBlock;
        return cannotMove(errno) ? kIoUnsupported : kIoError;
    }
    bool spliceRefused = false;
    if (!drainPipe(m_pipeRead, fileDescriptor, std::size_t(n), &spliceRefused)) {
        m_broken = true; // bytes of this socket may be left in the pipe
        return kIoError;
    }
    if (spliceRefused) {
        // This file system takes no splice: later calls leave the copying to
        // the caller, which needs no pipe for it.
        ::close(m_pipeRead);
        ::close(m_pipeWrite);
        m_pipeRead = m_pipeWrite = -1;
    }
    return long(n);
}
#else
FileReceiver::FileReceiver() = default;
FileReceiver::~FileReceiver() = default;

long FileReceiver::receive(const Socket &, int, std::size_t)
{
    return kIoUnsupported;
}
#endif

} // namespace sock
