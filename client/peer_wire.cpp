#include "peer_wire.h"

#include "http_wire.h"
#include "protocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace peerwire {

namespace {
std::optional<QJsonObject> replyObject(const QByteArray &response)
{
    const QJsonDocument doc = QJsonDocument::fromJson(httpwire::replyBody(response));
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

QString stringMember(const QJsonObject &object, const char *key, const QString &fallback = QString())
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : fallback;
}
} // namespace

QString connectFailureText(Request request, ConnectFailure failure)
{
    const bool badAddress = failure == ConnectFailure::BadAddress;
    switch (request) {
    case Request::Identity:
        return {};
    case Request::Pairing:
        return badAddress ? QStringLiteral("Ungueltige IP-Adresse.")
                          : QStringLiteral("Verbindung fehlgeschlagen.");
    case Request::Message:
        return QStringLiteral("Verbindung fehlgeschlagen.");
    case Request::File:
        return badAddress ? QStringLiteral("Ungültige IP-Adresse.")
                          : QStringLiteral("Datei-Verbindung fehlgeschlagen.");
    }
    return {};
}

QString addressRefusedText(const QString &ip)
{
    return QStringLiteral("Adresse nicht erlaubt: ") + ip;
}

bool isControlCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

bool containsControlCharacter(const QString &text)
{
    for (QChar c : text) {
        if (isControlCharacter(c))
            return true;
    }
    return false;
}

QString headerSafe(const QString &text)
{
    QString safe = text;
    for (QChar &c : safe) {
        if (isControlCharacter(c))
            c = QLatin1Char('_');
    }
    return safe;
}

QByteArray identityRequest(const QString &ip)
{
    return QByteArray(protocol::kRouteIdentity) + " HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nConnection: close\r\n\r\n";
}

QByteArray pairRequest(const QString &ip, const QString &code, const QString &localId,
                       const QString &localName)
{
    QJsonObject object;
    object.insert(QLatin1String(protocol::kKeyCode), code);
    object.insert(QLatin1String(protocol::kKeyDeviceId), localId);
    object.insert(QLatin1String(protocol::kKeyName), localName);
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return QByteArray(protocol::kRoutePair) + " HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nContent-Type: application/json\r\n" + protocol::kHeaderContentLength + ": " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

namespace {
// The two headers that prove a request comes from a paired computer.
QByteArray credentialHeaders(const QString &localId, const QString &secret)
{
    return "\r\n" + QByteArray(protocol::kHeaderDeviceId) + ": " + headerSafe(localId).toUtf8() + "\r\n" +
           protocol::kHeaderSecret + ": " + headerSafe(secret).toUtf8();
}
} // namespace

QByteArray messageRequest(const QString &ip, const QString &message, const QString &localId,
                          const QString &secret)
{
    const QByteArray body = message.toUtf8();
    return QByteArray(protocol::kRouteMessage) + " HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nContent-Type: text/plain\r\n" + protocol::kHeaderContentLength + ": " +
           QByteArray::number(body.size()) + credentialHeaders(localId, secret) +
           "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray uploadHead(const QString &ip, const QString &fileName, const QString &localId,
                      const QString &secret, qint64 totalBytes)
{
    return QByteArray(protocol::kRouteUpload) + " HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nContent-Type: application/octet-stream\r\n" + protocol::kHeaderFileName + ": " +
           headerSafe(fileName).toUtf8() + credentialHeaders(localId, secret) + "\r\n" +
           protocol::kHeaderContentLength + ": " + QByteArray::number(totalBytes) +
           "\r\nConnection: close\r\n\r\n";
}

bool parseReply(const QByteArray &response, const QString &okKey, QString *error)
{
    const std::optional<QJsonObject> object = replyObject(response);
    if (!object) {
        *error = QString::fromLatin1(kInvalidReply);
        return false;
    }
    const QJsonValue ok = object->value(okKey);
    if (ok.isBool() && ok.toBool())
        return true;
    *error = stringMember(*object, protocol::kKeyError, QString::fromLatin1(kRequestFailed));
    return false;
}

std::optional<RemoteDevice> applyIdentityReply(const QByteArray &response, RemoteDevice device)
{
    const std::optional<QJsonObject> object = replyObject(response);
    if (!object)
        return std::nullopt;
    device.id = stringMember(*object, protocol::kKeyDeviceId);
    device.name = stringMember(*object, protocol::kKeyName, device.name);
    return device;
}

PairingOutcome evaluatePairingReply(const QByteArray &response, const RemoteDevice &device)
{
    PairingOutcome outcome;
    const std::optional<QJsonObject> object = replyObject(response);
    if (!object) {
        outcome.error = QString::fromLatin1(kInvalidReply);
        return outcome;
    }
    const QJsonValue paired = object->value(QLatin1String(protocol::kKeyPaired));
    if (!paired.isBool() || !paired.toBool()) {
        outcome.error = stringMember(*object, protocol::kKeyError, QString::fromLatin1(kPairingFailed));
        return outcome;
    }
    RemoteDevice result = device;
    result.id = stringMember(*object, protocol::kKeyDeviceId);
    result.name = stringMember(*object, protocol::kKeyName, device.name);
    result.sharedSecret = stringMember(*object, protocol::kKeySharedSecret);
    result.paired = true;
    // Both travel in request heads from now on; a line break in either would
    // let the peer write headers of its own into them.
    if (containsControlCharacter(result.id) || containsControlCharacter(result.sharedSecret)) {
        outcome.error = QString::fromLatin1(kInvalidReply);
        return outcome;
    }
    outcome.paired = true;
    outcome.device = result;
    return outcome;
}

} // namespace peerwire
