#include "mdns_browser.h"

#include <algorithm>
#include <array>

namespace mdns {

std::vector<std::uint8_t> buildQuery(std::uint16_t id, std::span<const Question> questions,
                                     std::span<const KnownAnswer> known, bool fromMdnsPort)
{
    std::array<std::uint8_t, kMaxQueryBytes> buffer{};
    NameCompressionTable table;
    Header header;
    header.id = id;
    WritePos pos = writeHeader(buffer, 0, header);
    // What does not fit, or is no name we can write (a name heard cut short,
    // a label holding a dot), is left out; the rest is still asked.
    const auto add = [&](auto write, std::uint16_t &count) {
        const NameCompressionTable before = table;
        const WritePos next = write();
        if (next) {
            pos = next;
            ++count;
        } else {
            table = before;
        }
    };
    const std::uint16_t rrclass = fromMdnsPort ? kClassIn : std::uint16_t(kClassTopBit | kClassIn);
    for (const Question &q : questions) {
        add(
            [&] {
                return writeU16(buffer, writeU16(buffer, writeName(buffer, pos, q.name, &table), q.type),
                                rrclass);
            },
            header.questions);
    }
    for (const KnownAnswer &k : known) {
        MdnsRecord ptr;
        ptr.owner = protocol::kServiceType;
        ptr.type = kTypePtr;
        ptr.ttl = k.ttl;
        ptr.target = k.target;
        add([&] { return writeRecord(buffer, pos, ptr, &table); }, header.answers);
    }
    if (header.questions == 0)
        return {};
    writeHeader(buffer, 0, header);
    return {buffer.begin(), buffer.begin() + std::ptrdiff_t(*pos)};
}

std::vector<std::uint8_t> buildBrowseQuery(std::uint16_t id, bool fromMdnsPort)
{
    const Question ptr{protocol::kServiceType, kTypePtr};
    return buildQuery(id, std::span(&ptr, 1), {}, fromMdnsPort);
}

BrowseNews Browser::feed(Bytes datagram, std::int64_t nowMs)
{
    BrowseNews news;
    news.found = m_cache.feed(datagram, nowMs);
    settle(news);
    return news;
}

Browser::Due Browser::due(std::int64_t nowMs, bool fromMdnsPort)
{
    Due due;
    m_cache.expire(nowMs);
    settle(due.news);
    std::vector<Question> questions;
    std::int64_t until = nowMs;
    if (nowMs >= m_nextCycleMs) {
        questions.push_back({protocol::kServiceType, kTypePtr});
        until = nowMs + kBrowseIntervalMs;
        m_nextCycleMs = until;
        m_cycle = m_nextCycle;
        m_nextCycle = nextCycleId(m_nextCycle);
        for (const auto &[instance, device] : m_present)
            due.news.found.push_back(device);
    }
    for (Question &q : m_cache.questionsDue(nowMs, until, kMaxQuestionsPerQuery - questions.size())) {
        if (std::find(questions.begin(), questions.end(), q) == questions.end())
            questions.push_back(std::move(q));
    }
    // Known answers answer the PTR question only.
    const bool browsing = !questions.empty() && questions.front().type == kTypePtr;
    if (!questions.empty())
        due.query =
            buildQuery(m_cycle, questions,
                       browsing ? m_cache.knownAnswers(nowMs) : std::vector<KnownAnswer>{}, fromMdnsPort);
    due.nextMs = std::min(m_nextCycleMs, m_cache.nextEventMs());
    return due;
}

void Browser::settle(BrowseNews &news)
{
    std::map<std::string, RemoteDevice> now = m_cache.devices();
    for (const auto &[instance, device] : m_present) {
        if (!now.contains(instance))
            news.gone.push_back(device);
    }
    m_present = std::move(now);
}

} // namespace mdns
