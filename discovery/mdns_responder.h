// What this computer answers on the multicast DNS port, as a pure function of
// the received datagram, where it came from and the time: the loop in
// DiscoveryService only moves the resulting datagrams onto the wire.
#pragma once

#include "dns_codec.h"
#include "protocol.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mdns {

inline constexpr std::uint16_t kCacheFlushIn = kClassTopBit | kClassIn;

// One multicast announcement per interface and second at most; a question
// inside that second is served by the announcement just sent.
inline constexpr std::int64_t kMulticastIntervalMs = 1000;
// Unicast replies to one-shot queriers, all senders together.
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

// A unicast reply to a one-shot query: its identifier and question repeated,
// the same records with a short TTL and no cache-flush bits.
std::vector<std::uint8_t> buildLegacyReply(const PublishedService &service, std::uint16_t id,
                                           std::string_view questionName, std::uint16_t questionType,
                                           std::uint16_t questionClass);

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
};

class MdnsResponder
{
public:
    explicit MdnsResponder(PublishedService service = {}) : m_service(std::move(service)) {}

    // The datagrams to send in answer to message: the multicast announcement
    // (to the group and the mDNS port) when a question names our service
    // type exactly, letter case included, and a unicast reply when the
    // question came from a one-shot querier, each within its rate limit.
    std::vector<Datagram> handleDatagram(Bytes message, const ReceivedFrom &from, std::int64_t nowMs);

    const PublishedService &service() const { return m_service; }

private:
    bool multicastAllowed(int interfaceIndex, std::int64_t nowMs);
    bool legacyReplyAllowed(std::int64_t nowMs);

    PublishedService m_service;
    std::map<int, std::int64_t> m_lastMulticast;
    std::int64_t m_legacyWindowStart = 0;
    int m_legacyInWindow = 0;
    bool m_legacyWindowOpen = false;
};

} // namespace mdns
