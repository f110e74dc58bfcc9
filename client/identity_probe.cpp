#include "identity_probe.h"

#include "deadline_stream.h"
#include "peer_connect.h"
#include "peer_wire.h"

IdentityProbe::IdentityProbe(QObject *parent) : QObject(parent)
{
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
    sock::Socket socket;
    if (const auto failure = peerconnect::connect(*device, limits.connectTimeoutMs, pool, &socket)) {
        switch (*failure) {
        case peerconnect::Failure::BadAddress:
            return Outcome::BadAddress;
        case peerconnect::Failure::TimedOut:
            return Outcome::TimedOut;
        case peerconnect::Failure::Refused:
            return Outcome::Refused;
        case peerconnect::Failure::Unreachable:
            return Outcome::Unreachable;
        }
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
