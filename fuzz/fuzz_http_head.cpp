// Feeds arbitrary bytes, cut into reads of varying size, to the head reader,
// looks up a header in whatever head it finds and reads its body length.
#include "http_wire.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses the read size, the second a header name's length.
    const qsizetype chunk = 1 + data[0] % 64;
    const QByteArray input(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    httpwire::HeadReader pieces, whole;
    for (qsizetype at = 0; at < input.size(); at += chunk) // what follows the head is ignored
        pieces.feed(input.constData() + at, qMin(chunk, input.size() - at));
    whole.feed(input.constData(), input.size());
    // How the bytes were cut into reads never changes where the head ends.
    if (pieces.state() != whole.state())
        __builtin_trap();
    const QByteArray head = whole.head();
    if (whole.state() == httpwire::HeadReader::State::Complete &&
        (pieces.head() != head || head.size() > httpwire::kMaxHeadBytes ||
         !input.startsWith(head + "\r\n\r\n" + pieces.remainder())))
        __builtin_trap();
    // Surrounding blanks and the line's carriage return are never part of a value.
    const QByteArray value = httpwire::headerValue(head, input.left(data[1] % 24)).toUtf8();
    if (value.contains('\n') || value.trimmed() != value)
        __builtin_trap();
    // A length is taken only as the decimal number the header says, and
    // never beside a transfer encoding.
    const httpwire::BodyLength length = httpwire::contentLength(head);
    bool numeric = false;
    if (length.kind == httpwire::BodyLength::Kind::Declared &&
        (httpwire::headerValue(head, "Content-Length").toLongLong(&numeric) != length.bytes || !numeric ||
         !httpwire::headerValue(head, "Transfer-Encoding").isEmpty()))
        __builtin_trap();
    return 0;
}
