#include "mdns_probe.h"

#include <algorithm>
#include <array>
#include <compare>
#include <functional>
#include <string>
#include <string_view>

namespace mdns {

namespace {

// Owner names compare with or without the root dot.
std::string_view withoutRootDot(std::string_view name)
{
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return name;
}

bool sameName(std::string_view a, std::string_view b)
{
    return !withoutRootDot(a).empty() && equalsIgnoreCase(withoutRootDot(a), withoutRootDot(b));
}

// A record reduced to what simultaneous probes are ordered by: class without
// the cache-flush bit, type, then the data with names written out in full.
struct TieKey
{
    std::uint16_t rrclass = 0;
    std::uint16_t type = 0;
    std::vector<std::uint8_t> data;
    auto operator<=>(const TieKey &) const = default;
};

std::vector<std::uint8_t> uncompressedName(std::string_view name)
{
    std::array<std::uint8_t, kMaxNameText + 2> buffer{};
    const WritePos end = writeName(buffer, 0, name, nullptr);
    if (!end)
        return {};
    return {buffer.begin(), buffer.begin() + std::ptrdiff_t(*end)};
}

std::vector<std::uint8_t> srvData(std::uint16_t priority, std::uint16_t weight, std::uint16_t port,
                                  std::string_view target)
{
    std::vector<std::uint8_t> data{std::uint8_t(priority >> 8), std::uint8_t(priority),
                                   std::uint8_t(weight >> 8),   std::uint8_t(weight),
                                   std::uint8_t(port >> 8),     std::uint8_t(port)};
    const auto name = uncompressedName(target);
    data.insert(data.end(), name.begin(), name.end());
    return data;
}

std::vector<std::uint8_t> aData(std::uint32_t address)
{
    return {std::uint8_t(address >> 24), std::uint8_t(address >> 16), std::uint8_t(address >> 8),
            std::uint8_t(address)};
}

struct Srv
{
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    NameText target;
};

std::optional<Srv> readSrv(const MdnsEntry &entry)
{
    Cursor c(entry.message, entry.dataOffset);
    const auto priority = c.u16(), weight = c.u16(), port = c.u16();
    if (!priority || !weight || !port || entry.dataLength < 7)
        return std::nullopt;
    Srv srv{*priority, *weight, *port, readName(entry.message, c.offset())};
    if (srv.target.length == 0)
        return std::nullopt;
    return srv;
}

std::optional<std::uint32_t> readA(const MdnsEntry &entry)
{
    if (entry.dataLength != 4)
        return std::nullopt;
    return Cursor(entry.message, entry.dataOffset).u32();
}

// The probe's proposed records carry no cache-flush bit: that bit belongs to
// answers only. Their names stay with the service handed in.
std::array<MdnsRecord, 2> proposedRecords(const PublishedService &service)
{
    const auto records = serviceRecords(service);
    std::array<MdnsRecord, 2> proposed{records[1], records[2]};
    for (MdnsRecord &record : proposed)
        record.rrclass = kClassIn;
    return proposed;
}

TieKey tieKey(const MdnsRecord &record)
{
    return {std::uint16_t(record.rrclass & kClassMask), record.type,
            record.type == kTypeSrv ? srvData(record.priority, record.weight, record.port, record.target)
                                    : aData(record.ipv4)};
}

// Reserved opcodes and error codes mean the message is not for us to read.
constexpr std::uint16_t kOpcodeAndRcodeMask = 0x780F;

} // namespace

Prober::Prober(PublishedService wanted) : m_wanted(std::move(wanted)), m_service(m_wanted) {}

std::vector<std::uint8_t> Prober::probeQuery(bool unicastResponse, std::uint32_t address) const
{
    PublishedService onLink = m_service;
    onLink.address = address;
    std::array<std::uint8_t, kMessageBufferSize> buffer{};
    NameCompressionTable table;
    Header header;
    header.questions = 2;
    header.authorities = 2;
    WritePos pos = writeHeader(buffer, 0, header);
    const std::uint16_t questionClass = unicastResponse ? std::uint16_t(kClassTopBit | kClassIn) : kClassIn;
    for (const std::string &name : {m_service.instanceName, m_service.hostName}) {
        pos = writeName(buffer, pos, name, &table);
        pos = writeU16(buffer, pos, kTypeAny);
        pos = writeU16(buffer, pos, questionClass);
    }
    for (const MdnsRecord &record : proposedRecords(onLink))
        pos = writeRecord(buffer, pos, record, &table);
    if (!pos)
        return {};
    return {buffer.begin(), buffer.begin() + std::ptrdiff_t(*pos)};
}

Prober::Verdict Prober::check(Bytes message, bool probing, std::uint32_t address,
                              std::span<const std::uint32_t> ownAddresses) const
{
    const auto header = readHeader(message);
    if (!header || (header->flags & kOpcodeAndRcodeMask) != 0)
        return Verdict::None;
    const bool response = (header->flags & kFlagResponse) != 0;
    if (!response && !probing)
        return Verdict::None;

    std::size_t offset = kHeaderSize;
    if (!walkQuestions(message, &offset, header->questions, [](const MdnsEntry &) { return true; }))
        return Verdict::None;

    PublishedService onLink = m_service;
    onLink.address = address;
    const auto ours = proposedRecords(onLink);
    bool conflict = false;
    // Theirs per owner: instance (SRV and the like), host (A and the like).
    std::array<std::vector<TieKey>, 2> theirs;
    const auto examine = [&](const MdnsEntry &entry) {
        const NameText owner = readName(message, entry.nameOffset);
        const bool instance = sameName(owner.view(), m_service.instanceName);
        const bool host = !instance && sameName(owner.view(), m_service.hostName);
        if (!instance && !host)
            return;
        if (response) {
            if (entry.ttl == 0)
                return;
            if (instance && entry.type == kTypeSrv) {
                const auto srv = readSrv(entry);
                conflict |= !srv || srv->priority != ours[0].priority || srv->weight != ours[0].weight ||
                            srv->port != ours[0].port || !sameName(srv->target.view(), ours[0].target);
            } else if (host && entry.type == kTypeA) {
                const auto theirs = readA(entry);
                conflict |=
                    !theirs || (*theirs != address && std::find(ownAddresses.begin(), ownAddresses.end(),
                                                                *theirs) == ownAddresses.end());
            }
            return;
        }
        TieKey key{std::uint16_t(entry.rrclass & kClassMask), entry.type, {}};
        if (entry.type == kTypeSrv) {
            const auto srv = readSrv(entry);
            if (!srv)
                return;
            key.data = srvData(srv->priority, srv->weight, srv->port, srv->target.view());
        } else {
            const auto data = entry.message.subspan(entry.dataOffset, entry.dataLength);
            key.data.assign(data.begin(), data.end());
        }
        theirs[host ? 1 : 0].push_back(std::move(key));
    };

    // A query's answers are what the querier already knows (our own records,
    // often): only its authority section proposes anything.
    const std::function<void(const MdnsEntry &)> look = examine, pass = [](const MdnsEntry &) {};
    const bool whole = walkRecords(message, &offset, header->answers, response ? look : pass) &&
                       walkRecords(message, &offset, header->authorities, look) &&
                       (!response || walkRecords(message, &offset, header->additionals, look));
    if (response)
        return conflict ? Verdict::Conflict : Verdict::None;
    // Half a probe cannot be ordered against ours.
    if (!whole)
        return Verdict::None;

    // Simultaneous probes: per name, both sets sorted and compared record by
    // record; a set that runs out first is the lesser.
    for (std::size_t i = 0; i < theirs.size(); ++i) {
        if (theirs[i].empty())
            continue;
        const std::vector<TieKey> mine{tieKey(ours[i])};
        std::sort(theirs[i].begin(), theirs[i].end());
        if (mine < theirs[i])
            return Verdict::LostTieBreak;
    }
    return Verdict::None;
}

std::optional<Prober::Retry> Prober::conflict(std::int64_t nowMs, Stage stage)
{
    if (stage == Stage::Waiting)
        return std::nullopt;
    while (!m_conflicts.empty() && m_conflicts.front() < nowMs - kConflictWindowMs)
        m_conflicts.pop_front();
    m_conflicts.push_back(nowMs);
    if (m_conflicts.size() > kMaxQuickConflicts)
        m_conflicts.pop_front();
    Retry retry;
    retry.renamed = stage == Stage::Probing && renameAfterConflict();
    const bool atLastName = stage == Stage::Probing && !retry.renamed;
    retry.probeAtMs = nowMs + (m_conflicts.size() >= kMaxQuickConflicts || atLastName ? kConflictPauseMs : 0);
    return retry;
}

bool Prober::renameAfterConflict()
{
    if (m_suffix >= kMaxNameSuffix)
        return false;
    ++m_suffix;
    const std::string number = std::to_string(m_suffix);
    m_service.instanceName =
        std::string(protocol::kInstanceLabel) + " (" + number + ")." + m_wanted.serviceType;
    const std::string_view host = protocol::kHostName;
    const std::size_t dot = host.find('.');
    m_service.hostName = std::string(host.substr(0, dot)) + "-" + number + std::string(host.substr(dot));
    return true;
}

} // namespace mdns
