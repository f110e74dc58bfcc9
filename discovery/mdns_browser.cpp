#include "mdns_browser.h"

#include "protocol.h"

namespace mdns {

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

} // namespace mdns
