// Claiming our instance and host name on a link before announcing them: the
// probe query to send, what a received message means for the names, and the
// next names to try after a conflict. Pure and single-threaded; timing and
// sending stay with DiscoveryService.
#pragma once

#include "dns_codec.h"
#include "mdns_responder.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace mdns {

// Renames after conflicts end at "Name (9)" and "host-9.local.": a host that
// answers every probe, or claims the names to come in advance, must not push
// the number up without end. From there the same names are probed again.
inline constexpr int kMaxNameSuffix = 9;
// Conflicts this many times within the window, and each next probe waits
// (RFC 6762 §8.1); so does every probe of names at their last number.
inline constexpr std::size_t kMaxQuickConflicts = 15;
inline constexpr std::int64_t kConflictWindowMs = 10000;
inline constexpr std::int64_t kConflictPauseMs = 5000;

class Prober
{
public:
    enum class Verdict {
        None,
        // Another host answers for one of our names with other data.
        Conflict,
        // Another host probes for one of our names at the same time and its
        // records sort higher: wait a second and probe again.
        LostTieBreak,
    };

    // Where the names stand when a conflict is heard.
    enum class Stage {
        Waiting,   // for the first probe of a series (at start, or after a pause)
        Probing,   // probes sent, names not yet ours
        Announced, // ours, answered for
    };
    struct Retry
    {
        std::int64_t probeAtMs = 0; // when the next series of probes starts
        bool renamed = false;
    };

    explicit Prober(PublishedService wanted);

    // The names currently claimed, with the wanted port.
    const PublishedService &service() const { return m_service; }

    // ANY questions for the instance and host name (the first probe asks for
    // a unicast reply), with the SRV and A records we intend to use on the
    // link of address in the authority section, so that a simultaneous
    // prober can settle the tie with what we really propose there. Empty
    // when it does not fit a message.
    std::vector<std::uint8_t> probeQuery(bool unicastResponse, std::uint32_t address) const;

    // What message, received from the network on the link where we are
    // address, means for our names. Names match without regard to letter
    // case. Only SRV and A data count, as they decide where phones connect
    // (TXT and NSEC never conflict); of a response, only records that live
    // (TTL above 0: a goodbye claims nothing) and differ from ours: an SRV
    // like ours, or an A with any of ownAddresses, is our record repeated by
    // a cache. Queries count only while probing, and only their authority
    // records. Messages with an opcode or error code are ignored.
    Verdict check(Bytes message, bool probing, std::uint32_t address,
                  std::span<const std::uint32_t> ownAddresses) const;

    // What a conflict heard at nowMs does. Only one heard while our probes
    // are out takes the next names; one heard once they are ours has the
    // same names probed again; one heard while waiting changes nothing (the
    // coming probes tell whether the claim holds). The next series starts at
    // once, or kConflictPauseMs later when conflicts come too quickly or the
    // names are at their last number. Nothing when the conflict is ignored.
    std::optional<Retry> conflict(std::int64_t nowMs, Stage stage);

    // Both names move on together, "Name (2)" and "host-2.local." first;
    // false, changing nothing, at kMaxNameSuffix.
    bool renameAfterConflict();

private:
    PublishedService m_wanted;
    PublishedService m_service;
    int m_suffix = 1;
    std::deque<std::int64_t> m_conflicts; // counted ones within the window, at most kMaxQuickConflicts
};

} // namespace mdns
