// Thin wrapper over the platform's Berkeley sockets. Everything that differs
// between Winsock and POSIX (handle type, closing, non-blocking mode, SIGPIPE,
// start-up) stays behind this header so the rest of the code is portable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace sock {

#ifdef _WIN32
using Handle = SOCKET;
inline constexpr Handle kInvalidHandle = INVALID_SOCKET;
#else
using Handle = int;
inline constexpr Handle kInvalidHandle = -1;
#endif

// Start and stop the platform socket layer (Winsock on Windows; nothing to do
// on POSIX, where sends use MSG_NOSIGNAL / SO_NOSIGPIPE instead of a signal).
void startup();
void cleanup();

class Socket
{
public:
    Socket() = default;
    explicit Socket(Handle h) : m_handle(h) {}
    ~Socket() { close(); }
    Socket(Socket &&other) noexcept : m_handle(other.release()) {}
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    bool valid() const { return m_handle != kInvalidHandle; }
    Handle handle() const { return m_handle; }
    Handle release();
    void close();

private:
    Handle m_handle = kInvalidHandle;
};

// Result of a single receive or send call.
//   > 0  bytes transferred
//   = 0  orderly close by the peer (receive only)
//   < 0  see the constants below
inline constexpr long kIoError = -1;
inline constexpr long kIoWouldBlock = -2;

long receive(const Socket &s, char *buffer, std::size_t capacity);
long send(const Socket &s, const char *data, std::size_t size);
long receiveFrom(const Socket &s, char *buffer, std::size_t capacity, sockaddr_storage *from,
                 socklen_t *fromLength);
long sendTo(const Socket &s, const char *data, std::size_t size, const sockaddr *to, socklen_t toLength);

enum class Readiness { Ready, Timeout, Error };
// Waits until the socket is readable (or writable) for at most timeoutMs.
Readiness waitReadable(const Socket &s, int timeoutMs);
Readiness waitWritable(const Socket &s, int timeoutMs);

bool setNonBlocking(const Socket &s, bool on);
bool setReuseAddress(const Socket &s);
void shutdownSend(const Socket &s);

// IPv4 addresses are held in host byte order.
// Strict dotted decimal: four decimal octets, nothing else.
bool parseIPv4(std::string_view text, std::uint32_t *address);
std::string formatIPv4(std::uint32_t address);

// TCP server: bound to address:port and listening; invalid on failure.
Socket tcpListen(std::uint32_t address, std::uint16_t port, int backlog, bool reuseAddress);
// Accepts one pending connection; the peer's IPv4 address goes to *peer.
// Returns an invalid socket when nothing is pending or on error.
Socket tcpAccept(const Socket &listener, std::uint32_t *peer);
// The port a bound socket listens on, 0 on error.
std::uint16_t localPort(const Socket &s);

// A client connect in two steps, so that the caller can wait for it in its
// own (interruptible) way instead of blocking inside one call.
enum class ConnectStart { Connected, Pending, Failed };
// Starts connecting a new non-blocking TCP socket to address:port. On
// Connected or Pending *out holds the socket; it stays non-blocking.
ConnectStart tcpConnectBegin(std::uint32_t address, std::uint16_t port, Socket *out);
// Why a connect failed, as far as a user can act on it: nobody listens
// there (Refused), no way leads there (Unreachable), or something else.
enum class ConnectError { None, Refused, Unreachable, Other };
// Of a pending socket once writable.
ConnectError tcpConnectError(const Socket &s);
// Of the connect that tcpConnectBegin just reported Failed, on this thread.
ConnectError lastConnectError();

// --- File content from a stream socket ------------------------------------
// Where the platform can move received bytes into a file inside the system
// (Linux: splice through a pipe), this does, which spares the process a copy
// of every byte. Elsewhere, and for files the system cannot move that way,
// it answers kIoUnsupported before taking any byte, and the caller copies
// through a buffer of its own instead.
// File descriptors are those QFile::handle() gives on every platform.
inline constexpr long kIoUnsupported = -4;

// Receives from sockets into files at their current positions, through a
// pipe of its own where the platform moves bytes that way.
class FileReceiver
{
public:
    FileReceiver();
    ~FileReceiver();
    FileReceiver(const FileReceiver &) = delete;
    FileReceiver &operator=(const FileReceiver &) = delete;

    // Moves up to size bytes: > 0 bytes stored; 0 when the peer closed;
    // kIoWouldBlock; kIoUnsupported (nothing read); kIoError when the
    // connection failed or the file took fewer bytes than were read (a full
    // disk), after which the receiver is of no further use.
    long receive(const Socket &s, int fileDescriptor, std::size_t size);

private:
    int m_pipeRead = -1;
    int m_pipeWrite = -1;
    bool m_broken = false;
};

} // namespace sock

// --- Datagrams, multicast and interfaces ---------------------------------

#include <mutex>
#include <optional>
#include <vector>

namespace sock {

// A new IPv4 UDP socket; invalid on failure.
Socket udpSocket();
// Lets other programs bind the same port too: SO_REUSEADDR, and SO_REUSEPORT
// where the platform has it (other mDNS stacks set both).
bool setReuseAddressAndPort(const Socket &s);
bool bindIPv4(const Socket &s, std::uint32_t address, std::uint16_t port);
bool setMulticastTtl(const Socket &s, unsigned char ttl);
// The IP time to live of what the socket sends to a single host.
bool setUnicastTtl(const Socket &s, int ttl);
bool setMulticastLoop(const Socket &s, bool on);
bool joinMulticastGroup(const Socket &s, std::uint32_t group, std::uint32_t interfaceAddress);
bool setMulticastInterface(const Socket &s, std::uint32_t interfaceAddress);
// Asks the system to report the arrival interface of each datagram; false
// where the platform cannot.
bool enableArrivalInterface(const Socket &s);

struct DatagramInfo
{
    std::uint32_t sender = 0; // host order
    std::uint16_t senderPort = 0;
    int interfaceIndex = 0;         // arrival interface, 0 when unknown
    std::uint32_t localAddress = 0; // our address on that interface as the system sees it, 0 when unknown
};
// Receives one IPv4 datagram; > 0 bytes, or kIoWouldBlock / kIoError.
long receiveDatagram(const Socket &s, char *buffer, std::size_t capacity, DatagramInfo *info);
// Sends one datagram to address:port, out of the given interface when its
// index is non-zero and the platform lets the sender choose.
long sendDatagram(const Socket &s, const char *data, std::size_t size, std::uint32_t address,
                  std::uint16_t port, int interfaceIndex = 0);

struct InterfaceAddress
{
    int index = 0;
    std::uint32_t address = 0; // host order
    std::uint32_t netmask = 0;
    bool up = false;
    bool loopback = false;
    bool multicast = false;
};
// The IPv4 addresses of this machine's interfaces.
std::vector<InterfaceAddress> interfaceAddresses();

// Tells a loop that waits on one socket when this machine's interfaces or
// their IPv4 addresses change, so that it need not list them again and again
// to notice (which would wake an idle program for nothing). Where the system
// tells (Linux: routing netlink), waitable() is readable whenever the socket
// given or the system has something to say; elsewhere it is that socket
// alone, watching() is false and the caller lists the interfaces again every
// kFallbackRescanMs instead.
class InterfaceWatch
{
public:
    static constexpr int kFallbackRescanMs = 5000;

    // alongside must outlive the watch.
    explicit InterfaceWatch(const Socket &alongside);
    InterfaceWatch(const InterfaceWatch &) = delete;
    InterfaceWatch &operator=(const InterfaceWatch &) = delete;

    bool watching() const { return m_events.valid(); }
    const Socket &waitable() const { return watching() ? m_events : *m_alongside; }
    // Reads what the system told since the last call; true when an interface
    // or address may have come, gone or changed.
    bool changed();

private:
    const Socket *m_alongside;
    Socket m_notices; // the system's messages
    Socket m_events;  // readable when either socket is
};

// --- Which addresses a peer may have ---------------------------------------
// Phones are reached under unicast addresses of other hosts. An address
// learned from the network may point anywhere: at this computer (loopback,
// 0.0.0.0, its own addresses), where local-only services and this program
// itself listen, or at no single host at all (multicast, broadcast).
enum class PeerAddressPolicy {
    OtherHostsOnly,
    // Loopback too, for phones played by programs on this computer (tests,
    // the simulated phone). This computer's other addresses stay refused.
    LoopbackAllowed,
};

// Whether a peer at address may be contacted, given this computer's
// interfaces. Refused: 0.0.0.0/8 (a connect there reaches this computer),
// multicast 224.0.0.0/4, reserved 240.0.0.0/4 with 255.255.255.255, the
// addresses in own and the broadcast address of each subnet in own;
// loopback 127.0.0.0/8 unless the policy allows it. Link-local
// (169.254.0.0/16) and shared (100.64.0.0/10) addresses stay allowed: phones
// on a network without DHCP, or behind a VPN, have them.
bool isPeerAddress(std::uint32_t address, const std::vector<InterfaceAddress> &own, PeerAddressPolicy policy);

// isPeerAddress against this computer's interfaces as they are now, listed
// again once the last list is older than kRefreshMs: an address gained later
// (Wi-Fi after login) is known within seconds, and a flood of sightings
// costs no more listings. Thread-safe.
class OwnInterfaces
{
public:
    static constexpr int kRefreshMs = 3000;
    bool allows(std::uint32_t address, PeerAddressPolicy policy);

private:
    std::mutex m_mutex;
    std::vector<InterfaceAddress> m_list;
    std::optional<std::chrono::steady_clock::time_point> m_listedAt;
};

// Something to poll besides a socket, so that a blocked wait can be ended at
// once from another thread. Once woken it stays woken.
class Waker
{
public:
    Waker();
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;
    bool valid() const;
    void wake();

private:
    friend Readiness waitUnlessWoken(const Socket &s, const Waker &waker, bool forWrite, int timeoutMs);
    Handle m_read = kInvalidHandle;
    Handle m_write = kInvalidHandle;
};
// Waits until the socket is readable (or writable) for at most timeoutMs (-1:
// no limit). Error also when the waker was woken.
Readiness waitUnlessWoken(const Socket &s, const Waker &waker, bool forWrite, int timeoutMs);

} // namespace sock
