// Feeds arbitrary bytes, cut into reads of varying size, to the head reader
// and looks up headers in whatever head it finds.
#include "http_wire.h"

#include <cstdint>
#include <cstdlib>

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses the read size, the second a header name's length.
    const qsizetype chunk = 1 + data[0] % 64;
    const qsizetype nameLength = data[1] % 24;
    const QByteArray input(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    httpwire::HeadReader pieces;
    for (qsizetype at = 0; at < input.size() && pieces.state() == httpwire::HeadReader::State::Incomplete;
         at += chunk)
        pieces.feed(input.constData() + at, qMin(chunk, input.size() - at));
    httpwire::HeadReader whole;
    whole.feed(input.constData(), input.size());
    // How the bytes were cut into reads never changes where the head ends.
    check(pieces.state() == whole.state());
    if (whole.state() != httpwire::HeadReader::State::Complete)
        return 0;
    const QByteArray head = whole.head();
    check(pieces.head() == head);
    check(head.size() <= httpwire::kMaxHeadBytes);
    check(!head.contains("\r\n\r\n"));
    check(input.startsWith(head + "\r\n\r\n" + pieces.remainder()));
    check(input.startsWith(head + "\r\n\r\n" + whole.remainder()));

    for (const char *name :
         {"X-KAVELTORLink-DeviceId", "X-KAVELTORLink-Secret", "X-Filename", "Content-Length"}) {
        const QString value = httpwire::headerValue(head, name);
        check(!value.contains(QLatin1Char('\n')));
        // Surrounding blanks and the line's carriage return are never part of a value.
        const QByteArray bytes = value.toUtf8();
        check(bytes.isEmpty() || (!QByteArray(" \t\r\v\f").contains(bytes.front()) &&
                                  !QByteArray(" \t\r\v\f").contains(bytes.back())));
    }
    const QString value = httpwire::headerValue(head, input.left(nameLength));
    check(!value.contains(QLatin1Char('\n')));
    return 0;
}
