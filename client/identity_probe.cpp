#include "identity_probe.h"

#include "deadline_stream.h"
#include "peer_wire.h"

#include <string_view>

namespace {
constexpr int kMaxPort = 0xffff;
} // namespace

IdentityProbe::IdentityProbe(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<RemoteDevice>("RemoteDevice");
    qRegisterMetaType<IdentityProbe::Outcome>("IdentityProbe::Outcome");
}

IdentityProbe::~IdentityProbe()
{
    m_pool.stop();
}

void IdentityProbe::check(const RemoteDevice &device)
{
    if (!m_pool.spawnDetachable(*this, &IdentityProbe::runCheck, device, m_limits) && !m_pool.stopping())
        emit checked(device, Outcome::Unreachable);
}

void IdentityProbe::runCheck(const Owner &owner, RemoteDevice device, const ClientLimits &limits)
{
    const Outcome outcome = run(owner, &device, limits);
    owner.with([&](IdentityProbe &self) { emit self.checked(device, outcome); });
}

IdentityProbe::Outcome IdentityProbe::run(const StopToken &pool, RemoteDevice *device,
                                          const ClientLimits &limits)
{
    const QByteArray ip = device->ip.toUtf8();
    std::uint32_t address = 0;
    if (device->port < 1 || device->port > kMaxPort ||
        !sock::parseIPv4(std::string_view(ip.constData(), std::size_t(ip.size())), &address))
        return Outcome::BadAddress;
    sock::Socket socket;
    switch (sock::tcpConnectBegin(address, std::uint16_t(device->port), &socket)) {
    case sock::ConnectStart::Failed:
        return sock::lastConnectError() == sock::ConnectError::Refused ? Outcome::Refused
                                                                       : Outcome::Unreachable;
    case sock::ConnectStart::Pending:
        if (pool.waitWritable(socket, QDeadlineTimer(limits.connectTimeoutMs)) != sock::Readiness::Ready)
            return Outcome::TimedOut;
        switch (sock::tcpConnectError(socket)) {
        case sock::ConnectError::None:
            break;
        case sock::ConnectError::Refused:
            return Outcome::Refused;
        default:
            return Outcome::Unreachable;
        }
        break;
    case sock::ConnectStart::Connected:
        break;
    }
    const DeadlineStream stream(socket, pool);
    QByteArray reply;
    if (!stream.writeAll(peerwire::identityRequest(device->ip), limits.sendStallTimeoutMs) ||
        stream.readToEnd(&reply, protocol::kMaxReplyBytes, limits.replyIdleTimeoutMs) !=
            DeadlineStream::Until::Closed ||
        reply.isEmpty())
        return Outcome::NoReply;
    std::optional<RemoteDevice> resolved = peerwire::applyIdentityReply(reply, *device);
    // A phone of this kind names itself; any other JSON answer is some other service.
    if (!resolved || resolved->id.isEmpty())
        return Outcome::NotAPhone;
    *device = std::move(*resolved);
    return Outcome::Answered;
}
