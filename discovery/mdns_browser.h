// Finding peers: the one-shot question the browser multicasts each cycle, as
// a pure function; what the answers mean is the BrowseCache's (mdns_cache.h).
#pragma once

#include "dns_codec.h"
#include "remote_device.h"

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

// The instance label of a PTR target: the text before its first "._", or the
// whole text when there is nothing before it.
QString instanceLabel(const QString &target);

} // namespace mdns
