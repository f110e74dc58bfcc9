#include "mdns_responder.h"

#include <algorithm>
#include <bit>
#include <string>

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

// Our records by kind, in the order they are written within a section; the
// announcement's order (PTR, then SRV, A, TXT) follows from it.
enum Kind : std::uint8_t { kPtr, kSrv, kA, kTxt, kNsec };
using KindSet = std::uint8_t;
constexpr KindSet bit(Kind kind)
{
    return KindSet(1u << kind);
}
constexpr KindSet kServiceKinds = bit(kPtr) | bit(kSrv) | bit(kA) | bit(kTxt);
constexpr std::array<std::uint16_t, 1> kHostTypes{kTypeA};

std::array<MdnsRecord, MdnsResponder::kRecordKinds> allRecords(const PublishedService &service)
{
    const auto four = serviceRecords(service);
    std::array<MdnsRecord, MdnsResponder::kRecordKinds> records;
    std::copy(four.begin(), four.end(), records.begin());
    // No AAAA here: saying so spares resolvers the wait for one.
    MdnsRecord &nsec = records[kNsec];
    nsec.owner = service.hostName;
    nsec.type = kTypeNsec;
    nsec.rrclass = kCacheFlushIn;
    nsec.ttl = protocol::kAnnouncementTtl;
    nsec.target = service.hostName;
    nsec.nsecTypes = kHostTypes;
    return records;
}

struct EchoedQuestion
{
    std::uint16_t id = 0;
    std::string_view name;
    std::uint16_t type = 0;
    std::uint16_t rrclass = 0;
};

// A response with the given records as answers and additionals; with a
// question to echo, the unicast reply a one-shot querier expects.
std::vector<std::uint8_t> buildResponse(const PublishedService &service, KindSet answers, KindSet additionals,
                                        const EchoedQuestion *legacy,
                                        std::uint32_t ttl = protocol::kAnnouncementTtl)
{
    std::array<std::uint8_t, kMessageBufferSize> buffer{};
    NameCompressionTable table;
    auto records = allRecords(service);
    for (MdnsRecord &record : records) {
        record.ttl = ttl;
        if (legacy) {
            // A one-shot querier is a plain DNS client: it knows nothing of
            // cache flushing, and what it caches must age out quickly.
            record.rrclass = std::uint16_t(record.rrclass & kClassMask);
            record.ttl = std::min(record.ttl, protocol::kLegacyReplyMaxTtl);
        }
    }
    Header header;
    header.flags = kFlagsAuthoritativeResponse;
    header.answers = std::uint16_t(std::popcount(answers));
    header.additionals = std::uint16_t(std::popcount(additionals));
    if (legacy) {
        header.id = legacy->id;
        header.questions = 1;
    }
    WritePos pos = writeHeader(buffer, 0, header);
    if (legacy) {
        pos = writeName(buffer, pos, legacy->name, &table);
        pos = writeU16(buffer, pos, legacy->type);
        pos = writeU16(buffer, pos, std::uint16_t(legacy->rrclass & kClassMask));
    }
    for (KindSet section : {answers, additionals}) {
        for (std::size_t kind = 0; kind < records.size(); ++kind) {
            if ((section & (1u << kind)) == 0)
                continue;
            pos = kind == kTxt ? writeTxtRecord(buffer, pos, std::span(&records[kind], 1), &table)
                               : writeRecord(buffer, pos, records[kind], &table);
        }
    }
    if (!pos)
        return {};
    return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + std::ptrdiff_t(*pos));
}

// What a question asks of us: the answers and what goes with them.
std::pair<KindSet, KindSet> answersTo(const PublishedService &service, std::string_view name,
                                      std::uint16_t type)
{
    const bool any = type == kTypeAny;
    // Any question on the service type gets the whole announcement: a phone
    // that browses can then reach us without asking again.
    if (equalsIgnoreCase(name, service.serviceType))
        return {bit(kPtr), bit(kSrv) | bit(kA) | bit(kTxt)};
    if (equalsIgnoreCase(name, service.instanceName)) {
        const KindSet answers =
            KindSet((type == kTypeSrv || any ? bit(kSrv) : 0) | (type == kTypeTxt || any ? bit(kTxt) : 0));
        return {answers, (answers & bit(kSrv)) ? bit(kA) : 0};
    }
    if (equalsIgnoreCase(name, service.hostName)) {
        if (type == kTypeA || any)
            return {bit(kA), bit(kNsec)};
        if (type == kTypeAaaa)
            return {bit(kNsec), bit(kA)};
    }
    return {0, 0};
}

// Whether a record the querier already holds is our record of that kind.
bool isOurs(const MdnsEntry &known, const MdnsRecord &ours)
{
    if (known.type != ours.type || (known.rrclass & kClassMask) != kClassIn ||
        !equalsIgnoreCase(readName(known.message, known.nameOffset).view(), ours.owner))
        return false;
    Cursor data(known.message, known.dataOffset);
    switch (ours.type) {
    case kTypePtr:
        return equalsIgnoreCase(readName(known.message, known.dataOffset).view(), ours.target);
    case kTypeSrv: {
        const auto priority = data.u16(), weight = data.u16(), port = data.u16();
        return port && *port == ours.port && *priority == ours.priority && *weight == ours.weight &&
               equalsIgnoreCase(readName(known.message, data.offset()).view(), ours.target);
    }
    case kTypeA:
        return known.dataLength == 4 && data.u32() == ours.ipv4;
    case kTypeTxt: {
        const std::size_t length = ours.txtKey.size() + 1 + ours.txtValue.size();
        if (known.dataLength != length + 1 || data.u8() != length)
            return false;
        const auto text = known.message.subspan(data.offset(), length);
        const std::string expected = std::string(ours.txtKey) + "=" + std::string(ours.txtValue);
        return std::equal(text.begin(), text.end(), expected.begin(),
                          [](std::uint8_t x, char y) { return char(x) == y; });
    }
    default:
        return true; // our NSEC says the same whatever its bytes
    }
}

bool within(const std::optional<std::int64_t> &sent, std::int64_t nowMs, std::int64_t windowMs)
{
    return sent && nowMs >= *sent && nowMs - *sent < windowMs;
}

} // namespace

std::vector<std::uint8_t> buildAnnouncement(const PublishedService &service)
{
    return buildResponse(service, bit(kPtr), bit(kSrv) | bit(kA) | bit(kTxt), nullptr);
}

std::vector<std::uint8_t> buildGoodbye(const PublishedService &service)
{
    return buildResponse(service, kServiceKinds, 0, nullptr, 0);
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

    KindSet answers = 0, additionals = 0;
    bool allUnicast = true;
    // The first question we answer, for a one-shot querier's reply.
    std::optional<MdnsEntry> asked;
    NameText askedName;
    std::size_t offset = kHeaderSize;
    const bool allRead = walkQuestions(message, &offset, header->questions, [&](const MdnsEntry &question) {
        // A class other than IN or ANY ends the handling of the message;
        // the questions before it count.
        const std::uint16_t plainClass = question.rrclass & kClassMask;
        if (plainClass != kClassIn && plainClass != kClassAny)
            return false;
        // An unreadable name is empty and never matches.
        const NameText text = readName(message, question.nameOffset);
        const auto [answer, additional] = answersTo(m_service, text.view(), question.type);
        if (answer == 0)
            return true;
        answers |= answer;
        additionals |= additional;
        allUnicast = allUnicast && (question.rrclass & kClassTopBit) != 0;
        if (!asked) {
            asked = question;
            askedName = text;
        }
        return true;
    });
    if (!asked)
        return out;
    additionals &= KindSet(~answers);
    PublishedService service = m_service;
    service.address = from.localAddress;
    const auto records = allRecords(service);

    // Known answers follow the questions; none can be found after a question
    // that could not be read.
    KindSet known = 0;
    if (allRead) {
        walkRecords(message, &offset, header->answers, [&](const MdnsEntry &record) {
            for (std::size_t kind = 0; kind < records.size(); ++kind) {
                if (record.ttl >= records[kind].ttl / 2 && isOurs(record, records[kind]))
                    known |= KindSet(1u << kind);
            }
        });
    }
    const KindSet fresh = answers & KindSet(~known);
    const KindSet freshAdditionals = additionals & KindSet(~known);

    const bool oneShot = from.port != protocol::kMdnsPort;
    SentTimes &sent = sentOn(from.interfaceIndex);
    bool unicast = !oneShot && allUnicast;
    for (std::size_t kind = 0; kind < sent.size(); ++kind) {
        if ((fresh & (1u << kind)) != 0 && !within(sent[kind], nowMs, kUnicastWhileMulticastWithinMs))
            unicast = false;
    }

    if (unicast) {
        if (fresh != 0 && from.senderOnLink && unicastReplyAllowed(nowMs)) {
            Datagram d{from.address, from.port, buildResponse(service, fresh, freshAdditionals, nullptr)};
            if (!d.bytes.empty())
                out.push_back(std::move(d));
        }
        return out;
    }

    KindSet multicast = 0;
    for (std::size_t kind = 0; kind < sent.size(); ++kind) {
        if ((fresh & (1u << kind)) != 0 && !within(sent[kind], nowMs, kMulticastIntervalMs))
            multicast |= KindSet(1u << kind);
    }
    if (multicast != 0) {
        Datagram d{protocol::kMdnsGroup, protocol::kMdnsPort,
                   buildResponse(service, multicast, freshAdditionals, nullptr)};
        if (!d.bytes.empty()) {
            for (std::size_t kind = 0; kind < sent.size(); ++kind) {
                if (((multicast | freshAdditionals) & (1u << kind)) != 0)
                    sent[kind] = nowMs;
            }
            out.push_back(std::move(d));
        }
    }
    // A querier that does not sit on the mDNS port cannot hear the multicast;
    // it gets every answer, since it holds no cache to list known answers of.
    if (oneShot && from.senderOnLink && unicastReplyAllowed(nowMs)) {
        const EchoedQuestion echo{header->id, askedName.view(), asked->type, asked->rrclass};
        Datagram d{from.address, from.port, buildResponse(service, answers, additionals, &echo)};
        if (!d.bytes.empty())
            out.push_back(std::move(d));
    }
    return out;
}

std::vector<std::uint8_t> MdnsResponder::announcement(int interfaceIndex, std::uint32_t address,
                                                      std::int64_t nowMs)
{
    SentTimes &sent = sentOn(interfaceIndex);
    for (std::size_t kind = 0; kind < sent.size(); ++kind) {
        if ((kServiceKinds & (1u << kind)) != 0)
            sent[kind] = nowMs;
    }
    PublishedService service = m_service;
    service.address = address;
    return buildAnnouncement(service);
}

std::vector<std::uint8_t> MdnsResponder::goodbye(std::uint32_t address) const
{
    PublishedService service = m_service;
    service.address = address;
    return buildGoodbye(service);
}

MdnsResponder::SentTimes &MdnsResponder::sentOn(int interfaceIndex)
{
    if (m_lastMulticast.size() >= kMaxTrackedInterfaces && !m_lastMulticast.contains(interfaceIndex))
        m_lastMulticast.clear();
    return m_lastMulticast[interfaceIndex];
}

bool MdnsResponder::unicastReplyAllowed(std::int64_t nowMs)
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
