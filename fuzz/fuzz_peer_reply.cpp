// Replies from phones are untrusted: every reply parser must take any bytes.
#include "peer_wire.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto response = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const RemoteDevice device;
    QString error;
    peerwire::parseReply(response, QStringLiteral("received"), &error);
    peerwire::applyIdentityReply(response, device);
    const peerwire::PairingOutcome outcome = peerwire::evaluatePairingReply(response, device);
    // A paired record never carries anything that could break a request head.
    if (outcome.paired && (peerwire::containsControlCharacter(outcome.device.id) ||
                           peerwire::containsControlCharacter(outcome.device.sharedSecret)))
        __builtin_trap();
    const QByteArray head = peerwire::uploadHead(QStringLiteral("127.0.0.1"), QString::fromUtf8(response),
                                                 QStringLiteral("id"), outcome.device.sharedSecret, 1);
    if (head.count("\r\n") != 9 || head.count('\n') != 9)
        __builtin_trap();
    return 0;
}
