#include "instance_protocol.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cmath>
#include <utility>

namespace instance {
namespace {

// Sizes of files and counts stay exact in a JSON number up to 2^53.
constexpr double kMaxExactNumber = 9007199254740992.0;

constexpr std::array kKinds{std::pair{Kind::Present, "present"}, std::pair{Kind::Send, "send"},
                            std::pair{Kind::Text, "text"}, std::pair{Kind::Clipboard, "clipboard"},
                            std::pair{Kind::List, "list"}};
constexpr std::array kStatuses{std::pair{Status::Ok, "ok"},
                               std::pair{Status::NotDelivered, "not-delivered"},
                               std::pair{Status::NoSuchPhone, "no-such-phone"},
                               std::pair{Status::Unavailable, "unavailable"},
                               std::pair{Status::Unreadable, "unreadable"},
                               std::pair{Status::Malformed, "malformed"},
                               std::pair{Status::Version, "version"}};
constexpr std::array kTypes{std::pair{Reply::Type::Progress, "progress"},
                            std::pair{Reply::Type::Item, "item"}, std::pair{Reply::Type::Done, "done"}};

template <typename E, std::size_t N>
QString nameOf(const std::array<std::pair<E, const char *>, N> &table, E value)
{
    for (const auto &[v, name] : table)
        if (v == value)
            return QString::fromLatin1(name);
    return {};
}

template <typename E, std::size_t N>
std::optional<E> valueOf(const std::array<std::pair<E, const char *>, N> &table, const QJsonValue &json)
{
    for (const auto &[v, name] : table)
        if (json.isString() && json.toString() == QLatin1String(name))
            return v;
    return std::nullopt;
}

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Absent members take their default; present ones must have the right type.
bool readBool(const QJsonObject &o, const char *key, bool &out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    out = v.toBool();
    return v.isBool();
}

bool readString(const QJsonObject &o, const char *key, qsizetype maxChars, QString &out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    out = v.toString();
    return v.isString() && out.size() <= maxChars;
}

bool readNumber(const QJsonObject &o, const char *key, double low, double high, bool integral, double &out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    out = v.toDouble();
    return v.isDouble() && std::isfinite(out) && out >= low && out <= high &&
           (!integral || std::trunc(out) == out);
}

// A launcher's token becomes an environment variable: printable ASCII only.
bool isPlainToken(const QString &token)
{
    for (const QChar c : token)
        if (c.unicode() <= u' ' || c.unicode() > u'~')
            return false;
    return true;
}

template <typename T> Parsed<T> invalid()
{
    return {std::nullopt, ParseError::Invalid};
}

std::optional<QJsonObject> objectOf(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace

QByteArray serialize(const Request &r)
{
    QJsonObject o{{QStringLiteral("v"), kVersion}, {QStringLiteral("kind"), nameOf(kKinds, r.kind)}};
    if (!r.files.isEmpty())
        o.insert(QStringLiteral("files"), QJsonArray::fromStringList(r.files));
    if (!r.text.isEmpty())
        o.insert(QStringLiteral("text"), r.text);
    if (!r.to.isEmpty())
        o.insert(QStringLiteral("to"), r.to);
    if (!r.token.isEmpty())
        o.insert(QStringLiteral("token"), r.token);
    for (const auto &[key, flag] : {std::pair{"wait", r.wait}, {"ask", r.ask}, {"choose", r.choose}})
        if (flag)
            o.insert(QLatin1String(key), true);
    return line(o);
}

Parsed<Request> parseRequest(const QByteArray &bytes)
{
    const std::optional<QJsonObject> o = objectOf(bytes);
    if (!o)
        return {std::nullopt, ParseError::NotJson};
    if (o->value(QLatin1String("v")) != QJsonValue(kVersion))
        return {std::nullopt, ParseError::Version};
    Request r;
    const std::optional<Kind> kind = valueOf(kKinds, o->value(QLatin1String("kind")));
    if (!kind)
        return invalid<Request>();
    r.kind = *kind;
    if (!readBool(*o, "wait", r.wait) || !readBool(*o, "ask", r.ask) || !readBool(*o, "choose", r.choose) ||
        !readString(*o, "to", kMaxNameChars, r.to) || !readString(*o, "token", kMaxTokenChars, r.token) ||
        !readString(*o, "text", kMaxTextBytes, r.text) || !isPlainToken(r.token))
        return invalid<Request>();
    const QJsonValue files = o->value(QLatin1String("files"));
    if (!files.isUndefined()) {
        const QJsonArray list = files.toArray();
        if (!files.isArray() || list.size() > kMaxFiles)
            return invalid<Request>();
        for (const QJsonValue &f : list) {
            const QString path = f.toString();
            if (!f.isString() || !QDir::isAbsolutePath(path) || path.contains(QChar(0)))
                return invalid<Request>();
            r.files.append(path);
        }
    }
    // Each kind carries exactly what it needs.
    const bool sendsFiles = r.kind == Kind::Send && (r.files.isEmpty() == r.choose);
    const bool sendsText =
        r.kind == Kind::Text && !r.text.isEmpty() && r.text.toUtf8().size() <= kMaxTextBytes;
    const bool bare = r.kind != Kind::Send && r.kind != Kind::Text && r.files.isEmpty() && r.text.isEmpty();
    if (!(sendsFiles && r.text.isEmpty()) && !(sendsText && r.files.isEmpty()) && !bare)
        return invalid<Request>();
    return {r, ParseError::None};
}

QByteArray serialize(const Reply &r)
{
    QJsonObject o{{QStringLiteral("type"), nameOf(kTypes, r.type)}};
    switch (r.type) {
    case Reply::Type::Progress:
        o.insert(QStringLiteral("item"), r.item);
        o.insert(QStringLiteral("percent"), r.percent);
        o.insert(QStringLiteral("sent"), double(r.sent));
        o.insert(QStringLiteral("total"), double(r.total));
        o.insert(QStringLiteral("speed"), r.bytesPerSecond);
        break;
    case Reply::Type::Item:
        o.insert(QStringLiteral("item"), r.item);
        o.insert(QStringLiteral("ok"), r.ok);
        o.insert(QStringLiteral("text"), r.text);
        break;
    case Reply::Type::Done: {
        o.insert(QStringLiteral("status"), nameOf(kStatuses, r.status));
        o.insert(QStringLiteral("text"), r.text);
        QJsonArray phones;
        for (const Phone &p : r.phones)
            phones.append(QJsonObject{{QStringLiteral("name"), p.name},
                                      {QStringLiteral("id"), p.id},
                                      {QStringLiteral("address"), p.address},
                                      {QStringLiteral("paired"), p.paired},
                                      {QStringLiteral("online"), p.online}});
        if (!phones.isEmpty())
            o.insert(QStringLiteral("phones"), phones);
        break;
    }
    }
    return line(o);
}

Parsed<Reply> parseReply(const QByteArray &bytes)
{
    const std::optional<QJsonObject> o = objectOf(bytes);
    if (!o)
        return {std::nullopt, ParseError::NotJson};
    const std::optional<Reply::Type> type = valueOf(kTypes, o->value(QLatin1String("type")));
    if (!type)
        return invalid<Reply>();
    Reply r;
    r.type = *type;
    double item = 0, percent = 0, sent = 0, total = 0;
    switch (r.type) {
    case Reply::Type::Progress:
        if (!readNumber(*o, "item", 0, kMaxFiles, true, item) ||
            !readNumber(*o, "percent", 0, 100, true, percent) ||
            !readNumber(*o, "sent", 0, kMaxExactNumber, true, sent) ||
            !readNumber(*o, "total", 0, kMaxExactNumber, true, total) ||
            !readNumber(*o, "speed", 0, kMaxExactNumber, false, r.bytesPerSecond))
            return invalid<Reply>();
        r.item = int(item);
        r.percent = int(percent);
        r.sent = qint64(sent);
        r.total = qint64(total);
        break;
    case Reply::Type::Item:
        if (!readNumber(*o, "item", 0, kMaxFiles, true, item) || !o->value(QLatin1String("ok")).isBool() ||
            !readString(*o, "text", kMaxLineBytes, r.text))
            return invalid<Reply>();
        r.item = int(item);
        r.ok = o->value(QLatin1String("ok")).toBool();
        break;
    case Reply::Type::Done: {
        const std::optional<Status> status = valueOf(kStatuses, o->value(QLatin1String("status")));
        const QJsonValue phones = o->value(QLatin1String("phones"));
        if (!status || !readString(*o, "text", kMaxLineBytes, r.text) ||
            !(phones.isUndefined() || phones.isArray()))
            return invalid<Reply>();
        r.status = *status;
        for (const QJsonValue &v : phones.toArray()) {
            const QJsonObject p = v.toObject();
            Phone phone;
            if (!v.isObject() || !readString(p, "name", kMaxLineBytes, phone.name) ||
                !readString(p, "id", kMaxLineBytes, phone.id) ||
                !readString(p, "address", kMaxLineBytes, phone.address) ||
                !readBool(p, "paired", phone.paired) || !readBool(p, "online", phone.online))
                return invalid<Reply>();
            r.phones.append(phone);
        }
        break;
    }
    }
    return {r, ParseError::None};
}

Framed takeLine(const QByteArray &buffer, qsizetype maxBytes)
{
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0)
        return {buffer.size() > maxBytes ? Framed::State::TooLong : Framed::State::Incomplete, {}, 0};
    if (end > maxBytes)
        return {Framed::State::TooLong, {}, 0};
    return {Framed::State::Complete, buffer.left(end), end + 1};
}

} // namespace instance
