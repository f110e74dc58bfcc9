// Multicast DNS wire format: constants, a bounds-checked reader for received
// messages and the writers that build our own. Pure functions over byte
// buffers; nothing here touches a socket, so all of it can be fed hostile
// input in tests and fuzzers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

// The names, ports and TTLs this program announces and asks for are not DNS
// facts but our protocol's: they live in protocol.h.
namespace mdns {
inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypePtr = 12;
inline constexpr std::uint16_t kTypeTxt = 16;
inline constexpr std::uint16_t kTypeSrv = 33;
inline constexpr std::uint16_t kTypeAaaa = 28;
inline constexpr std::uint16_t kTypeNsec = 47;
inline constexpr std::uint16_t kTypeAny = 255;
inline constexpr std::uint16_t kClassIn = 1;
inline constexpr std::uint16_t kClassAny = 255;
// In a question: unicast response wanted. In a record: cache flush.
inline constexpr std::uint16_t kClassTopBit = 0x8000;
inline constexpr std::uint16_t kClassMask = 0x7FFF;

inline constexpr std::uint16_t kFlagResponse = 0x8000;
inline constexpr std::uint16_t kFlagTruncated = 0x0200; // more known answers follow
inline constexpr std::uint16_t kFlagsAuthoritativeResponse = 0x8400;

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kRecordFixedSize = 10; // type, class, TTL, data length
inline constexpr std::size_t kMessageBufferSize = 2048;
inline constexpr std::size_t kMaxNameText = 256;
inline constexpr int kMaxPointerJumps = 16;
inline constexpr int kMaxLabels = 64;
inline constexpr int kCompressionSlots = 16;
inline constexpr std::size_t kMaxLabelLength = 63;
inline constexpr std::uint16_t kPointerMask = 0xC000;
inline constexpr std::uint16_t kMaxPointerOffset = 0x3FFF;

// Times in discovery's state machines are milliseconds of a monotonic clock;
// this one stands for "not planned".
inline constexpr std::int64_t kNever = INT64_MAX;

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// The one way to read fixed fields of a received message. A read past the
// end fails (and leaves the cursor where it was); nothing is ever read from
// outside the span.
class Cursor
{
public:
    Cursor(Bytes message, std::size_t offset = 0) : m_message(message), m_offset(offset) {}

    std::size_t offset() const { return m_offset; }
    std::size_t remaining() const { return m_offset <= m_message.size() ? m_message.size() - m_offset : 0; }
    bool has(std::size_t count) const { return count <= remaining(); }

    bool seek(std::size_t offset)
    {
        if (offset > m_message.size())
            return false;
        m_offset = offset;
        return true;
    }
    bool skip(std::size_t count)
    {
        if (!has(count))
            return false;
        m_offset += count;
        return true;
    }
    std::optional<std::uint8_t> u8()
    {
        if (!has(1))
            return std::nullopt;
        return m_message[m_offset++];
    }
    std::optional<std::uint16_t> u16()
    {
        if (!has(2))
            return std::nullopt;
        const auto v = std::uint16_t((m_message[m_offset] << 8) | m_message[m_offset + 1]);
        m_offset += 2;
        return v;
    }
    std::optional<std::uint32_t> u32()
    {
        if (!has(4))
            return std::nullopt;
        const std::uint32_t v = (std::uint32_t(m_message[m_offset]) << 24) |
                                (std::uint32_t(m_message[m_offset + 1]) << 16) |
                                (std::uint32_t(m_message[m_offset + 2]) << 8) | m_message[m_offset + 3];
        m_offset += 4;
        return v;
    }

private:
    Bytes m_message;
    std::size_t m_offset;
};

struct Header
{
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::uint16_t questions = 0;
    std::uint16_t answers = 0;
    std::uint16_t authorities = 0;
    std::uint16_t additionals = 0;
};
std::optional<Header> readHeader(Bytes message);

// --- Building ---------------------------------------------------------------

// Where writing goes on; empty once a writer ran out of room, and every
// writer handed an empty position passes it on, so one check at the end of
// building tells whether the whole message fit.
using WritePos = std::optional<std::size_t>;

// Offsets of recently written labels, so that a later name can point at a
// suffix written before. Lives only while one message is built.
struct NameCompressionTable
{
    std::array<std::uint16_t, kCompressionSlots> offsets{};
    int count = 0;
    int next = 0;
};

struct MdnsRecord
{
    std::string_view owner;
    std::uint16_t type = 0;
    std::uint16_t rrclass = kClassIn;
    std::uint32_t ttl = 0;
    // PTR, SRV and NSEC target.
    std::string_view target;
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    std::uint32_t ipv4 = 0; // host order
    std::string_view txtKey;
    std::string_view txtValue;
    // NSEC: target is the next name (our own), these the types that exist;
    // only types below 256 can be listed.
    std::span<const std::uint16_t> nsecTypes;
};

WritePos writeU16(MutableBytes buffer, WritePos position, std::uint16_t value);
WritePos writeU32(MutableBytes buffer, WritePos position, std::uint32_t value);
WritePos writeHeader(MutableBytes buffer, WritePos position, const Header &header);
// Writes name as labels; with a table, the longest suffix written before is
// replaced by a pointer. A trailing "." is optional.
WritePos writeName(MutableBytes buffer, WritePos position, std::string_view name,
                   NameCompressionTable *table);
// Any record but TXT (returned unchanged for those).
WritePos writeRecord(MutableBytes buffer, WritePos position, const MdnsRecord &record,
                     NameCompressionTable *table);
// All TXT entries of the list as one record, with the owner name, class and
// TTL of the first.
WritePos writeTxtRecord(MutableBytes buffer, WritePos position, std::span<const MdnsRecord> records,
                        NameCompressionTable *table);

// --- Reading ----------------------------------------------------------------

// Text of a name read from a message: every label followed by ".", cut to
// kMaxNameText bytes. Empty when the name could not be read.
struct NameText
{
    std::array<char, kMaxNameText> text{};
    std::size_t length = 0;
    std::string_view view() const { return std::string_view(text.data(), length); }
};

NameText readName(Bytes message, std::size_t offset);
// The offset just after the name as it sits at offset (after its zero byte or
// after its first pointer), when the whole name is well formed.
std::optional<std::size_t> skipName(Bytes message, std::size_t offset);
// ASCII letters compared without case, as DNS names are; other bytes exactly.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// One question or record of a received message, located in it.
struct MdnsEntry
{
    std::uint16_t type = 0;
    std::uint16_t rrclass = 0; // as on the wire, top bit included
    std::uint32_t ttl = 0;     // 0 for questions
    Bytes message;
    std::size_t nameOffset = 0;
    std::size_t nameLength = 0;
    std::size_t dataOffset = 0; // questions carry no data: where the next entry starts
    std::size_t dataLength = 0;
};

// The two walks over a received message. Each hands the next count entries
// from *offset on to handle and moves *offset past those it handed over.
// Either returns false when an entry could not be read: the entries after
// it cannot be found then, and callers leave the rest of the message alone.
// A question handler returns whether to go on; when it stops, so does the
// walk (false too).
bool walkQuestions(Bytes message, std::size_t *offset, int count,
                   const std::function<bool(const MdnsEntry &)> &handle);
bool walkRecords(Bytes message, std::size_t *offset, int count,
                 const std::function<void(const MdnsEntry &)> &handle);

} // namespace mdns
