#include "manual_devices.h"

#include "device_registry.h"
#include "peer_wire.h"
#include "protocol.h"

#include <QDateTime>
#include <QHostInfo>
#include <QRegularExpression>

#include <string_view>

namespace {
constexpr int kMaxPort = 0xffff;
constexpr qsizetype kMaxHostNameLength = 253;

std::optional<std::uint32_t> ipv4Of(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    std::uint32_t address = 0;
    if (!sock::parseIPv4(std::string_view(bytes.constData(), std::size_t(bytes.size())), &address))
        return std::nullopt;
    return address;
}

int portOf(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(text).hasMatch())
        return 0;
    const int port = text.toInt();
    return port <= kMaxPort ? port : 0;
}

bool isHostName(const QString &host)
{
    // Letters, digits and hyphens in labels of 1 to 63, no hyphen at either end.
    static const QRegularExpression name(QStringLiteral("^([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)(\\.["
                                                        "A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    return host.size() <= kMaxHostNameLength && name.match(host).hasMatch();
}

QString addressOf(const ManualDevice &d)
{
    return registry::addressText(d.address, d.port);
}
} // namespace

namespace manualentry {

Entry parse(const QString &typed, const QString &portField)
{
    Entry entry;
    QString text = typed.trimmed();
    // Pasted from a browser's address bar.
    if (text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        text = text.mid(7);
    text = text.section(QLatin1Char('/'), 0, 0);
    if (text.isEmpty()) {
        entry.error = QStringLiteral("Bitte die Adresse des Handys eingeben, etwa 192.168.1.20:53317.");
        return entry;
    }
    if (text.startsWith(QLatin1Char('[')) || text.count(QLatin1Char(':')) > 1) {
        entry.error = QStringLiteral("Nur IPv4-Adressen und Gerätenamen werden unterstützt: %1").arg(text);
        return entry;
    }
    const QString host = text.section(QLatin1Char(':'), 0, 0);
    QString portText =
        text.contains(QLatin1Char(':')) ? text.section(QLatin1Char(':'), 1) : portField.trimmed();
    if (portText.isEmpty() && !text.contains(QLatin1Char(':')))
        portText = QString::number(protocol::kHttpPort);
    entry.port = portOf(portText);
    if (entry.port < 1) {
        entry.error = QStringLiteral("Ungültiger Port: „%1“ (erlaubt sind 1 bis 65535).").arg(portText);
        return entry;
    }
    // All digits and dots is meant as an address, and must be a whole one.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    const bool valid = numeric.match(host).hasMatch() ? ipv4Of(host).has_value() : isHostName(host);
    if (!valid) {
        entry.error = QStringLiteral("Ungültige Adresse: „%1“.").arg(host);
        entry.port = 0;
        return entry;
    }
    entry.host = host;
    return entry;
}

Failure failureOf(IdentityProbe::Outcome outcome)
{
    switch (outcome) {
    case IdentityProbe::Outcome::TimedOut:
        return Failure::TimedOut;
    case IdentityProbe::Outcome::Refused:
        return Failure::Refused;
    case IdentityProbe::Outcome::Unreachable:
        return Failure::Unreachable;
    case IdentityProbe::Outcome::NoReply:
        return Failure::NoReply;
    case IdentityProbe::Outcome::BadAddress:
        return Failure::BadAddress;
    case IdentityProbe::Outcome::Answered:
    case IdentityProbe::Outcome::NotAPhone:
        break;
    }
    return Failure::NotAPhone;
}

QString failureText(Failure failure, const QString &address)
{
    switch (failure) {
    case Failure::TimedOut:
        return QStringLiteral("Keine Antwort von %1 (Zeitüberschreitung).").arg(address);
    case Failure::Refused:
        return QStringLiteral("%1 lehnt die Verbindung ab: Dort wartet keine App auf diesem Port.")
            .arg(address);
    case Failure::Unreachable:
        return QStringLiteral("%1 ist nicht erreichbar: Kein Weg in dieses Netz.").arg(address);
    case Failure::NoReply:
        return QStringLiteral("%1 nimmt die Verbindung an, antwortet aber nicht.").arg(address);
    case Failure::NotAPhone:
        return QStringLiteral("Unter %1 antwortet kein Handy mit passender App.").arg(address);
    case Failure::BadAddress:
        return QStringLiteral("Ungültige Adresse: „%1“.").arg(address);
    case Failure::NotAllowed:
        return peerwire::addressRefusedText(address); // as a send there says it
    case Failure::ThisComputer:
        return QStringLiteral("%1 ist dieser Computer selbst.").arg(address);
    case Failure::NameNotFound:
        return QStringLiteral("Name nicht gefunden: %1").arg(address);
    }
    return {};
}

} // namespace manualentry

using manualentry::Failure;

ManualDevices::ManualDevices(QObject *parent) : QObject(parent)
{
    now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    connect(&m_probe, &IdentityProbe::checked, this, &ManualDevices::onChecked);
    connect(&recheck, &QTimer::timeout, this, &ManualDevices::checkAll);
}

void ManualDevices::start()
{
    entries.clear();
    for (const ManualDevice &stored : readManualDevices())
        entries.append({stored, ipv4Of(stored.address) ? stored.address : QString(), false, {}});
    checkAll();
    recheck.start(kRecheckMs);
    emit listChanged();
}

void ManualDevices::checkAll()
{
    for (qsizetype i = 0; i < entries.size(); ++i)
        ask(i);
}

void ManualDevices::resolve(const QString &host, const std::function<void(const QString &ip)> &then)
{
    if (ipv4Of(host))
        return then(host);
    QHostInfo::lookupHost(host, this, [then](const QHostInfo &info) {
        for (const QHostAddress &a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol)
                return then(a.toString());
        }
        then(QString());
    });
}

std::optional<Failure> ManualDevices::refusal(const QString &ip)
{
    const std::optional<std::uint32_t> address = ipv4Of(ip);
    if (!address)
        return Failure::NameNotFound;
    if (m_own.allows(*address, m_policy))
        return std::nullopt;
    // Loopback and our own addresses are this computer; whatever else is
    // refused (multicast, broadcast) is no single host.
    constexpr std::uint32_t kLoopbackNet = 0x7F000000, kLoopbackMask = 0xFF000000;
    const std::vector<sock::InterfaceAddress> own = sock::interfaceAddresses();
    const bool self =
        (*address & kLoopbackMask) == kLoopbackNet ||
        std::ranges::any_of(own, [&](const sock::InterfaceAddress &i) { return i.address == *address; });
    return self ? Failure::ThisComputer : Failure::NotAllowed;
}

void ManualDevices::ask(qsizetype index)
{
    Entry &entry = entries[index];
    if (entry.asking)
        return;
    entry.asking = true;
    const ManualDevice stored = entry.stored;
    resolve(stored.address, [this, stored](const QString &ip) {
        for (Entry &e : entries) {
            if (!(e.stored.address == stored.address && e.stored.port == stored.port))
                continue;
            if (!ip.isEmpty() && !refusal(ip)) {
                // A name may point elsewhere now; its row is kept at the new address.
                if (std::exchange(e.ip, ip) != ip)
                    emit listChanged();
                m_probe.check(RemoteDevice{stored.id,
                                           stored.name.isEmpty() ? stored.address : stored.name,
                                           {},
                                           ip,
                                           stored.port,
                                           false,
                                           0,
                                           {}});
                return;
            }
            e.asking = false;
            e.status.checked = true;
            e.status.answered = false;
            e.status.failure = manualentry::failureText(ip.isEmpty() ? Failure::NameNotFound : *refusal(ip),
                                                        addressOf(stored));
            if (!e.ip.isEmpty())
                emit silent(e.ip, stored.port);
            return;
        }
    });
}

void ManualDevices::add(const QString &typed, const QString &portField)
{
    const manualentry::Entry entry = manualentry::parse(typed, portField);
    if (!entry.error.isEmpty())
        return emit addOutcome(entry.error, false);
    const ManualDevice stored{entry.host, entry.port, {}, {}};
    emit addOutcome(QStringLiteral("Frage %1 \u2026").arg(addressOf(stored)), false);
    resolve(entry.host, [this, stored](const QString &ip) {
        const std::optional<Failure> refused = refusal(ip);
        if (refused) {
            adding.reset();
            return emit addOutcome(manualentry::failureText(*refused, addressOf(stored)), false);
        }
        // The latest add is the one the user waits for.
        adding = Adding{stored, ip};
        m_probe.check(RemoteDevice{{}, stored.address, {}, ip, stored.port, false, 0, {}});
    });
}

void ManualDevices::onChecked(const RemoteDevice &device, IdentityProbe::Outcome outcome)
{
    std::optional<Failure> failure;
    if (outcome != IdentityProbe::Outcome::Answered)
        failure = manualentry::failureOf(outcome);
    else if (device.id == localDeviceId())
        failure = Failure::ThisComputer;
    RemoteDevice seen = device;
    seen.lastSeen = now();
    if (adding && adding->ip == device.ip && adding->stored.port == device.port)
        finishAdd(seen, failure);
    for (Entry &e : entries) {
        if (e.ip != device.ip || e.stored.port != device.port || !e.asking)
            continue;
        e.asking = false;
        e.status.checked = true;
        e.status.answered = !failure;
        e.status.failure = failure ? manualentry::failureText(*failure, addressOf(e.stored)) : QString();
        if (failure) {
            emit silent(device.ip, device.port);
            continue;
        }
        e.status.lastAnswerMs = seen.lastSeen;
        if (e.stored.id != device.id || e.stored.name != device.name) {
            e.stored.id = device.id;
            e.stored.name = device.name;
            save();
        }
        emit answered(seen);
    }
}

void ManualDevices::finishAdd(const RemoteDevice &device, std::optional<Failure> failure)
{
    const ManualDevice typed = adding->stored;
    adding.reset();
    if (failure)
        return emit addOutcome(manualentry::failureText(*failure, addressOf(typed)), false);
    // The same phone again, at its old or a new address, stays one entry.
    qsizetype i = 0;
    while (i < entries.size() &&
           !(entries.at(i).stored.id == device.id ||
             (entries.at(i).stored.address == typed.address && entries.at(i).stored.port == typed.port)))
        ++i;
    if (i == entries.size()) {
        if (entries.size() >= kMaxManualDevices)
            return emit addOutcome(QStringLiteral("Es sind schon %1 Geräte per Adresse hinzugefügt; bitte "
                                                  "zuerst eines entfernen.")
                                       .arg(kMaxManualDevices),
                                   false);
        entries.append(Entry{});
    }
    Entry &entry = entries[i];
    entry.stored = ManualDevice{typed.address, typed.port, device.id, device.name};
    entry.ip = device.ip;
    entry.status = Status{{}, {}, device.lastSeen, true, true, {}};
    save();
    const QString line = QStringLiteral("Hinzugefügt: %1 (%2).").arg(device.name, addressOf(typed));
    emit addOutcome(line, true);
    emit logLine(line);
    emit listChanged();
    emit answered(device);
}

bool ManualDevices::contains(const RemoteDevice &row) const
{
    return std::ranges::any_of(entries, [&](const Entry &e) {
        return (!e.ip.isEmpty() && e.ip == row.ip && e.stored.port == row.port) ||
               (!row.id.isEmpty() && e.stored.id == row.id);
    });
}

bool ManualDevices::remove(const RemoteDevice &row)
{
    const qsizetype removed = entries.removeIf([&](const Entry &e) {
        return (!e.ip.isEmpty() && e.ip == row.ip && e.stored.port == row.port) ||
               (!row.id.isEmpty() && e.stored.id == row.id);
    });
    if (removed == 0)
        return false;
    save();
    emit logLine(QStringLiteral("Entfernt: %1 (%2).").arg(row.name, registry::addressText(row.ip, row.port)));
    emit listChanged();
    return true;
}

QSet<QString> ManualDevices::addresses() const
{
    QSet<QString> out;
    for (const Entry &e : entries) {
        if (!e.ip.isEmpty())
            out.insert(registry::addressText(e.ip, e.stored.port));
    }
    return out;
}

QList<RemoteDevice> ManualDevices::placeholders() const
{
    QList<RemoteDevice> out;
    for (const Entry &e : entries) {
        const QString name = e.stored.name.isEmpty() ? e.stored.address : e.stored.name;
        out.append(RemoteDevice{e.stored.id, name, {}, e.ip, e.stored.port, false, 0, {}});
    }
    return out;
}

QList<ManualDevices::Status> ManualDevices::status() const
{
    QList<Status> out;
    for (const Entry &e : entries) {
        Status s = e.status;
        s.name = e.stored.name.isEmpty() ? e.stored.address : e.stored.name;
        s.address = addressOf(e.stored);
        out.append(s);
    }
    return out;
}

void ManualDevices::save()
{
    QList<ManualDevice> list;
    for (const Entry &e : entries)
        list.append(e.stored);
    writeManualDevices(list);
}
