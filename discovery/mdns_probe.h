// Claiming our instance and host name on a link before announcing them: the
// probe query to send, what a received message means for the names, and the
// next names to try after a conflict. Pure and single-threaded; timing and
// sending stay with DiscoveryService.
#pragma once

#include "dns_codec.h"
#include "mdns_responder.h"

#include <cstdint>
#include <vector>

namespace mdns {

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

    explicit Prober(PublishedService wanted);

    // The names currently claimed, with the wanted port and address.
    const PublishedService &service() const { return m_service; }

    // ANY questions for the instance and host name (the first probe asks for
    // a unicast reply), with the SRV and A records we intend to use in the
    // authority section, so that a simultaneous prober can settle the tie.
    // Empty when it does not fit a message.
    std::vector<std::uint8_t> probeQuery(bool unicastResponse) const;

    // What message, received from the network, means for our names. Names
    // match without regard to letter case. Only SRV and A data count, as
    // they decide where phones connect (TXT and NSEC never conflict), and a
    // response repeating our own records (our announcement looped back) is
    // no conflict. Queries count only while probing, and only their
    // authority records. Messages with an opcode or error code are ignored.
    Verdict check(Bytes message, bool probing) const;

    // Both names move on together, "Name (2)" and "host-2.local." first.
    void renameAfterConflict();

private:
    PublishedService m_wanted;
    PublishedService m_service;
    int m_suffix = 1;
};

} // namespace mdns
