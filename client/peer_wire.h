// What this computer sends to a peer's HTTP service and how it reads the
// answers. Pure functions over bytes and records, so every request can be
// checked byte for byte and every reply parser fuzzed without a socket.
#pragma once

#include "remote_device.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace peerwire {

// Texts a reply can end with.
inline constexpr const char *kInvalidReply = "Ungueltige Antwort.";
inline constexpr const char *kRequestFailed = "Anfrage fehlgeschlagen.";
inline constexpr const char *kPairingFailed = "Pairing fehlgeschlagen.";

// What the user is told when a request cannot reach the peer.
enum class Request { Identity, Pairing, Message, File };
enum class ConnectFailure { BadAddress, Unreachable };
// Empty for identity lookups, which fail silently.
QString connectFailureText(Request request, ConnectFailure failure);
// Why a request to ip is not even started: the address is no phone's (see
// sock::isPeerAddress).
QString addressRefusedText(const QString &ip);

// True for characters that must never reach a request head: the C0 controls
// (CR and LF among them), DEL and the C1 controls.
bool isControlCharacter(QChar c);
bool containsControlCharacter(const QString &text);
// text with every control character replaced by "_", so that it can stand
// as one header value.
QString headerSafe(const QString &text);

QByteArray identityRequest(const QString &ip);
// The pairing request: head and compact JSON body {"code","deviceId","name"}.
QByteArray pairRequest(const QString &ip, const QString &code, const QString &localId,
                       const QString &localName);
// The message request: head and the message as UTF-8.
QByteArray messageRequest(const QString &ip, const QString &message, const QString &localId,
                          const QString &secret);
// The upload head; the body (totalBytes of file content) follows it.
QByteArray uploadHead(const QString &ip, const QString &fileName, const QString &localId,
                      const QString &secret, qint64 totalBytes);

// Evaluates a reply to a message or upload: true when the JSON object after
// the head has okKey set to the boolean true. Otherwise *error gets the
// peer's "error" text, "Anfrage fehlgeschlagen." when it gave none, or
// "Ungueltige Antwort." when the reply holds no JSON object at all.
bool parseReply(const QByteArray &response, const QString &okKey, QString *error);

// The record completed by an identity answer, or nothing when the answer
// holds no JSON object.
std::optional<RemoteDevice> applyIdentityReply(const QByteArray &response, RemoteDevice device);

struct PairingOutcome
{
    bool paired = false;
    RemoteDevice device; // the paired record, when paired
    QString error;       // the reason, when not
};
// Evaluates a pairing answer for the record that was sent to pair with.
PairingOutcome evaluatePairingReply(const QByteArray &response, const RemoteDevice &device);

} // namespace peerwire
