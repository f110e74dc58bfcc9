#include "peer_connect.h"

#include <QDeadlineTimer>

#include <string_view>

namespace peerconnect {
namespace {
constexpr int kMaxPort = 0xffff;

std::optional<Failure> failureOf(sock::ConnectError error)
{
    switch (error) {
    case sock::ConnectError::None:
        return std::nullopt;
    case sock::ConnectError::Refused:
        return Failure::Refused;
    default:
        return Failure::Unreachable;
    }
}
} // namespace

std::optional<Failure> connect(const RemoteDevice &device, int timeoutMs, const StopToken &pool,
                               sock::Socket *out)
{
    const QByteArray text = device.ip.toUtf8();
    std::uint32_t address = 0;
    // A port out of range is no other port cut to 16 bits.
    if (device.port < 1 || device.port > kMaxPort ||
        !sock::parseIPv4(std::string_view(text.constData(), std::size_t(text.size())), &address))
        return Failure::BadAddress;
    sock::Socket socket;
    switch (sock::tcpConnectBegin(address, std::uint16_t(device.port), &socket)) {
    case sock::ConnectStart::Failed:
        return failureOf(sock::lastConnectError()).value_or(Failure::Unreachable);
    case sock::ConnectStart::Pending:
        if (pool.waitWritable(socket, QDeadlineTimer(timeoutMs)) != sock::Readiness::Ready)
            return Failure::TimedOut;
        if (const auto failure = failureOf(sock::tcpConnectError(socket)))
            return failure;
        break;
    case sock::ConnectStart::Connected:
        break;
    }
    *out = std::move(socket);
    return std::nullopt;
}

} // namespace peerconnect
