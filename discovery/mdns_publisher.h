// When this computer probes for its names, announces them, answers for them
// and takes the next ones: the policy of the responder's side of discovery,
// as a pure, single-threaded state machine over time and datagrams. The loop
// in DiscoveryService only hands it what it hears and when, and sends what it
// says (RFC 6762 §8, §9 and §15).
#pragma once

#include "mdns_probe.h"
#include "mdns_responder.h"
#include "mdns_socket.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace mdns {

// Probes before our names are ours on a link: this many, this far apart, the
// first after a random delay of up to the same (RFC 6762 §8.1).
inline constexpr int kProbes = 3;
inline constexpr std::int64_t kProbeSpacingMs = 250;
// After losing a tie-break against a simultaneous prober, wait this long.
inline constexpr std::int64_t kTieBreakPauseMs = 1000;
// Unsolicited announcements once probing succeeded, this far apart.
inline constexpr int kAnnouncements = 2;
inline constexpr std::int64_t kAnnouncementSpacingMs = 1000;

class Publisher
{
public:
    // What became of our names, for the log.
    struct Event
    {
        enum Kind { Claimed, Renamed } kind = Claimed;
        std::string instanceName;
    };

    // Probing starts at a random moment within kProbeSpacingMs of nowMs.
    Publisher(PublishedService wanted, std::uint32_t seed, std::int64_t nowMs);

    // This machine's interfaces, at start and whenever they change. Returns
    // the links that are new, for the caller to join the group there. A new
    // link or address other than loopback has our names probed for and
    // announced anew, on every link.
    std::vector<Link> setInterfaces(std::vector<sock::InterfaceAddress> interfaces, std::int64_t nowMs);

    // A datagram heard on the mDNS port. Questions our own browser asked
    // (from one of our addresses and browsePort) are not answered; nothing we
    // sent ourselves is another host's claim on our names. A conflict while
    // probing takes the next names; one heard once the names are ours has
    // them probed for again, and only a conflict that holds then renames.
    void receive(Bytes datagram, const sock::DatagramInfo &info, std::uint16_t browsePort,
                 std::int64_t nowMs);

    // Everything to send by nowMs: probes, announcements, answers.
    std::vector<Datagram> due(std::int64_t nowMs);
    // When due() has something next; kNever when nothing is planned.
    std::int64_t nextDueMs() const;
    std::vector<Event> takeEvents();

    // The goodbye for every link our names were announced on.
    std::vector<Datagram> goodbyes() const;
    const PublishedService &service() const { return m_prober.service(); }
    bool answering() const { return m_responder.has_value(); }

private:
    void probeFrom(std::int64_t atMs);
    void claim(std::int64_t nowMs);
    bool fromUs(std::uint32_t sender) const;

    struct DueAnnouncement
    {
        Link link;
        std::int64_t atMs = 0;
        int left = kAnnouncements;
    };

    Prober m_prober;
    std::optional<MdnsResponder> m_responder;
    std::vector<sock::InterfaceAddress> m_interfaces;
    std::vector<Link> m_links;
    int m_probesLeft = kProbes;
    std::int64_t m_nextProbeMs = 0;
    std::vector<DueAnnouncement> m_announcements;
    std::vector<Datagram> m_answers; // to send at the next due()
    std::vector<Event> m_events;
    std::string m_claimedName; // what the last Claimed event said
    std::minstd_rand m_random;
};

} // namespace mdns
