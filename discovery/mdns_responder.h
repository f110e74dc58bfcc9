// What this computer answers on the multicast DNS port, as a pure function of
// the received datagram, where it came from and the time: the loop in
// DiscoveryService only moves the resulting datagrams onto the wire.
#pragma once

#include "dns_codec.h"
#include "protocol.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mdns {

inline constexpr std::uint16_t kCacheFlushIn = kClassTopBit | kClassIn;

// Each record is multicast at most once per interface and second; a question
// inside that second is served by the answer just sent.
inline constexpr std::int64_t kMulticastIntervalMs = 1000;
// A querier asking for a unicast reply gets one while our records were
// multicast within a quarter of their TTL; after that the answer goes to the
// group again, so that every cache on the link is refreshed.
inline constexpr std::int64_t kUnicastWhileMulticastWithinMs = protocol::kAnnouncementTtl * 1000 / 4;
// Unicast replies (one-shot queriers and those asking for one), all senders
// together.
inline constexpr int kLegacyRepliesPerSecond = 20;
inline constexpr std::int64_t kLegacyRateWindowMs = 1000;
// Remembered interfaces for the multicast limit; more than this on one
// machine just start afresh.
inline constexpr std::size_t kMaxTrackedInterfaces = 64;

struct PublishedService
{
    std::string serviceType = protocol::kServiceType;
    std::string instanceName = std::string(protocol::kInstanceLabel) + "." + protocol::kServiceType;
    std::string hostName = protocol::kHostName;
    std::uint16_t port = protocol::kHttpPort;
    std::uint32_t address = 0; // host order
};

// PTR, SRV, A and TXT for service at address, with the class and TTL they
// carry in a multicast announcement.
std::array<MdnsRecord, 4> serviceRecords(const PublishedService &service);

// The multicast announcement: header, PTR answer, SRV, A and TXT additional
// records, one compression table. Empty when it does not fit.
std::vector<std::uint8_t> buildAnnouncement(const PublishedService &service);

// The same four records with TTL 0, all as answers: caches that hear it drop
// this computer at once instead of listing it until the TTL runs out.
std::vector<std::uint8_t> buildGoodbye(const PublishedService &service);

struct Datagram
{
    std::uint32_t address = 0; // host order
    std::uint16_t port = 0;
    std::vector<std::uint8_t> bytes;
};

// What the responder learnt about one received datagram.
struct ReceivedFrom
{
    std::uint32_t address = 0; // sender, host order
    std::uint16_t port = 0;
    int interfaceIndex = 0;         // arrival interface, 0 when unknown
    std::uint32_t localAddress = 0; // the address to announce for that interface
    // Whether the sender's address lies in one of our interfaces' subnets.
    // Unicast replies go only there: anything else is a spoofed source or
    // a query routed in from afar, and answering would make us a reflector.
    bool senderOnLink = true;
};

class MdnsResponder
{
public:
    explicit MdnsResponder(PublishedService service = {}) : m_service(std::move(service)) {}

    // The datagrams to send in answer to message. Questions are matched
    // without regard to letter case: any type for the service type (PTR
    // answer, SRV, A and TXT additional), SRV, TXT or ANY for the instance,
    // A or ANY for the host (with an NSEC saying no other type exists) and
    // AAAA for the host (that NSEC, with A additional). Records the querier
    // lists as known with at least half their TTL left are left out.
    // Answers are multicast, each record at most once per interface and
    // second; a question asking for a unicast reply gets one when its
    // records were multicast on that interface within a quarter of their TTL
    // anyway. A one-shot querier (not on the mDNS port) also gets a unicast
    // reply repeating its question. Unicast replies go to senders on our
    // links only, at most kLegacyRepliesPerSecond of them.
    std::vector<Datagram> handleDatagram(Bytes message, const ReceivedFrom &from, std::int64_t nowMs);

    // An unsolicited announcement carrying address, for the interface it is
    // sent on; it counts as a multicast of our records there.
    std::vector<std::uint8_t> announcement(int interfaceIndex, std::uint32_t address, std::int64_t nowMs);
    // The goodbye for address (see buildGoodbye).
    std::vector<std::uint8_t> goodbye(std::uint32_t address) const;

    const PublishedService &service() const { return m_service; }

    static constexpr std::size_t kRecordKinds = 5; // PTR, SRV, A, TXT, NSEC

private:
    using SentTimes = std::array<std::optional<std::int64_t>, kRecordKinds>;
    SentTimes &sentOn(int interfaceIndex);
    bool unicastReplyAllowed(std::int64_t nowMs);

    PublishedService m_service;
    std::map<int, SentTimes> m_lastMulticast;
    std::int64_t m_legacyWindowStart = 0;
    int m_legacyInWindow = 0;
    bool m_legacyWindowOpen = false;
};

} // namespace mdns
