#include "mdns_cache.h"

#include "protocol.h"
#include "socket.h"

#include <algorithm>
#include <string_view>

namespace mdns {

namespace {

// Responses only, and only standard ones: a non-zero opcode or response code
// is not an answer a browser may take records from.
constexpr std::uint16_t kResponseCheckMask = 0xF80F; // QR, opcode, rcode
constexpr std::int64_t kMsPerSecond = 1000;
constexpr int kPermille = 1000;
// Doublings of the completion retry before it reaches its longest.
constexpr int kMaxCompletionDoublings = 8;

// The name at offset skip inside a record's data, empty when it cannot be
// read or the data is shorter than minimum.
std::string nameInData(const MdnsEntry &entry, std::size_t skip, std::size_t minimum)
{
    if (entry.dataLength < minimum)
        return {};
    // Names may point anywhere earlier in the message, but must start inside
    // the record's own data.
    return std::string(readName(entry.message, entry.dataOffset + skip).view());
}

bool endsWithIgnoreCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && equalsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

// This program's own instance, heard back from the network, is no phone.
bool isOwn(const std::string &instance)
{
    return instance.find(protocol::kInstanceLabel) != std::string::npos;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return text;
}

} // namespace

QString instanceLabel(const QString &target)
{
    const qsizetype at = target.indexOf(QLatin1String("._"));
    return at >= 1 ? target.left(at) : target;
}

std::vector<RemoteDevice> BrowseCache::feed(Bytes message, std::int64_t nowMs)
{
    const auto header = readHeader(message);
    if (!header || (header->flags & kResponseCheckMask) != kFlagResponse)
        return {};
    ++m_feed;
    m_learnedThisFeed = 0;
    expire(nowMs);

    // A response may repeat the question; the records follow it. Records
    // read before a damaged one still count, as they would have in a whole
    // message.
    std::size_t offset = kHeaderSize;
    if (!walkQuestions(message, &offset, header->questions, [](const MdnsEntry &) { return true; }))
        return {};
    const auto learnOne = [this, nowMs](const MdnsEntry &record) { learn(record, nowMs); };
    for (int count : {header->answers, header->authorities, header->additionals}) {
        if (!walkRecords(message, &offset, count, learnOne))
            break;
    }
    std::vector<RemoteDevice> found;
    for (const Record &ptr : m_records) {
        if (ptr.type != kTypePtr)
            continue;
        const auto device = deviceOf(ptr);
        const Record *srv = device ? newest(kTypeSrv, ptr.target) : nullptr;
        const Record *a = srv ? newest(kTypeA, srv->target) : nullptr;
        if (a && (ptr.heardIn == m_feed || srv->heardIn == m_feed || a->heardIn == m_feed))
            found.push_back(*device);
    }
    return found;
}

void BrowseCache::expire(std::int64_t nowMs)
{
    std::erase_if(m_records, [nowMs](const Record &r) { return r.expiresMs <= nowMs; });
}

void BrowseCache::learn(const MdnsEntry &entry, std::int64_t nowMs)
{
    if ((entry.rrclass & kClassMask) != kClassIn)
        return;
    Record record;
    record.type = entry.type;
    record.owner = readName(entry.message, entry.nameOffset).view();
    switch (entry.type) {
    case kTypePtr:
        if (!equalsIgnoreCase(record.owner, protocol::kServiceType))
            return;
        record.target = nameInData(entry, 0, 2);
        if (record.target.empty())
            return;
        break;
    case kTypeSrv: {
        // Other services' instances never complete one of ours; keeping them
        // would only spend the cache's room.
        const std::string instanceSuffix = std::string(".") + protocol::kServiceType;
        if (entry.dataLength < 8 || !endsWithIgnoreCase(record.owner, instanceSuffix))
            return;
        Cursor c(entry.message, entry.dataOffset + 4);
        record.port = c.u16().value_or(0);
        record.target = nameInData(entry, 6, 8);
        // Nobody can connect to port 0 or to a host without a name.
        if (record.port == 0 || record.target.empty())
            return;
        break;
    }
    case kTypeA: {
        // Anything but four bytes is no IPv4 address; taking it as 0.0.0.0
        // would hand the window a device nobody can reach.
        if (entry.dataLength != 4 || record.owner.empty())
            return;
        Cursor c(entry.message, entry.dataOffset);
        const auto address = c.u32();
        if (!address)
            return;
        record.address = *address;
        break;
    }
    default:
        return;
    }
    record.ttl = entry.ttl;
    record.receivedMs = nowMs;
    record.expiresMs = nowMs + std::int64_t(entry.ttl) * kMsPerSecond;
    record.jitterPermille = std::uniform_int_distribution<int>(0, kRefreshJitterPermille)(m_random);
    store(std::move(record), (entry.rrclass & kClassTopBit) != 0);
}

void BrowseCache::store(Record record, bool cacheFlush)
{
    const auto sameRecord = [&record](const Record &r) {
        return r.type == record.type && equalsIgnoreCase(r.owner, record.owner) &&
               equalsIgnoreCase(r.target, record.target) && r.port == record.port &&
               r.address == record.address;
    };
    // A goodbye names exactly the record that ends; a host dropping one of
    // two addresses keeps the other even when it marks the goodbye unique.
    if (record.ttl == 0) {
        std::erase_if(m_records, sameRecord);
        return;
    }
    const auto known = std::find_if(m_records.begin(), m_records.end(), sameRecord);
    if (known != m_records.end()) {
        record.completions = known->completions;
        record.nextCompletionMs = known->nextCompletionMs;
        if (known->expiresMs > record.expiresMs) {
            record.ttl = known->ttl;
            record.receivedMs = known->receivedMs;
            record.expiresMs = known->expiresMs;
            record.refreshes = known->refreshes;
            record.jitterPermille = known->jitterPermille;
        }
    }
    // One datagram may carry several records of one owner and type (a host
    // with two addresses), each marked unique: they replace only what came
    // before this datagram, not each other.
    const bool wasKnown = known != m_records.end();
    if (cacheFlush) {
        std::erase_if(m_records, [&](const Record &r) {
            return r.heardIn != m_feed && r.type == record.type && equalsIgnoreCase(r.owner, record.owner);
        });
    }
    std::erase_if(m_records, sameRecord);
    // A hostile datagram full of records may refresh what we know, but adds
    // no more new ones than a real responder would send.
    if (!wasKnown && ++m_learnedThisFeed > kMaxRecordsPerReply)
        return;
    record.heardIn = m_feed;
    m_records.push_back(std::move(record));
    if (m_records.size() > kMaxCachedRecords)
        m_records.erase(m_records.begin(), m_records.end() - std::ptrdiff_t(kMaxCachedRecords));
}

BrowseCache::Record *BrowseCache::newest(std::uint16_t type, const std::string &owner)
{
    return const_cast<Record *>(std::as_const(*this).newest(type, owner));
}

const BrowseCache::Record *BrowseCache::newest(std::uint16_t type, const std::string &owner) const
{
    const auto found = std::find_if(m_records.rbegin(), m_records.rend(), [&](const Record &r) {
        return r.type == type && equalsIgnoreCase(r.owner, owner);
    });
    return found == m_records.rend() ? nullptr : &*found;
}

std::optional<RemoteDevice> BrowseCache::deviceOf(const Record &ptr) const
{
    if (ptr.type != kTypePtr || isOwn(ptr.target))
        return std::nullopt;
    const Record *srv = newest(kTypeSrv, ptr.target);
    const Record *a = srv ? newest(kTypeA, srv->target) : nullptr;
    if (!a)
        return std::nullopt;
    RemoteDevice device;
    device.name = instanceLabel(QString::fromStdString(ptr.target));
    device.host = QString::fromStdString(srv->target);
    device.port = srv->port;
    device.ip = QString::fromStdString(sock::formatIPv4(a->address));
    return device;
}

std::map<std::string, RemoteDevice> BrowseCache::devices() const
{
    std::map<std::string, RemoteDevice> all;
    for (const Record &ptr : m_records) {
        if (const auto device = deviceOf(ptr))
            all[lower(ptr.target)] = *device;
    }
    return all;
}

std::int64_t BrowseCache::refreshAtMs(const Record &r)
{
    if (r.refreshes >= kRefreshes)
        return kNever;
    const std::int64_t permille =
        kRefreshFirstPermille + kRefreshStepPermille * r.refreshes + r.jitterPermille;
    return r.receivedMs + std::int64_t(r.ttl) * kMsPerSecond * permille / kPermille;
}

template <typename Self, typename Refresh, typename Complete>
void BrowseCache::walkInstances(Self &self, Refresh &&refresh, Complete &&complete)
{
    for (auto &ptr : self.m_records) {
        if (ptr.type != kTypePtr || isOwn(ptr.target))
            continue;
        refresh(ptr, Question{protocol::kServiceType, kTypePtr});
        auto *srv = self.newest(kTypeSrv, ptr.target);
        if (!srv) {
            complete(ptr, std::vector<Question>{{ptr.target, kTypeSrv}, {ptr.target, kTypeTxt}});
            continue;
        }
        refresh(*srv, Question{srv->owner, kTypeSrv});
        auto *a = self.newest(kTypeA, srv->target);
        if (!a) {
            complete(*srv, std::vector<Question>{{srv->target, kTypeA}});
            continue;
        }
        refresh(*a, Question{a->owner, kTypeA});
    }
}

std::vector<Question> BrowseCache::questionsDue(std::int64_t nowMs, std::int64_t untilMs,
                                                std::size_t maxQuestions)
{
    std::vector<Question> asked;
    // Whether all of questions are asked (some perhaps already were).
    const auto ask = [&](const std::vector<Question> &questions) {
        std::size_t adding = 0;
        for (const Question &q : questions)
            adding += std::find(asked.begin(), asked.end(), q) == asked.end() ? 1 : 0;
        if (asked.size() + adding > maxQuestions)
            return false;
        for (const Question &q : questions) {
            if (std::find(asked.begin(), asked.end(), q) == asked.end())
                asked.push_back(q);
        }
        return true;
    };
    // A record shared by two instances (one host, two services) passes its
    // point once, not once for each.
    std::vector<const Record *> refreshed;
    walkInstances(
        *this,
        [&](Record &r, const Question &q) {
            if (refreshAtMs(r) > untilMs ||
                std::find(refreshed.begin(), refreshed.end(), &r) != refreshed.end() || !ask({q}))
                return;
            refreshed.push_back(&r);
            // Every point up to this moment is spent: a record asked for
            // late is not asked again at once for the points it missed.
            do
                ++r.refreshes;
            while (refreshAtMs(r) <= nowMs);
        },
        [&](Record &r, const std::vector<Question> &questions) {
            if (r.nextCompletionMs > untilMs || !ask(questions))
                return;
            r.nextCompletionMs =
                nowMs + std::min(kCompletionRetryMs << std::min(r.completions, kMaxCompletionDoublings),
                                 kMaxCompletionRetryMs);
            ++r.completions;
        });
    return asked;
}

std::vector<KnownAnswer> BrowseCache::knownAnswers(std::int64_t nowMs) const
{
    std::vector<KnownAnswer> known;
    for (const Record &r : m_records) {
        const std::int64_t left = (r.expiresMs - nowMs) / kMsPerSecond;
        if (r.type == kTypePtr && !isOwn(r.target) && left * 2 >= std::int64_t(r.ttl))
            known.push_back({r.target, std::uint32_t(left)});
    }
    return known;
}

std::int64_t BrowseCache::nextEventMs() const
{
    std::int64_t next = kNever;
    for (const Record &r : m_records)
        next = std::min(next, r.expiresMs);
    walkInstances(
        *this, [&](const Record &r, const Question &) { next = std::min(next, refreshAtMs(r)); },
        [&](const Record &r, const std::vector<Question> &) { next = std::min(next, r.nextCompletionMs); });
    return next;
}

} // namespace mdns
