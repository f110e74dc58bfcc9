// Finding peers: when the browser asks, what it asks and what it reports, as
// a pure, single-threaded state machine over time and datagrams. The loops in
// DiscoveryService hand it what they hear and send what it says; what the
// answers mean is the BrowseCache's (mdns_cache.h).
#pragma once

#include "mdns_cache.h"
#include "protocol.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace mdns {

inline constexpr std::size_t kReceiveBufferSize = 4096;
// The browse question goes out this often; records that run out before the
// next one are asked for with it.
inline constexpr std::int64_t kBrowseIntervalMs = protocol::kBrowseListenMs + protocol::kBrowsePauseMs;
// A query fits one Ethernet frame: known answers that do not are left out
// (their responders merely answer again).
inline constexpr std::size_t kMaxQueryBytes = 1400;
inline constexpr std::size_t kMaxQuestionsPerQuery = 32;

// A query asking questions, with the known answers that fit after them.
// Asked from the mDNS port itself the questions are plain multicast ones;
// from any other port they ask for unicast replies.
std::vector<std::uint8_t> buildQuery(std::uint16_t id, std::span<const Question> questions,
                                     std::span<const KnownAnswer> known, bool fromMdnsPort);
// The PTR question for our service type alone.
std::vector<std::uint8_t> buildBrowseQuery(std::uint16_t id, bool fromMdnsPort);

// Identifier of the cycle after id: 16 bits wide, so 65535 is followed by 0.
inline std::uint16_t nextCycleId(std::uint16_t id)
{
    return std::uint16_t(id + 1);
}

// Phones found (complete, or heard again) and phones gone (a goodbye, or
// their records ran out), lastSeen left to the caller.
struct BrowseNews
{
    std::vector<RemoteDevice> found;
    std::vector<RemoteDevice> gone;
};

class Browser
{
public:
    explicit Browser(std::uint32_t seed = 1) : m_cache(seed) {}

    // A response heard on either socket.
    BrowseNews feed(Bytes datagram, std::int64_t nowMs);

    struct Due
    {
        std::vector<std::uint8_t> query; // empty: nothing to ask now
        BrowseNews news;
        std::int64_t nextMs = kNever; // when to call again at the latest
    };
    // Every kBrowseIntervalMs: the browse question listing the phones known
    // (RFC 6762 §7.1), with the questions due before the next one, and every
    // phone still complete reported again (holders of a list keep it by
    // this, since phones that know we know them stay silent). In between: a
    // query when a phone is to be completed or a record in use refreshed.
    Due due(std::int64_t nowMs, bool fromMdnsPort);

private:
    void settle(BrowseNews &news);

    BrowseCache m_cache;
    std::map<std::string, RemoteDevice> m_present; // reported as found, by instance
    std::int64_t m_nextCycleMs = 0;
    std::uint16_t m_nextCycle = 1;
    std::uint16_t m_cycle = 1;
};

} // namespace mdns
