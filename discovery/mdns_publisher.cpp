#include "mdns_publisher.h"

#include <algorithm>
#include <utility>

namespace mdns {

namespace {
void keep(std::vector<Datagram> &out, Datagram d)
{
    if (!d.bytes.empty())
        out.push_back(std::move(d));
}
} // namespace

Publisher::Publisher(PublishedService wanted, std::uint32_t seed, std::int64_t nowMs)
    : m_prober(std::move(wanted)), m_random(seed)
{
    m_nextProbeMs = nowMs + std::uniform_int_distribution<std::int64_t>(0, kProbeSpacingMs - 1)(m_random);
}

std::vector<Link> Publisher::setInterfaces(std::vector<sock::InterfaceAddress> interfaces, std::int64_t nowMs)
{
    std::vector<Link> links = joinableLinks(interfaces);
    std::vector<Link> added = addedLinks(m_links, links);
    m_interfaces = std::move(interfaces);
    m_links = std::move(links);
    std::erase_if(m_announcements, [this](const DueAnnouncement &d) {
        return std::find(m_links.begin(), m_links.end(), d.link) == m_links.end();
    });
    // Probes already out, or names already ours, are claimed on the new link
    // too; a series yet to begin will include it anyway.
    const bool newLink = std::any_of(added.begin(), added.end(), [](const Link &l) { return !l.loopback; });
    if (newLink && (m_responder || m_probesLeft < kProbes))
        probeFrom(nowMs);
    return added;
}

void Publisher::receive(Bytes datagram, const sock::DatagramInfo &info, std::uint16_t browsePort,
                        std::int64_t nowMs)
{
    const bool ours = fromUs(info.sender);
    if (ours && info.senderPort == browsePort)
        return;
    const std::uint32_t localAddress = announcedAddress(info, m_interfaces);
    if (!ours) {
        std::vector<std::uint32_t> own;
        for (const sock::InterfaceAddress &i : m_interfaces)
            own.push_back(i.address);
        switch (m_prober.check(datagram, !m_responder, localAddress, own)) {
        case Prober::Verdict::Conflict: {
            using Stage = Prober::Stage;
            const Stage stage = m_responder              ? Stage::Announced
                                : m_probesLeft < kProbes ? Stage::Probing
                                                         : Stage::Waiting;
            if (const auto retry = m_prober.conflict(nowMs, stage)) {
                if (retry->renamed)
                    m_events.push_back({Event::Renamed, service().instanceName});
                probeFrom(retry->probeAtMs);
            }
            return;
        }
        case Prober::Verdict::LostTieBreak:
            probeFrom(nowMs + kTieBreakPauseMs);
            return;
        case Prober::Verdict::None:
            break;
        }
    }
    if (!m_responder)
        return; // nothing is answered for names not yet ours
    const ReceivedFrom from{info.sender,
                            info.senderPort,
                            info.interfaceIndex,
                            localAddress,
                            senderOnLink(info.sender, m_interfaces),
                            !ours};
    for (Datagram &d : m_responder->handleDatagram(datagram, from, nowMs))
        m_answers.push_back(std::move(d));
}

std::vector<Datagram> Publisher::due(std::int64_t nowMs)
{
    std::vector<Datagram> out = std::move(m_answers);
    m_answers.clear();
    if (!m_responder && nowMs >= m_nextProbeMs) {
        if (m_probesLeft == 0) {
            claim(nowMs);
        } else {
            for (const Link &link : m_links) {
                if (!link.loopback)
                    keep(out, {protocol::kMdnsGroup, protocol::kMdnsPort,
                               m_prober.probeQuery(m_probesLeft == kProbes, link.address), link.index});
            }
            --m_probesLeft;
            m_nextProbeMs = nowMs + kProbeSpacingMs;
        }
    }
    for (auto it = m_announcements.begin(); it != m_announcements.end();) {
        if (it->atMs <= nowMs) {
            keep(out, {protocol::kMdnsGroup, protocol::kMdnsPort,
                       m_responder->announcement(it->link.index, it->link.address, nowMs), it->link.index});
            it->atMs = nowMs + kAnnouncementSpacingMs;
            if (--it->left == 0) {
                it = m_announcements.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (m_responder) {
        for (Datagram &d : m_responder->due(nowMs))
            out.push_back(std::move(d));
    }
    return out;
}

std::int64_t Publisher::nextDueMs() const
{
    if (!m_answers.empty())
        return 0;
    std::int64_t next = m_responder ? kNever : m_nextProbeMs;
    for (const DueAnnouncement &d : m_announcements)
        next = std::min(next, d.atMs);
    if (m_responder)
        next = std::min(next, m_responder->nextDueMs().value_or(kNever));
    return next;
}

std::vector<Publisher::Event> Publisher::takeEvents()
{
    return std::exchange(m_events, {});
}

std::vector<Datagram> Publisher::goodbyes() const
{
    std::vector<Datagram> out;
    for (const Link &link : m_links) {
        if (!link.loopback && m_responder)
            keep(out,
                 {protocol::kMdnsGroup, protocol::kMdnsPort, m_responder->goodbye(link.address), link.index});
    }
    return out;
}

void Publisher::probeFrom(std::int64_t atMs)
{
    m_responder.reset();
    m_announcements.clear();
    m_probesLeft = kProbes;
    m_nextProbeMs = atMs;
}

void Publisher::claim(std::int64_t nowMs)
{
    m_responder.emplace(m_prober.service(), std::uint32_t(m_random()));
    if (service().instanceName != m_claimedName) {
        m_claimedName = service().instanceName;
        m_events.push_back({Event::Claimed, m_claimedName});
    }
    // Unsolicited announcements on every link (RFC 6762 §8.3).
    for (const Link &link : m_links) {
        if (!link.loopback)
            m_announcements.push_back({link, nowMs});
    }
}

bool Publisher::fromUs(std::uint32_t sender) const
{
    // Multicast sent out of a link without an address of its own comes back
    // from 0.0.0.0, which no other computer claiming names has.
    return sender == 0 ||
           std::any_of(m_interfaces.begin(), m_interfaces.end(),
                       [sender](const sock::InterfaceAddress &i) { return i.address == sender; });
}

} // namespace mdns
