// Requests another start of the program (or any process of the same user)
// may send to the running copy, and the answers the command line reads back.
#include "instance_protocol.h"

#define CHECK(condition)                                                                                     \
    if (!(condition))                                                                                        \
    __builtin_trap()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // A line is never longer than the bound, and never holds its own end.
    const instance::Framed framed = instance::takeLine(bytes, 64);
    CHECK(framed.line.size() <= 64 && !framed.line.contains('\n'));
    CHECK(framed.state != instance::Framed::State::Complete || framed.consumed == framed.line.size() + 1);

    // What is taken is written back as one line that reads the same.
    if (const auto request = instance::parseRequest(bytes); request.value) {
        const QByteArray line = instance::serialize(*request.value);
        CHECK(line.count('\n') == 1 && line.endsWith('\n'));
        const auto again = instance::parseRequest(line.chopped(1));
        CHECK(again.value && instance::serialize(*again.value) == line);
        CHECK(request.value->files.size() <= instance::kMaxFiles &&
              request.value->token.size() <= instance::kMaxTokenChars);
    } else {
        CHECK(request.error != instance::ParseError::None);
    }
    if (const auto reply = instance::parseReply(bytes); reply.value) {
        const QByteArray line = instance::serialize(*reply.value);
        CHECK(line.count('\n') == 1);
        const auto again = instance::parseReply(line.chopped(1));
        CHECK(again.value && instance::serialize(*again.value) == line);
    }
    return 0;
}
