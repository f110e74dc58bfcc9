// libFuzzer targets for everything discovery reads from the network. Each
// target is this file built with one FUZZ_* macro; the input is a received
// datagram, the first byte(s) choosing an offset or cycle where one is needed.
#include "dns_codec.h"
#include "mdns_browser.h"
#include "mdns_publisher.h"
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

// What we send reads back whole with our own parser.
[[maybe_unused]] void readsBack(Bytes sent)
{
    const auto header = readHeader(sent);
    std::size_t at = kHeaderSize;
    check(header && walkQuestions(sent, &at, header->questions, inBounds) &&
          walkRecords(sent, &at, header->answers + header->authorities + header->additionals,
                      [](const MdnsEntry &e) { inBounds(e); }) &&
          at == sent.size());
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
    // A name that reads is a name that skips.
    const NameText text = readName(message, offset);
    check(text.length <= kMaxNameText && (text.length == 0 || skipName(message, offset)));
#elif defined(FUZZ_SKIP_NAME)
    const auto after = skipName(message, offset);
    check(!after || (*after > offset && *after <= message.size()));
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
    // The first byte also chooses the sender's port, whether it is on our
    // link and whether an announcement went out half a second before.
    MdnsResponder responder;
    const ReceivedFrom from{0xC6336409, std::uint16_t((pick & 1) ? protocol::kMdnsPort : 40000), 2,
                            0xC6336401, (pick & 2) == 0};
    if (pick & 4)
        responder.announcement(2, from.localAddress, 0);
    auto sent = responder.handleDatagram(message, from, 500);
    for (const Datagram &d : responder.due(kNever - 1))
        sent.push_back(d);
    for (const Datagram &d : sent) {
        check(d.address == protocol::kMdnsGroup || from.senderOnLink);
        readsBack(d.bytes);
    }
    // The publisher, probing or with its names claimed, hears the same.
    Publisher publisher({}, pick, 0);
    publisher.setInterfaces({{2, from.localAddress, 0xFFFFFF00, true, false, true}}, 0);
    for (std::int64_t t = 0; t <= ((pick & 8) ? kProbeSpacingMs * (kProbes + 1) : -1); t += kProbeSpacingMs)
        publisher.due(t);
    publisher.receive(message, {from.address, from.port, 2, from.localAddress}, 40000, 1000);
    // Far enough for everything planned to be due, yet a time a clock can
    // show: the publisher plans its next steps from it.
    constexpr std::int64_t kLongAfterMs = std::int64_t(1) << 50;
    for (const Datagram &d : publisher.due(kLongAfterMs))
        readsBack(d.bytes);
#elif defined(FUZZ_BROWSER)
    // Cut in two at the offset, then whole pick seconds later: records from
    // different datagrams meet, and meet their refresh or expiry; the
    // questions that follow read back whole.
    Browser browser;
    const auto feed = [&browser](Bytes datagram, std::int64_t nowMs) {
        for (const RemoteDevice &d : browser.feed(datagram, nowMs).found)
            check(d.port > 0 && !d.ip.isEmpty() && !d.name.isEmpty());
        const Browser::Due due = browser.due(nowMs, false);
        check(due.nextMs > nowMs && due.query.size() <= kMaxQueryBytes);
        if (!due.query.empty())
            readsBack(due.query);
    };
    feed(message.first(offset), 0);
    feed(message.subspan(offset), 0);
    feed(message, std::int64_t(pick) * 1000);
#else
#error "define one FUZZ_* target"
#endif
    return 0;
}
