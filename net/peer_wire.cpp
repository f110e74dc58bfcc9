#include "peer_wire.h"

#include "http_wire.h"

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
    return "GET /identity HTTP/1.1\r\nHost: " + ip.toUtf8() + "\r\nConnection: close\r\n\r\n";
}

QByteArray pairRequest(const QString &ip, const QString &code, const QString &localId,
                       const QString &localName)
{
    QJsonObject object;
    object.insert(QStringLiteral("code"), code);
    object.insert(QStringLiteral("deviceId"), localId);
    object.insert(QStringLiteral("name"), localName);
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return "POST /pair HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray messageRequest(const QString &ip, const QString &message, const QString &localId,
                          const QString &secret)
{
    const QByteArray body = message.toUtf8();
    return "POST /message HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nX-KAVELTORLink-DeviceId: " + headerSafe(localId).toUtf8() +
           "\r\nX-KAVELTORLink-Secret: " + headerSafe(secret).toUtf8() + "\r\nConnection: close\r\n\r\n" +
           body;
}

QByteArray uploadHead(const QString &ip, const QString &fileName, const QString &localId,
                      const QString &secret, qint64 totalBytes)
{
    return "POST /upload HTTP/1.1\r\nHost: " + ip.toUtf8() +
           "\r\nContent-Type: application/octet-stream\r\nX-Filename: " + headerSafe(fileName).toUtf8() +
           "\r\nX-KAVELTORLink-DeviceId: " + headerSafe(localId).toUtf8() +
           "\r\nX-KAVELTORLink-Secret: " + headerSafe(secret).toUtf8() +
           "\r\nContent-Length: " + QByteArray::number(totalBytes) + "\r\nConnection: close\r\n\r\n";
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
    *error = stringMember(*object, "error", QString::fromLatin1(kRequestFailed));
    return false;
}

std::optional<RemoteDevice> applyIdentityReply(const QByteArray &response, RemoteDevice device)
{
    const std::optional<QJsonObject> object = replyObject(response);
    if (!object)
        return std::nullopt;
    device.id = stringMember(*object, "deviceId");
    device.name = stringMember(*object, "name", device.name);
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
    const QJsonValue paired = object->value(QLatin1String("paired"));
    if (!paired.isBool() || !paired.toBool()) {
        outcome.error = stringMember(*object, "error", QString::fromLatin1(kPairingFailed));
        return outcome;
    }
    RemoteDevice result = device;
    result.id = stringMember(*object, "deviceId");
    result.name = stringMember(*object, "name", device.name);
    result.sharedSecret = stringMember(*object, "sharedSecret");
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
