// Pieces of the socket wrapper shared by its stream and datagram halves.
#pragma once

#include "socket.h"

#include <cerrno>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace sock::detail {

// Sends never raise SIGPIPE where the platform lets a send say so.
#if defined(MSG_NOSIGNAL)
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#else
inline constexpr int kSendFlags = 0;
#endif

inline bool wouldBlock()
{
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

inline sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port)
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

} // namespace sock::detail
