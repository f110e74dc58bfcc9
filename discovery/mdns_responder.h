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
#include <random>
#include <string>
#include <vector>

namespace mdns {

inline constexpr std::uint16_t kCacheFlushIn = kClassTopBit | kClassIn;
// Browsers that list every service type on the link ask this name (RFC 6763 §9).
inline constexpr const char *kServiceEnumerationName = "_services._dns-sd._udp.local.";

// Each record is multicast at most once per interface and second; a question
// inside that second is served by the answer just sent.
inline constexpr std::int64_t kMulticastIntervalMs = 1000;
// Except in defence of our names: a host probing for them decides within
// 750 ms, so answers to probes wait only until this long after the last
// multicast of the same record (RFC 6762 §6).
inline constexpr std::int64_t kProbeDefenceIntervalMs = 250;
// Answers holding shared records (our PTRs) wait a random time in this range,
// so that the answers of every responder on the link to one question are not
// sent at the same moment and several questions share one answer (RFC 6762
// §6). Answers of unique records alone go at once.
inline constexpr int kSharedAnswerMinDelayMs = 20;
inline constexpr int kSharedAnswerMaxDelayMs = 120;
// How long the answer to a query with more known answers to come (TC set)
// waits for them.
inline constexpr int kTruncatedWaitMinMs = 400;
inline constexpr int kTruncatedWaitMaxMs = 500;
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
    int interfaceIndex = 0; // out of which a multicast goes; 0: as routed
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
    // False for what this computer itself sent and hears again.
    bool otherHost = true;
};

class MdnsResponder
{
public:
    explicit MdnsResponder(PublishedService service = {}, std::uint32_t seed = 1)
        : m_service(std::move(service)), m_random(seed)
    {
    }

    // The datagrams to send at once in answer to message; answers that wait
    // come from due(). Questions are matched without regard to letter case,
    // and only the type asked (or ANY) is answered: PTR for the service type
    // (SRV, A and TXT additional) and for the service enumeration name, SRV
    // (A additional) and TXT for the instance, A for the host (with an NSEC
    // saying no other type exists). Any other type of the instance or the
    // host gets that name's NSEC. Records the querier lists as known with at
    // least half their TTL left are left out.
    // Answers are multicast, each record at most once per interface and
    // second (a quarter of that for answers to probes, which wait rather
    // than go unanswered); a question asking for a unicast reply gets one
    // when its records were multicast on that interface within a quarter of
    // their TTL anyway. A one-shot querier (not on the mDNS port) also gets
    // a unicast reply repeating its question. Unicast replies go to senders
    // on our links only, at most kLegacyRepliesPerSecond of them.
    std::vector<Datagram> handleDatagram(Bytes message, const ReceivedFrom &from, std::int64_t nowMs);
    // The answers whose wait has ended by nowMs, and when the next one's does.
    std::vector<Datagram> due(std::int64_t nowMs);
    std::optional<std::int64_t> nextDueMs() const;

    // An unsolicited announcement carrying address, for the interface it is
    // sent on; it counts as a multicast of our records there.
    std::vector<std::uint8_t> announcement(int interfaceIndex, std::uint32_t address, std::int64_t nowMs);
    // The goodbye for address (see buildGoodbye).
    std::vector<std::uint8_t> goodbye(std::uint32_t address) const;

    const PublishedService &service() const { return m_service; }

    // PTR, SRV, A, TXT, the host's NSEC, the instance's NSEC and the PTR
    // that names our service type to service enumeration.
    static constexpr std::size_t kRecordKinds = 7;

private:
    using SentTimes = std::array<std::optional<std::int64_t>, kRecordKinds>;
    // A multicast answer waiting for its time, one per interface at most:
    // what other questions ask meanwhile joins it.
    struct Waiting
    {
        int interfaceIndex = 0;
        std::uint32_t localAddress = 0;
        std::int64_t atMs = 0;
        std::uint8_t answers = 0;
        std::uint8_t known = 0; // additional records the askers hold already
        // The one querier whose truncated question this answers, whose
        // further known answers still count; 0 when there is none.
        std::uint32_t truncatedFrom = 0;
    };

    SentTimes &sentOn(int interfaceIndex);
    bool unicastReplyAllowed(std::int64_t nowMs);
    // The multicast answer to send now, if any; answers that must wait are
    // kept for due().
    Datagram scheduleMulticast(std::uint8_t fresh, std::uint8_t known, bool probe, const ReceivedFrom &from,
                               std::int64_t nowMs, bool truncated);
    Datagram multicast(int interfaceIndex, std::uint32_t localAddress, std::uint8_t answers,
                       std::uint8_t known, std::int64_t nowMs);
    void wait(const ReceivedFrom &from, std::int64_t atMs, std::uint8_t answers, std::uint8_t known,
              std::uint32_t truncatedFrom = 0);
    // Drops from the answer waiting on from's interface what a response
    // from another host gave there, or what the querier it waits for lists
    // as known in a query without questions.
    void dropHeard(Bytes message, const Header &header, const ReceivedFrom &from, std::int64_t nowMs);

    PublishedService m_service;
    std::map<int, SentTimes> m_lastMulticast;
    std::vector<Waiting> m_waiting;
    std::minstd_rand m_random;
    std::int64_t m_legacyWindowStart = 0;
    int m_legacyInWindow = 0;
    bool m_legacyWindowOpen = false;
};

} // namespace mdns
