#include "mdns_browser.h"

#include "protocol.h"
#include "socket.h"

#include <algorithm>
#include <string>
#include <vector>

namespace mdns {

namespace {

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

// Records of one reply, gathered as they come and joined by owner name
// afterwards, so that their order in the message does not matter.
struct ReplyRecords
{
    struct Srv
    {
        std::string owner;
        std::string host;
        std::uint16_t port = 0;
    };
    struct A
    {
        std::string owner;
        std::uint32_t address = 0;
    };
    std::vector<std::string> instances; // PTR targets
    std::vector<Srv> services;
    std::vector<A> addresses;

    void add(const MdnsEntry &entry)
    {
        switch (entry.type) {
        case kTypePtr:
            if (instances.size() < kMaxRecordsPerReply)
                instances.push_back(nameInData(entry, 0, 2));
            break;
        case kTypeSrv:
            if (services.size() < kMaxRecordsPerReply && entry.dataLength >= 8) {
                Cursor c(entry.message, entry.dataOffset + 4);
                Srv srv;
                srv.owner = readName(entry.message, entry.nameOffset).view();
                srv.port = c.u16().value_or(0);
                srv.host = nameInData(entry, 6, 8);
                services.push_back(std::move(srv));
            }
            break;
        case kTypeA:
            // Anything but four bytes is no IPv4 address; taking it as 0.0.0.0
            // would hand the window a device nobody can reach.
            if (addresses.size() < kMaxRecordsPerReply && entry.dataLength == 4) {
                Cursor c(entry.message, entry.dataOffset);
                A a;
                a.owner = readName(entry.message, entry.nameOffset).view();
                a.address = c.u32().value_or(0);
                addresses.push_back(std::move(a));
            }
            break;
        default:
            break;
        }
    }
};

} // namespace

std::array<std::uint8_t, kBrowseQuerySize> buildBrowseQuery(std::uint16_t id, bool fromMdnsPort)
{
    std::array<std::uint8_t, kBrowseQuerySize> query{};
    Header header;
    header.id = id;
    header.questions = 1;
    WritePos pos = writeHeader(query, 0, header);
    // Uncompressed, and exactly filling the fixed size with type and class.
    pos = writeName(query, pos, protocol::kServiceType, nullptr);
    pos = writeU16(query, pos, kTypePtr);
    writeU16(query, pos, fromMdnsPort ? kClassIn : std::uint16_t(kClassTopBit | kClassIn));
    return query;
}

QString instanceLabel(const QString &target)
{
    const qsizetype at = target.indexOf(QLatin1String("._"));
    return at >= 1 ? target.left(at) : target;
}

QList<RemoteDevice> handleBrowseReply(Bytes message, std::uint16_t cycleId, qint64 nowMsSinceEpoch)
{
    QList<RemoteDevice> found;
    const auto header = readHeader(message);
    if (!header || (cycleId != 0 && header->id != cycleId))
        return found;

    // A reply may repeat the question; the records follow it.
    std::size_t offset = kHeaderSize;
    if (!walkQuestions(message, &offset, header->questions, [](const MdnsEntry &) { return true; }))
        return found;
    ReplyRecords records;
    const auto add = [&records](const MdnsEntry &record) { records.add(record); };
    for (int count : {header->answers, header->authorities, header->additionals}) {
        if (!walkRecords(message, &offset, count, add))
            break;
    }

    std::vector<std::string_view> reported;
    for (const std::string &instance : records.instances) {
        if (instance.empty() || instance.find(protocol::kInstanceLabel) != std::string::npos)
            continue;
        if (std::any_of(reported.begin(), reported.end(),
                        [&](std::string_view r) { return equalsIgnoreCase(r, instance); }))
            continue;
        auto srv =
            std::find_if(records.services.begin(), records.services.end(),
                         [&](const ReplyRecords::Srv &s) { return equalsIgnoreCase(s.owner, instance); });
        if (srv == records.services.end() || srv->port == 0 || srv->host.empty())
            continue;
        auto a = std::find_if(records.addresses.begin(), records.addresses.end(),
                              [&](const ReplyRecords::A &r) { return equalsIgnoreCase(r.owner, srv->host); });
        if (a == records.addresses.end())
            continue;
        reported.push_back(instance);
        RemoteDevice device;
        device.name = instanceLabel(QString::fromUtf8(instance.data(), qsizetype(instance.size())));
        device.host = QString::fromUtf8(srv->host.data(), qsizetype(srv->host.size()));
        device.port = srv->port;
        device.ip = QString::fromStdString(sock::formatIPv4(a->address));
        device.lastSeen = nowMsSinceEpoch;
        found.append(device);
    }
    return found;
}

} // namespace mdns
