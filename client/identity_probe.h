// The user's own question to one address: does a phone of this kind answer
// there, and if not, why not. Unlike PeerClient::resolveIdentity it is never
// throttled and never silent: every check ends in exactly one checked().
#pragma once

#include "peer_client.h"
#include "remote_device.h"
#include "worker_pool.h"

#include <QObject>

class IdentityProbe : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Answered,
        BadAddress,  // no IPv4 address and port a connection could go to
        TimedOut,    // the connect was not answered in time
        Refused,     // the host is there, nothing listens on the port
        Unreachable, // no way leads to the address
        NoReply,     // connected, but no answer came before the close or the time-out
        NotAPhone,   // an answer, but not the identity of a phone of this kind
    };
    Q_ENUM(Outcome)

    explicit IdentityProbe(QObject *parent = nullptr);
    // Ends every check without a signal.
    ~IdentityProbe() override;

    // Asks device.ip:device.port for its identity on a worker thread. The
    // address policy is the caller's: this asks wherever it is told.
    void check(const RemoteDevice &device);
    void setLimits(const ClientLimits &limits) { m_limits = limits; }

signals:
    // The record completed with the phone's id and name when answered; as
    // given otherwise.
    void checked(const RemoteDevice &device, IdentityProbe::Outcome outcome);

private:
    using Owner = OwnerHandle<IdentityProbe>;
    // The worker; it may be left behind by a stop and reaches this object
    // only through owner.
    static void runCheck(const Owner &owner, RemoteDevice device, const ClientLimits &limits);
    static Outcome run(const StopToken &pool, RemoteDevice *device, const ClientLimits &limits);

    ClientLimits m_limits;
    WorkerPool m_pool; // last: stopped before the members above go
};
