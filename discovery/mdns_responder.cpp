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
enum Kind : std::uint8_t { kPtr, kSrv, kA, kTxt, kNsec, kInstanceNsec, kTypesPtr };
using KindSet = std::uint8_t;
constexpr KindSet bit(Kind kind)
{
    return KindSet(1u << kind);
}
constexpr KindSet kServiceKinds = bit(kPtr) | bit(kSrv) | bit(kA) | bit(kTxt);
// Others may announce instances of our type too: these are not ours alone.
constexpr KindSet kSharedKinds = bit(kPtr) | bit(kTypesPtr);
constexpr std::array<std::uint16_t, 1> kHostTypes{kTypeA};
constexpr std::array<std::uint16_t, 2> kInstanceTypes{kTypeTxt, kTypeSrv};

std::array<MdnsRecord, MdnsResponder::kRecordKinds> allRecords(const PublishedService &service)
{
    const auto four = serviceRecords(service);
    std::array<MdnsRecord, MdnsResponder::kRecordKinds> records;
    std::copy(four.begin(), four.end(), records.begin());
    // What exists under each of our names, so that resolvers asking for
    // anything else (AAAA above all) need not wait for an answer.
    const auto nsec = [&](Kind kind, const std::string &owner, std::span<const std::uint16_t> types) {
        MdnsRecord &r = records[kind];
        r.owner = owner;
        r.type = kTypeNsec;
        r.rrclass = kCacheFlushIn;
        r.ttl = protocol::kAnnouncementTtl;
        r.target = owner;
        r.nsecTypes = types;
    };
    nsec(kNsec, service.hostName, kHostTypes);
    nsec(kInstanceNsec, service.instanceName, kInstanceTypes);
    MdnsRecord &type = records[kTypesPtr];
    type.owner = kServiceEnumerationName;
    type.type = kTypePtr;
    type.rrclass = kClassIn;
    type.ttl = protocol::kAnnouncementTtl;
    type.target = service.serviceType;
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

// What a question asks of us. Only the type asked is answered; a name that
// is ours alone says with its NSEC that other types do not exist.
KindSet answersTo(const PublishedService &service, std::string_view name, std::uint16_t type)
{
    const bool any = type == kTypeAny;
    if (equalsIgnoreCase(name, kServiceEnumerationName))
        return type == kTypePtr || any ? bit(kTypesPtr) : 0;
    if (equalsIgnoreCase(name, service.serviceType))
        return type == kTypePtr || any ? bit(kPtr) : 0;
    if (equalsIgnoreCase(name, service.instanceName)) {
        if (type != kTypeSrv && type != kTypeTxt && !any)
            return bit(kInstanceNsec);
        return KindSet((type == kTypeSrv || any ? bit(kSrv) : 0) | (type == kTypeTxt || any ? bit(kTxt) : 0));
    }
    if (equalsIgnoreCase(name, service.hostName))
        return type == kTypeA || any ? bit(kA) : bit(kNsec);
    return 0;
}

// What goes with answers, so that the asker need not ask again: a phone that
// browses can reach us with the one answer it gets (RFC 6763 §12).
KindSet additionalsFor(KindSet answers)
{
    KindSet more = 0;
    more |= (answers & bit(kPtr)) ? bit(kSrv) | bit(kA) | bit(kTxt) : 0;
    more |= (answers & bit(kSrv)) ? bit(kA) : 0;
    more |= (answers & bit(kA)) ? bit(kNsec) : 0;
    more |= (answers & bit(kNsec)) ? bit(kA) : 0;
    return KindSet(more & ~answers);
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
    return buildResponse(service, bit(kPtr), additionalsFor(bit(kPtr)), nullptr);
}

std::vector<std::uint8_t> buildGoodbye(const PublishedService &service)
{
    return buildResponse(service, kServiceKinds, 0, nullptr, 0);
}

namespace {

// What the questions of a query ask of us.
struct Asked
{
    KindSet answers = 0;
    bool allUnicast = true;
    // The first question we answer, for a one-shot querier's reply.
    std::optional<MdnsEntry> first;
    NameText firstName;
    bool allRead = false;
    std::size_t end = kHeaderSize; // where the known answers start
};

Asked readQuestions(const PublishedService &service, Bytes message, int count)
{
    Asked asked;
    asked.allRead = walkQuestions(message, &asked.end, count, [&](const MdnsEntry &question) {
        // A class other than IN or ANY ends the handling of the message;
        // the questions before it count.
        const std::uint16_t plainClass = question.rrclass & kClassMask;
        if (plainClass != kClassIn && plainClass != kClassAny)
            return false;
        // An unreadable name is empty and never matches.
        const NameText text = readName(message, question.nameOffset);
        const KindSet answer = answersTo(service, text.view(), question.type);
        if (answer == 0)
            return true;
        asked.answers |= answer;
        asked.allUnicast = asked.allUnicast && (question.rrclass & kClassTopBit) != 0;
        if (!asked.first) {
            asked.first = question;
            asked.firstName = text;
        }
        return true;
    });
    return asked;
}

// Our records that the querier lists as known with at least half their TTL
// left (RFC 6762 §7.1), or, with ttlDivisor 1, with all of it.
KindSet knownTo(Bytes message, std::size_t offset, int count, const PublishedService &service,
                std::uint32_t ttlDivisor = 2)
{
    const auto records = allRecords(service);
    KindSet known = 0;
    walkRecords(message, &offset, count, [&](const MdnsEntry &record) {
        for (std::size_t kind = 0; kind < records.size(); ++kind) {
            if (record.ttl >= records[kind].ttl / ttlDivisor && isOurs(record, records[kind]))
                known |= KindSet(1u << kind);
        }
    });
    return known;
}

// Our records in the answer section of another host's response, with at
// least the TTL we would give them (RFC 6762 §7.4).
KindSet answeredIn(Bytes message, int questions, int answers, const PublishedService &service)
{
    std::size_t offset = kHeaderSize;
    if (!walkQuestions(message, &offset, questions, [](const MdnsEntry &) { return true; }))
        return 0;
    return knownTo(message, offset, answers, service, 1);
}

void keep(std::vector<Datagram> &out, Datagram d)
{
    if (!d.bytes.empty())
        out.push_back(std::move(d));
}

} // namespace

std::vector<Datagram> MdnsResponder::handleDatagram(Bytes message, const ReceivedFrom &from,
                                                    std::int64_t nowMs)
{
    std::vector<Datagram> out;
    const auto header = readHeader(message);
    if (!header)
        return out;
    // Responses never ask anything, whatever they repeat in their question
    // section; answering them would let two responders feed each other.
    if ((header->flags & kFlagResponse) != 0 || header->questions == 0) {
        dropHeard(message, *header, from, nowMs);
        return out;
    }
    const Asked asked = readQuestions(m_service, message, header->questions);
    if (!asked.first)
        return out;
    PublishedService service = m_service;
    service.address = from.localAddress;
    // Known answers follow the questions; none can be found after a question
    // that could not be read.
    const KindSet known = asked.allRead ? knownTo(message, asked.end, header->answers, service) : 0;
    const KindSet fresh = asked.answers & KindSet(~known);

    const bool oneShot = from.port != protocol::kMdnsPort;
    const SentTimes &sent = sentOn(from.interfaceIndex);
    bool unicast = !oneShot && asked.allUnicast;
    for (std::size_t kind = 0; kind < sent.size(); ++kind) {
        if ((fresh & (1u << kind)) != 0 && !within(sent[kind], nowMs, kUnicastWhileMulticastWithinMs))
            unicast = false;
    }
    if (unicast) {
        if (fresh != 0 && from.senderOnLink && unicastReplyAllowed(nowMs))
            keep(out, {from.address, from.port,
                       buildResponse(service, fresh, additionalsFor(fresh) & KindSet(~known), nullptr)});
        return out;
    }
    // A probe (a query proposing records in its authority section) for our
    // names is answered in time for its sender to hear the defence.
    keep(out, scheduleMulticast(fresh, known, header->authorities > 0, from, nowMs,
                                (header->flags & kFlagTruncated) != 0));
    // A querier that does not sit on the mDNS port cannot hear the multicast;
    // it gets every answer, since it holds no cache to list known answers of.
    if (oneShot && from.senderOnLink && unicastReplyAllowed(nowMs)) {
        const EchoedQuestion echo{header->id, asked.firstName.view(), asked.first->type,
                                  asked.first->rrclass};
        keep(out, {from.address, from.port,
                   buildResponse(service, asked.answers, additionalsFor(asked.answers), &echo)});
    }
    return out;
}

Datagram MdnsResponder::scheduleMulticast(KindSet fresh, KindSet known, bool probe, const ReceivedFrom &from,
                                          std::int64_t nowMs, bool truncated)
{
    // The querier's known answers go on in the packets that follow: the
    // answer waits for them (RFC 6762 §7.2).
    const SentTimes &sent = sentOn(from.interfaceIndex);
    if (truncated && !probe) {
        KindSet answers = 0;
        for (std::size_t kind = 0; kind < sent.size(); ++kind) {
            if ((fresh & (1u << kind)) != 0 && !within(sent[kind], nowMs, kMulticastIntervalMs))
                answers |= KindSet(1u << kind);
        }
        const std::int64_t at = nowMs + std::uniform_int_distribution<std::int64_t>(
                                            kTruncatedWaitMinMs, kTruncatedWaitMaxMs)(m_random);
        if (answers != 0)
            wait(from, at, answers, known, from.address);
        return {};
    }
    const auto waiting = std::find_if(m_waiting.begin(), m_waiting.end(), [&](const Waiting &w) {
        return w.interfaceIndex == from.interfaceIndex;
    });
    const KindSet alreadyWaiting = waiting == m_waiting.end() ? 0 : waiting->answers;
    KindSet immediate = 0, later = 0;
    std::int64_t at = nowMs;
    for (std::size_t kind = 0; kind < sent.size(); ++kind) {
        const KindSet one = KindSet(1u << kind);
        if ((fresh & one) == 0 || (alreadyWaiting & one) != 0)
            continue;
        if (!probe && within(sent[kind], nowMs, kMulticastIntervalMs))
            continue; // the answer just sent serves this question too
        if (probe && within(sent[kind], nowMs, kProbeDefenceIntervalMs)) {
            later |= one;
            at = std::max(at, *sent[kind] + kProbeDefenceIntervalMs);
        } else if ((kSharedKinds & one) != 0) {
            later |= one;
            at = std::max(at, nowMs + std::uniform_int_distribution<std::int64_t>(
                                          kSharedAnswerMinDelayMs, kSharedAnswerMaxDelayMs)(m_random));
        } else {
            immediate |= one;
        }
    }
    if (later != 0)
        wait(from, at, later, known);
    if (immediate == 0)
        return {};
    return multicast(from.interfaceIndex, from.localAddress, immediate, known, nowMs);
}

std::vector<Datagram> MdnsResponder::due(std::int64_t nowMs)
{
    std::vector<Datagram> out;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->atMs > nowMs) {
            ++it;
            continue;
        }
        Datagram d = multicast(it->interfaceIndex, it->localAddress, it->answers, it->known, nowMs);
        if (!d.bytes.empty())
            out.push_back(std::move(d));
        it = m_waiting.erase(it);
    }
    return out;
}

std::optional<std::int64_t> MdnsResponder::nextDueMs() const
{
    std::optional<std::int64_t> next;
    for (const Waiting &w : m_waiting)
        next = std::min(next.value_or(w.atMs), w.atMs);
    return next;
}

Datagram MdnsResponder::multicast(int interfaceIndex, std::uint32_t localAddress, KindSet answers,
                                  KindSet known, std::int64_t nowMs)
{
    const KindSet additionals = additionalsFor(answers) & KindSet(~known);
    PublishedService service = m_service;
    service.address = localAddress;
    Datagram d{protocol::kMdnsGroup, protocol::kMdnsPort,
               buildResponse(service, answers, additionals, nullptr), interfaceIndex};
    if (!d.bytes.empty()) {
        SentTimes &sent = sentOn(interfaceIndex);
        for (std::size_t kind = 0; kind < sent.size(); ++kind) {
            if (((answers | additionals) & (1u << kind)) != 0)
                sent[kind] = nowMs;
        }
    }
    return d;
}

void MdnsResponder::dropHeard(Bytes message, const Header &header, const ReceivedFrom &from,
                              std::int64_t nowMs)
{
    PublishedService service = m_service;
    service.address = from.localAddress;
    const auto waiting = std::find_if(m_waiting.begin(), m_waiting.end(), [&](const Waiting &w) {
        return w.interfaceIndex == from.interfaceIndex;
    });
    if (waiting == m_waiting.end())
        return;
    KindSet heard = 0;
    if ((header.flags & kFlagResponse) != 0) {
        // Another host gave an answer of ours about to go out on the same
        // link: the link hears it once, not twice (RFC 6762 §7.4).
        if (!from.otherHost)
            return;
        heard = answeredIn(message, header.questions, header.answers, service);
        SentTimes &sent = sentOn(from.interfaceIndex);
        for (std::size_t kind = 0; kind < sent.size(); ++kind) {
            if ((waiting->answers & heard & (1u << kind)) != 0)
                sent[kind] = nowMs;
        }
    } else if (waiting->truncatedFrom == from.address) {
        // More known answers of the one querier the answer waits for.
        heard = knownTo(message, kHeaderSize, header.answers, service);
    }
    waiting->answers &= KindSet(~heard);
    if (waiting->answers == 0)
        m_waiting.erase(waiting);
}

void MdnsResponder::wait(const ReceivedFrom &from, std::int64_t atMs, KindSet answers, KindSet known,
                         std::uint32_t truncatedFrom)
{
    for (Waiting &w : m_waiting) {
        if (w.interfaceIndex == from.interfaceIndex) {
            w.atMs = std::min(w.atMs, atMs);
            w.answers |= answers;
            w.known &= known; // what one asker knows, another may not
            // Known answers that follow no longer speak for every asker.
            w.truncatedFrom = 0;
            return;
        }
    }
    if (m_waiting.size() < kMaxTrackedInterfaces)
        m_waiting.push_back({from.interfaceIndex, from.localAddress, atMs, answers, known, truncatedFrom});
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
