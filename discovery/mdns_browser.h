// Finding peers: the one-shot question the browser multicasts each cycle and
// what it makes of a reply, as pure functions so that they can be driven
// without sockets.
#pragma once

#include "dns_codec.h"
#include "remote_device.h"

#include <QList>

#include <array>
#include <cstdint>

namespace mdns {

inline constexpr std::size_t kBrowseQuerySize = 40;
inline constexpr std::size_t kReceiveBufferSize = 4096;
// Records of one kind remembered from a single reply; a real responder sends
// a handful, the rest of a hostile flood is dropped.
inline constexpr std::size_t kMaxRecordsPerReply = 32;

// PTR question for our service type. Asked from the mDNS port itself it is a
// plain multicast question; from any other port it asks for unicast replies.
std::array<std::uint8_t, kBrowseQuerySize> buildBrowseQuery(std::uint16_t id, bool fromMdnsPort);

// Identifier of the cycle after id: 16 bits wide, so 65535 is followed by 0.
inline std::uint16_t nextCycleId(std::uint16_t id)
{
    return std::uint16_t(id + 1);
}

// One device per complete instance the reply describes (PTR target, its SRV,
// the A of the SRV's host, in whatever order and section they come), this
// program's own instance left out. Replies not meant for cycle cycleId are
// ignored; in cycle 0 every reply counts. The reply is read on its own, with
// nothing remembered: a browser that listens to every response, across
// datagrams, feeds a BrowseCache (mdns_cache.h) instead.
QList<RemoteDevice> handleBrowseReply(Bytes message, std::uint16_t cycleId, qint64 nowMsSinceEpoch);

// The instance label of a PTR target: the text before its first "._", or the
// whole text when there is nothing before it.
QString instanceLabel(const QString &target);

} // namespace mdns
