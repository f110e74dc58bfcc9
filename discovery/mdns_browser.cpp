#include "mdns_browser.h"

#include "socket.h"

#include <algorithm>

namespace mdns {

namespace {

// The name at offset inside a record's data, empty when it cannot be read or
// lies outside the data.
std::string nameInData(const MdnsEntry &entry, std::size_t skip, std::size_t minimum)
{
    if (entry.dataLength < minimum || entry.dataOffset + entry.dataLength > entry.message.size())
        return {};
    // Names may point anywhere earlier in the message, but must start inside
    // the record's own data.
    return std::string(readName(entry.message, entry.dataOffset + skip).view());
}

} // namespace

std::array<std::uint8_t, kBrowseQuerySize> buildBrowseQuery(std::uint16_t id, bool fromMdnsPort)
{
    std::array<std::uint8_t, kBrowseQuerySize> query{};
    Header header;
    header.id = id;
    header.questions = 1;
    WritePos pos = writeHeader(query, 0, header);
    // Uncompressed, and exactly filling the fixed size with type and class.
    pos = writeName(query, pos, kServiceType, nullptr);
    pos = writeU16(query, pos, kTypePtr);
    writeU16(query, pos, fromMdnsPort ? kClassIn : std::uint16_t(kClassTopBit | kClassIn));
    return query;
}

int handleBrowseRecord(const MdnsEntry &entry, void *context)
{
    auto *browse = static_cast<BrowseContext *>(context);
    switch (entry.type) {
    case kTypePtr:
        if (browse->instances.size() < kMaxRecordsPerReply)
            browse->instances.push_back(nameInData(entry, 0, 2));
        break;
    case kTypeSrv:
        if (browse->services.size() < kMaxRecordsPerReply && entry.dataLength >= 8 &&
            entry.dataOffset + entry.dataLength <= entry.message.size()) {
            Cursor c(entry.message, entry.dataOffset + 4);
            BrowseContext::Srv srv;
            srv.owner = readName(entry.message, entry.nameOffset).view();
            srv.port = c.u16().value_or(0);
            srv.host = nameInData(entry, 6, 8);
            browse->services.push_back(std::move(srv));
        }
        break;
    case kTypeA:
        // Anything but four bytes is no IPv4 address; taking it as 0.0.0.0
        // would hand the window a device nobody can reach.
        if (browse->addresses.size() < kMaxRecordsPerReply && entry.dataLength == 4 &&
            entry.dataOffset + 4 <= entry.message.size()) {
            Cursor c(entry.message, entry.dataOffset);
            BrowseContext::A a;
            a.owner = readName(entry.message, entry.nameOffset).view();
            a.address = c.u32().value_or(0);
            browse->addresses.push_back(std::move(a));
        }
        break;
    default:
        break;
    }
    return 0;
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

    std::size_t offset = kHeaderSize;
    for (int i = 0; i < header->questions; ++i) {
        const auto after = skipName(message, offset);
        if (!after || message.size() - *after < kQuestionFixedSize)
            return found;
        offset = *after + kQuestionFixedSize;
    }

    BrowseContext context;
    const std::pair<MdnsEntryKind, std::uint16_t> sections[] = {
        {MdnsEntryKind::Answer, header->answers},
        {MdnsEntryKind::Authority, header->authorities},
        {MdnsEntryKind::Additional, header->additionals}};
    for (const auto &[kind, count] : sections) {
        if (walkRecordSection(message, &offset, kind, header->id, count, handleBrowseRecord, &context) !=
            count)
            break;
    }

    std::vector<std::string_view> reported;
    for (const std::string &instance : context.instances) {
        if (instance.empty() || instance.find(kInstanceLabel) != std::string::npos)
            continue;
        if (std::any_of(reported.begin(), reported.end(),
                        [&](std::string_view r) { return equalsIgnoreCase(r, instance); }))
            continue;
        auto srv =
            std::find_if(context.services.begin(), context.services.end(),
                         [&](const BrowseContext::Srv &s) { return equalsIgnoreCase(s.owner, instance); });
        if (srv == context.services.end() || srv->port == 0 || srv->host.empty())
            continue;
        auto a =
            std::find_if(context.addresses.begin(), context.addresses.end(),
                         [&](const BrowseContext::A &r) { return equalsIgnoreCase(r.owner, srv->host); });
        if (a == context.addresses.end())
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
