#include "mdns_responder.h"

#include <algorithm>

namespace mdns {

std::array<MdnsRecord, 4> serviceRecords(const PublishedService &service)
{
    std::array<MdnsRecord, 4> records;
    MdnsRecord &ptr = records[0];
    ptr.owner = service.serviceType;
    ptr.type = kTypePtr;
    ptr.rrclass = kClassIn; // shared record: others announce instances too
    ptr.ttl = protocol::kAnnouncementTtl;
    ptr.target = service.instanceName;

    MdnsRecord &srv = records[1];
    srv.owner = service.instanceName;
    srv.type = kTypeSrv;
    srv.rrclass = kCacheFlushIn;
    srv.ttl = protocol::kAnnouncementTtl;
    srv.port = service.port;
    srv.target = service.hostName;

    MdnsRecord &a = records[2];
    a.owner = service.hostName;
    a.type = kTypeA;
    a.rrclass = kCacheFlushIn;
    a.ttl = protocol::kAnnouncementTtl;
    a.ipv4 = service.address;

    MdnsRecord &txt = records[3];
    txt.owner = service.instanceName;
    txt.type = kTypeTxt;
    txt.rrclass = kCacheFlushIn;
    txt.ttl = protocol::kAnnouncementTtl;
    txt.txtKey = protocol::kTxtKey;
    txt.txtValue = protocol::kTxtValue;
    return records;
}

namespace {

std::vector<std::uint8_t> finish(std::array<std::uint8_t, kMessageBufferSize> &buffer, WritePos end)
{
    if (!end)
        return {};
    return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + std::ptrdiff_t(*end));
}

// Answer PTR, then the additional SRV and A, then the one TXT record.
WritePos writeRecords(MutableBytes buffer, WritePos position, std::span<const MdnsRecord> records,
                      NameCompressionTable *table)
{
    for (const MdnsRecord &record : records)
        position = writeRecord(buffer, position, record, table);
    return writeTxtRecord(buffer, position, records, table);
}

} // namespace

std::vector<std::uint8_t> buildAnnouncement(const PublishedService &service)
{
    std::array<std::uint8_t, kMessageBufferSize> buffer{};
    NameCompressionTable table;
    const auto records = serviceRecords(service);
    Header header;
    header.flags = kFlagsAuthoritativeResponse;
    header.answers = 1;
    header.additionals = 3;
    WritePos pos = writeHeader(buffer, 0, header);
    return finish(buffer, writeRecords(buffer, pos, records, &table));
}

std::vector<std::uint8_t> buildLegacyReply(const PublishedService &service, std::uint16_t id,
                                           std::string_view questionName, std::uint16_t questionType,
                                           std::uint16_t questionClass)
{
    std::array<std::uint8_t, kMessageBufferSize> buffer{};
    NameCompressionTable table;
    auto records = serviceRecords(service);
    for (MdnsRecord &record : records) {
        // A one-shot querier is a plain DNS client: it knows nothing of cache
        // flushing, and what it caches must age out quickly.
        record.rrclass = std::uint16_t(record.rrclass & kClassMask);
        record.ttl = std::min(record.ttl, protocol::kLegacyReplyMaxTtl);
    }
    Header header;
    header.id = id;
    header.flags = kFlagsAuthoritativeResponse;
    header.questions = 1;
    header.answers = 1;
    header.additionals = 3;
    WritePos pos = writeHeader(buffer, 0, header);
    pos = writeName(buffer, pos, questionName, &table);
    pos = writeU16(buffer, pos, questionType);
    pos = writeU16(buffer, pos, std::uint16_t(questionClass & kClassMask));
    return finish(buffer, writeRecords(buffer, pos, records, &table));
}

std::vector<Datagram> MdnsResponder::handleDatagram(Bytes message, const ReceivedFrom &from,
                                                    std::int64_t nowMs)
{
    std::vector<Datagram> out;
    const auto header = readHeader(message);
    // Responses never ask anything, whatever they repeat in their question
    // section; answering them would let two responders feed each other.
    if (!header || (header->flags & kFlagResponse) != 0)
        return out;

    // Type and class of the first question for our service, for a legacy reply.
    std::optional<MdnsEntry> asked;
    std::size_t offset = kHeaderSize;
    walkQuestions(message, &offset, header->questions, [&](const MdnsEntry &question) {
        // A class other than IN or ANY ends the handling of the message;
        // the questions before it count.
        const std::uint16_t plainClass = question.rrclass & kClassMask;
        if (plainClass != kClassIn && plainClass != kClassAny)
            return false;
        // Exactly as announced, letter case included; an unreadable name is
        // empty and never matches.
        if (!asked && readName(message, question.nameOffset).view() == m_service.serviceType)
            asked = question;
        return true;
    });
    if (!asked)
        return out;
    PublishedService service = m_service;
    service.address = from.localAddress;

    if (multicastAllowed(from.interfaceIndex, nowMs)) {
        Datagram d;
        d.address = protocol::kMdnsGroup;
        d.port = protocol::kMdnsPort;
        d.bytes = buildAnnouncement(service);
        if (!d.bytes.empty())
            out.push_back(std::move(d));
    }
    // A querier that does not sit on the mDNS port cannot hear the multicast.
    if (from.port != protocol::kMdnsPort && legacyReplyAllowed(nowMs)) {
        Datagram d;
        d.address = from.address;
        d.port = from.port;
        d.bytes = buildLegacyReply(service, header->id, service.serviceType, asked->type, asked->rrclass);
        if (!d.bytes.empty())
            out.push_back(std::move(d));
    }
    return out;
}

bool MdnsResponder::multicastAllowed(int interfaceIndex, std::int64_t nowMs)
{
    auto it = m_lastMulticast.find(interfaceIndex);
    if (it != m_lastMulticast.end() && nowMs - it->second < kMulticastIntervalMs && nowMs >= it->second)
        return false;
    if (it == m_lastMulticast.end() && m_lastMulticast.size() >= kMaxTrackedInterfaces)
        m_lastMulticast.clear();
    m_lastMulticast[interfaceIndex] = nowMs;
    return true;
}

bool MdnsResponder::legacyReplyAllowed(std::int64_t nowMs)
{
    if (!m_legacyWindowOpen || nowMs - m_legacyWindowStart >= kLegacyRateWindowMs ||
        nowMs < m_legacyWindowStart) {
        m_legacyWindowOpen = true;
        m_legacyWindowStart = nowMs;
        m_legacyInWindow = 0;
    }
    if (m_legacyInWindow >= kLegacyRepliesPerSecond)
        return false;
    ++m_legacyInWindow;
    return true;
}

} // namespace mdns
