#include "identity_throttle.h"

#include "protocol.h"

IdentityThrottle::Verdict IdentityThrottle::admit(std::uint32_t address, std::uint16_t port,
                                                  std::int64_t nowMs, std::size_t waiting)
{
    const auto forgetOldest = [this] {
        m_recent.erase(m_order.front().second);
        m_order.pop_front();
    };
    while (!m_order.empty() && m_order.front().first <= nowMs - protocol::kIdentityRepeatMs)
        forgetOldest();
    const Key key(address, port);
    if (m_recent.count(key) != 0)
        return Verdict::Repeat;
    if (waiting >= protocol::kMaxWaitingIdentityLookups)
        return Verdict::Busy;
    // A flood of addresses that fail at once may outpace the minute; the
    // pool bounds the work then, and the oldest memory goes.
    if (m_order.size() >= protocol::kMaxRememberedIdentityLookups)
        forgetOldest();
    m_order.emplace_back(nowMs, key);
    m_recent.insert(key);
    return Verdict::Ask;
}
