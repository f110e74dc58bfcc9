// What the browser has heard: the records of every mDNS response that can
// describe a peer of our service type, each kept for its TTL. Phones announce
// by multicast to everyone, answer in several datagrams, or reply by unicast
// with an identifier of their own; remembering records across datagrams finds
// them all the same. Pure and single-threaded: the caller serialises access.
#pragma once

#include "dns_codec.h"
#include "remote_device.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mdns {

// Room for dozens of phones with their PTR, SRV and A records. Beyond it the
// record heard longest ago goes first: live peers refresh theirs with every
// announcement, so a burst of strangers' records cannot crowd them out for long.
inline constexpr std::size_t kMaxCachedRecords = 256;

class BrowseCache
{
public:
    // Learns from one received response (queries are ignored, whatever
    // their identifier or the socket they came in on) and returns one device
    // per complete instance (PTR for our service type, its SRV, the A of the
    // SRV's host) of which this datagram added or refreshed any record, this
    // program's own instance left out. A record with TTL 0 is forgotten; a
    // record with the cache-flush bit replaces those of its owner and type
    // heard in earlier datagrams.
    std::vector<RemoteDevice> feed(Bytes message, std::int64_t nowMs);

    std::size_t size() const { return m_records.size(); }

private:
    struct Record
    {
        std::uint16_t type = 0;
        std::string owner;
        std::string target; // PTR: the instance; SRV: the host
        std::uint16_t port = 0;
        std::uint32_t address = 0;
        std::int64_t expiresMs = 0;
        std::uint64_t heardIn = 0; // the feed that last brought it
    };

    void learn(const MdnsEntry &entry, std::int64_t nowMs);
    void store(Record record, std::uint32_t ttl, bool cacheFlush);
    const Record *newest(std::uint16_t type, const std::string &owner) const;
    std::vector<RemoteDevice> complete(std::int64_t nowMs) const;

    std::vector<Record> m_records; // heard longest ago first
    std::uint64_t m_feed = 0;
    std::size_t m_learnedThisFeed = 0;
};

} // namespace mdns
