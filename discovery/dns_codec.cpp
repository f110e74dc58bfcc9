#include "dns_codec.h"

#include <algorithm>
#include <cstring>

namespace mdns {

namespace {

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Steps through the labels of one possibly compressed name. Every length
// byte, pointer and label is checked against the message; pointer chains are
// cut after kMaxPointerJumps per label and names after kMaxLabels labels.
class LabelWalker
{
public:
    enum class Step { Label, End, Error };

    LabelWalker(Bytes message, std::size_t offset) : m_message(message), m_position(offset) {}

    // On Label, label() holds the label's bytes. After End, endOffset() is
    // the offset just after the name at its own level.
    Step next()
    {
        Cursor cursor(m_message, 0);
        if (!cursor.seek(m_position))
            return Step::Error;
        auto length = cursor.u8();
        if (!length)
            return Step::Error;
        int jumps = 0;
        while ((*length & 0xC0) == 0xC0) {
            auto low = cursor.u8();
            if (!low)
                return Step::Error;
            if (!m_jumped) {
                m_end = cursor.offset();
                m_jumped = true;
            }
            if (++jumps > kMaxPointerJumps)
                return Step::Error;
            const std::size_t target = (std::size_t(*length & 0x3F) << 8) | *low;
            if (!cursor.seek(target))
                return Step::Error;
            length = cursor.u8();
            if (!length)
                return Step::Error;
        }
        // 0x40 and 0x80 introduce label types that DNS never assigned.
        if (*length > kMaxLabelLength)
            return Step::Error;
        if (*length == 0) {
            if (!m_jumped)
                m_end = cursor.offset();
            return Step::End;
        }
        if (++m_labels > kMaxLabels)
            return Step::Error;
        const std::size_t start = cursor.offset();
        if (!cursor.skip(*length))
            return Step::Error;
        m_label = m_message.subspan(start, *length);
        m_position = cursor.offset();
        return Step::Label;
    }

    Bytes label() const { return m_label; }
    std::size_t endOffset() const { return m_end; }

private:
    Bytes m_message;
    std::size_t m_position;
    std::size_t m_end = 0;
    bool m_jumped = false;
    int m_labels = 0;
    Bytes m_label;
};

bool labelsEqual(Bytes a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](std::uint8_t x, char y) { return char(x) == y; });
}

// Splits "a.b.c" (trailing dot already dropped) label by label.
struct NameLabels
{
    std::string_view rest;
    bool done = false;

    std::string_view next()
    {
        const auto dot = rest.find('.');
        std::string_view label = rest.substr(0, dot);
        if (dot == std::string_view::npos) {
            rest = {};
            done = true;
        } else {
            rest.remove_prefix(dot + 1);
        }
        return label;
    }
};

// Whether the name in the buffer at offset is exactly the label sequence of
// suffix (case-sensitive: the table only ever holds what we wrote ourselves).
bool suffixAt(Bytes written, std::size_t offset, std::string_view suffix)
{
    LabelWalker walker(written, offset);
    NameLabels labels{suffix};
    while (!labels.done) {
        const std::string_view wanted = labels.next();
        if (walker.next() != LabelWalker::Step::Label || !labelsEqual(walker.label(), wanted))
            return false;
    }
    return walker.next() == LabelWalker::Step::End;
}

// The one window (types 0-255) of an NSEC type bitmap, as short as the
// highest type listed allows.
WritePos writeNsecBitmap(MutableBytes buffer, WritePos position, std::span<const std::uint16_t> types)
{
    std::array<std::uint8_t, 32> bits{};
    std::size_t length = 0;
    for (std::uint16_t type : types) {
        if (type > 255)
            return std::nullopt;
        bits[type / 8] |= std::uint8_t(0x80 >> (type % 8));
        length = std::max(length, std::size_t(type / 8 + 1));
    }
    if (!position || length == 0 || *position > buffer.size() || buffer.size() - *position < length + 2)
        return std::nullopt;
    buffer[*position] = 0;
    buffer[*position + 1] = std::uint8_t(length);
    std::memcpy(buffer.data() + *position + 2, bits.data(), length);
    return *position + 2 + length;
}

} // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

std::optional<Header> readHeader(Bytes message)
{
    Cursor c(message);
    Header h;
    auto id = c.u16(), flags = c.u16(), qd = c.u16(), an = c.u16(), ns = c.u16(), ar = c.u16();
    if (!id || !flags || !qd || !an || !ns || !ar)
        return std::nullopt;
    h.id = *id;
    h.flags = *flags;
    h.questions = *qd;
    h.answers = *an;
    h.authorities = *ns;
    h.additionals = *ar;
    return h;
}

WritePos writeU16(MutableBytes buffer, WritePos position, std::uint16_t value)
{
    if (!position || buffer.size() < *position || buffer.size() - *position < 2)
        return std::nullopt;
    buffer[*position] = std::uint8_t(value >> 8);
    buffer[*position + 1] = std::uint8_t(value);
    return *position + 2;
}

WritePos writeU32(MutableBytes buffer, WritePos position, std::uint32_t value)
{
    position = writeU16(buffer, position, std::uint16_t(value >> 16));
    return writeU16(buffer, position, std::uint16_t(value));
}

WritePos writeHeader(MutableBytes buffer, WritePos position, const Header &h)
{
    for (std::uint16_t v : {h.id, h.flags, h.questions, h.answers, h.authorities, h.additionals})
        position = writeU16(buffer, position, v);
    return position;
}

WritePos writeName(MutableBytes buffer, WritePos position, std::string_view name, NameCompressionTable *table)
{
    if (!position || *position > buffer.size())
        return std::nullopt;
    std::size_t pos = *position;
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);

    NameLabels labels{name, name.empty()};
    while (!labels.done) {
        const std::string_view suffix = labels.rest;
        const std::string_view label = labels.next();
        // An empty label would end the name early and a longer one would
        // read as a pointer: neither can be written faithfully.
        if (label.empty() || label.size() > kMaxLabelLength)
            return std::nullopt;
        const std::size_t room = buffer.size() - pos;
        if (table) {
            const Bytes written(buffer.data(), pos);
            for (int slot = 0; slot < table->count; ++slot) {
                const std::size_t target = table->offsets[std::size_t(slot)];
                if (target >= pos || !suffixAt(written, target, suffix))
                    continue;
                if (room < 2)
                    return std::nullopt;
                return writeU16(buffer, pos, std::uint16_t(kPointerMask | target));
            }
        }
        if (label.size() + 1 >= room)
            return std::nullopt;
        if (table && pos <= kMaxPointerOffset) {
            table->offsets[std::size_t(table->next)] = std::uint16_t(pos);
            table->count = std::min(table->count + 1, kCompressionSlots);
            table->next = (table->next + 1) % kCompressionSlots;
        }
        buffer[pos] = std::uint8_t(label.size());
        std::memcpy(buffer.data() + pos + 1, label.data(), label.size());
        pos += label.size() + 1;
    }
    if (pos >= buffer.size())
        return std::nullopt;
    buffer[pos] = 0;
    return pos + 1;
}

WritePos writeRecord(MutableBytes buffer, WritePos position, const MdnsRecord &record,
                     NameCompressionTable *table)
{
    if (!position)
        return std::nullopt;
    if (record.type == kTypeTxt)
        return position;
    position = writeName(buffer, position, record.owner, table);
    if (!position || buffer.size() - *position < kRecordFixedSize)
        return std::nullopt;
    position = writeU16(buffer, position, record.type);
    position = writeU16(buffer, position, record.rrclass);
    position = writeU32(buffer, position, record.ttl);
    const std::size_t lengthAt = *position;
    position = writeU16(buffer, position, 0);
    const std::size_t dataStart = *position;
    switch (record.type) {
    case kTypeA:
        position = writeU32(buffer, position, record.ipv4);
        break;
    case kTypePtr:
        position = writeName(buffer, position, record.target, table);
        break;
    case kTypeSrv:
        position = writeU16(buffer, position, record.priority);
        position = writeU16(buffer, position, record.weight);
        position = writeU16(buffer, position, record.port);
        position = writeName(buffer, position, record.target, table);
        break;
    case kTypeNsec:
        position = writeName(buffer, position, record.target, table);
        position = writeNsecBitmap(buffer, position, record.nsecTypes);
        break;
    default:
        break;
    }
    if (!position)
        return std::nullopt;
    writeU16(buffer, lengthAt, std::uint16_t(*position - dataStart));
    return position;
}

WritePos writeTxtRecord(MutableBytes buffer, WritePos position, std::span<const MdnsRecord> records,
                        NameCompressionTable *table)
{
    if (!position || records.empty())
        return position;
    std::size_t lengthAt = 0;
    std::size_t dataStart = 0;
    bool started = false;
    for (const MdnsRecord &record : records) {
        if (record.type != kTypeTxt)
            continue;
        if (!started) {
            started = true;
            position = writeName(buffer, position, record.owner, table);
            if (!position || buffer.size() - *position < kRecordFixedSize)
                return std::nullopt;
            position = writeU16(buffer, position, kTypeTxt);
            position = writeU16(buffer, position, record.rrclass);
            position = writeU32(buffer, position, record.ttl);
            lengthAt = *position;
            position = writeU16(buffer, position, 0);
            dataStart = *position;
        }
        const std::size_t length = record.txtKey.size() + 1 + record.txtValue.size();
        // One length byte carries each string, so 255 bytes is all it can say.
        if (length > 255 || buffer.size() - *position < length + 1)
            return std::nullopt;
        std::uint8_t *out = buffer.data() + *position;
        *out++ = std::uint8_t(length);
        std::memcpy(out, record.txtKey.data(), record.txtKey.size());
        out += record.txtKey.size();
        *out++ = '=';
        std::memcpy(out, record.txtValue.data(), record.txtValue.size());
        *position += length + 1;
    }
    if (started)
        writeU16(buffer, lengthAt, std::uint16_t(*position - dataStart));
    return position;
}

NameText readName(Bytes message, std::size_t offset)
{
    NameText result;
    LabelWalker walker(message, offset);
    for (;;) {
        switch (walker.next()) {
        case LabelWalker::Step::Error:
            return NameText();
        case LabelWalker::Step::End:
            return result;
        case LabelWalker::Step::Label: {
            const Bytes label = walker.label();
            const std::size_t room = result.text.size() - result.length;
            const std::size_t copy = std::min(room, label.size());
            std::memcpy(result.text.data() + result.length, label.data(), copy);
            result.length += copy;
            if (result.length < result.text.size())
                result.text[result.length++] = '.';
            break;
        }
        }
    }
}

std::optional<std::size_t> skipName(Bytes message, std::size_t offset)
{
    LabelWalker walker(message, offset);
    for (;;) {
        switch (walker.next()) {
        case LabelWalker::Step::Error:
            return std::nullopt;
        case LabelWalker::Step::End:
            return walker.endOffset();
        case LabelWalker::Step::Label:
            break;
        }
    }
}

namespace {

// The question (name, type, class) or record (and TTL, data) at offset, when
// all of it lies inside the message.
std::optional<MdnsEntry> readEntry(Bytes message, std::size_t offset, bool record)
{
    const auto afterName = skipName(message, offset);
    if (!afterName)
        return std::nullopt;
    Cursor c(message, *afterName);
    const auto type = c.u16(), rrclass = c.u16();
    if (!type || !rrclass)
        return std::nullopt;
    MdnsEntry entry;
    if (record) {
        const auto ttl = c.u32();
        const auto dataLength = c.u16();
        if (!ttl || !dataLength || !c.has(*dataLength))
            return std::nullopt;
        entry.ttl = *ttl;
        entry.dataLength = *dataLength;
    }
    entry.type = *type;
    entry.rrclass = *rrclass;
    entry.message = message;
    entry.nameOffset = offset;
    entry.nameLength = *afterName - offset;
    entry.dataOffset = c.offset();
    return entry;
}

} // namespace

bool walkQuestions(Bytes message, std::size_t *offset, int count,
                   const std::function<bool(const MdnsEntry &)> &handle)
{
    for (int i = 0; i < count; ++i) {
        const auto question = readEntry(message, *offset, false);
        if (!question)
            return false;
        *offset = question->dataOffset;
        if (!handle(*question))
            return false;
    }
    return true;
}

bool walkRecords(Bytes message, std::size_t *offset, int count,
                 const std::function<void(const MdnsEntry &)> &handle)
{
    for (int i = 0; i < count; ++i) {
        // A record whose owner or fixed fields cannot be read leaves nothing
        // trustworthy to find the next one by.
        const auto record = readEntry(message, *offset, true);
        if (!record)
            return false;
        *offset = record->dataOffset + record->dataLength;
        handle(*record);
    }
    return true;
}

} // namespace mdns
