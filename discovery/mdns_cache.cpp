#include "mdns_cache.h"

#include "mdns_browser.h"
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

} // namespace

std::vector<RemoteDevice> BrowseCache::feed(Bytes message, std::int64_t nowMs)
{
    const auto header = readHeader(message);
    if (!header || (header->flags & kResponseCheckMask) != kFlagResponse)
        return {};
    ++m_feed;
    m_learnedThisFeed = 0;
    std::erase_if(m_records, [nowMs](const Record &r) { return r.expiresMs <= nowMs; });

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
    return complete(nowMs);
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
    record.expiresMs = nowMs + std::int64_t(entry.ttl) * kMsPerSecond;
    store(std::move(record), entry.ttl, (entry.rrclass & kClassTopBit) != 0);
}

void BrowseCache::store(Record record, std::uint32_t ttl, bool cacheFlush)
{
    const auto sameRecord = [&record](const Record &r) {
        return r.type == record.type && equalsIgnoreCase(r.owner, record.owner) &&
               equalsIgnoreCase(r.target, record.target) && r.port == record.port &&
               r.address == record.address;
    };
    // A goodbye names exactly the record that ends; a host dropping one of
    // two addresses keeps the other even when it marks the goodbye unique.
    if (ttl == 0) {
        std::erase_if(m_records, sameRecord);
        return;
    }
    // One datagram may carry several records of one owner and type (a host
    // with two addresses), each marked unique: they replace only what came
    // before this datagram, not each other.
    const bool known = std::any_of(m_records.begin(), m_records.end(), sameRecord);
    if (cacheFlush) {
        std::erase_if(m_records, [&](const Record &r) {
            return r.heardIn != m_feed && r.type == record.type && equalsIgnoreCase(r.owner, record.owner);
        });
    }
    std::erase_if(m_records, sameRecord);
    // A hostile datagram full of records may refresh what we know, but adds
    // no more new ones than a real responder would send.
    if (!known && ++m_learnedThisFeed > kMaxRecordsPerReply)
        return;
    record.heardIn = m_feed;
    m_records.push_back(std::move(record));
    if (m_records.size() > kMaxCachedRecords)
        m_records.erase(m_records.begin(), m_records.end() - std::ptrdiff_t(kMaxCachedRecords));
}

const BrowseCache::Record *BrowseCache::newest(std::uint16_t type, const std::string &owner) const
{
    const auto found = std::find_if(m_records.rbegin(), m_records.rend(), [&](const Record &r) {
        return r.type == type && equalsIgnoreCase(r.owner, owner);
    });
    return found == m_records.rend() ? nullptr : &*found;
}

std::vector<RemoteDevice> BrowseCache::complete(std::int64_t nowMs) const
{
    std::vector<RemoteDevice> found;
    for (const Record &ptr : m_records) {
        if (ptr.type != kTypePtr || ptr.target.find(protocol::kInstanceLabel) != std::string::npos)
            continue;
        const Record *srv = newest(kTypeSrv, ptr.target);
        const Record *a = srv ? newest(kTypeA, srv->target) : nullptr;
        if (!a || (ptr.heardIn != m_feed && srv->heardIn != m_feed && a->heardIn != m_feed))
            continue;
        RemoteDevice device;
        device.name = instanceLabel(QString::fromStdString(ptr.target));
        device.host = QString::fromStdString(srv->target);
        device.port = srv->port;
        device.ip = QString::fromStdString(sock::formatIPv4(a->address));
        device.lastSeen = nowMs;
        found.push_back(device);
    }
    return found;
}

} // namespace mdns
