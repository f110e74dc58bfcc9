// Opening a connection to a phone: the one way every request to a phone
// starts, whoever asks.
#pragma once

#include "remote_device.h"
#include "socket.h"
#include "worker_pool.h"

#include <optional>

namespace peerconnect {

enum class Failure {
    BadAddress,  // no IPv4 address and port a connection could go to
    TimedOut,    // the connect was not answered in time
    Refused,     // the host is there, nothing listens on the port
    Unreachable, // no way leads to the address
};

// Connects to the device's address, waiting at most timeoutMs and only as
// long as the pool runs. The socket stays non-blocking: every later wait
// goes through a DeadlineStream.
std::optional<Failure> connect(const RemoteDevice &device, int timeoutMs, const StopToken &pool,
                               sock::Socket *out);

} // namespace peerconnect
