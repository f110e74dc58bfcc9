// libFuzzer targets for everything discovery reads from the network. Each
// target is this file built with one FUZZ_* macro; the input is a received
// datagram, the first byte(s) choosing an offset or cycle where one is needed.
#include "dns_codec.h"
#include "mdns_browser.h"
#include "mdns_responder.h"
#include "protocol.h"

#include <cstdlib>

using namespace mdns;

namespace {
void check(bool ok)
{
    if (!ok)
        std::abort();
}

// Every entry a walk hands over lies inside the message.
[[maybe_unused]] bool inBounds(const MdnsEntry &e)
{
    check(e.nameOffset + e.nameLength <= e.dataOffset);
    check(e.dataOffset + e.dataLength <= e.message.size());
    readName(e.message, e.nameOffset);
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t pick = data[0];
    const Bytes message(data + 1, size - 1);
    [[maybe_unused]] const std::size_t offset = message.empty() ? 0 : pick % (message.size() + 1);
#if defined(FUZZ_READ_NAME)
    const NameText text = readName(message, offset);
    check(text.length <= kMaxNameText);
    // A name that reads is a name that skips, and the other way round.
    const auto after = skipName(message, offset);
    check(text.length == 0 || after.has_value());
#elif defined(FUZZ_SKIP_NAME)
    const auto after = skipName(message, offset);
    if (after) {
        check(*after > offset && *after <= message.size());
        // Every name equals itself.
        check(nameEqualsIgnoreCase(message, offset, message, offset) == after);
    }
#elif defined(FUZZ_NAME_EQUALS)
    // Two messages: the first pick bytes of the rest and the remainder.
    const std::size_t split = message.empty() ? 0 : pick % (message.size() + 1);
    const Bytes a = message.first(split);
    const Bytes b = message.subspan(split);
    const std::size_t offA = a.empty() ? 0 : (pick * 7) % a.size();
    const std::size_t offB = b.empty() ? 0 : (pick * 13) % b.size();
    const auto ab = nameEqualsIgnoreCase(a, offA, b, offB);
    const auto ba = nameEqualsIgnoreCase(b, offB, a, offA);
    check(ab.has_value() == ba.has_value());
    if (ab)
        check(*ab <= a.size() && *ab == skipName(a, offA));
#elif defined(FUZZ_WALK_RECORD_SECTION)
    const auto header = readHeader(message);
    if (!header)
        return 0;
    std::size_t at = kHeaderSize;
    bool whole = walkQuestions(message, &at, header->questions, inBounds);
    for (int count : {header->answers, header->authorities, header->additionals})
        whole = whole && walkRecords(message, &at, count, inBounds);
    check(at <= message.size());
#elif defined(FUZZ_RESPONDER)
    MdnsResponder responder;
    ReceivedFrom from;
    from.address = 0xC6336409;
    from.port = (pick & 1) ? protocol::kMdnsPort : 40000;
    from.localAddress = 0xC6336401;
    for (const Datagram &d : responder.handleDatagram(message, from, 0)) {
        check(!d.bytes.empty() && d.bytes.size() <= kMessageBufferSize);
        // What we send must read back cleanly with our own parser.
        const auto header = readHeader(d.bytes);
        check(header.has_value());
    }
#elif defined(FUZZ_BROWSER)
    const auto devices = handleBrowseReply(message, std::uint16_t(pick), 1);
    for (const RemoteDevice &d : devices)
        check(d.port > 0 && !d.ip.isEmpty() && !d.name.isEmpty());
#else
#error "define one FUZZ_* target"
#endif
    return 0;
}
