// Which identity lookups of discovered phones to make: a stranger on the
// network can announce any number of addresses, and each lookup costs a
// connection that may wait for seconds. Pure, with the time handed in; the
// caller serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <utility>

class IdentityThrottle
{
public:
    enum class Verdict {
        Ask,
        // Asked within the last kIdentityRepeatMs already.
        Repeat,
        // kMaxWaitingIdentityLookups wait already. Not remembered, so that a
        // later sighting is asked once there is room.
        Busy,
    };

    // Whether to look up the peer at address:port now, with waiting lookups
    // queued and not yet started. Ask is remembered as an attempt; beyond
    // kMaxRememberedIdentityLookups attempts the oldest is forgotten first.
    Verdict admit(std::uint32_t address, std::uint16_t port, std::int64_t nowMs, std::size_t waiting);

    std::size_t remembered() const { return m_order.size(); }

private:
    using Key = std::pair<std::uint32_t, std::uint16_t>;
    std::deque<std::pair<std::int64_t, Key>> m_order; // oldest attempt first
    std::set<Key> m_recent;                           // the keys of m_order
};
