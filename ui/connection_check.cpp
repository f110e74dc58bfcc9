#include "connection_check.h"

#include "network_service.h"
#include "settings_store.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>

#if defined(Q_OS_LINUX)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#endif

namespace {
#if defined(Q_OS_LINUX)
const QString kFirewalld = QStringLiteral("org.fedoraproject.FirewallD1");
const QString kFirewalldPath = QStringLiteral("/org/fedoraproject/FirewallD1");
#endif

QString readAll(const QString &path, bool *readable = nullptr)
{
    QFile file(path);
    const bool ok = file.open(QIODevice::ReadOnly);
    if (readable)
        *readable = ok;
    return ok ? QString::fromUtf8(file.readAll()) : QString();
}

QString dotted(std::uint32_t address)
{
    return QHostAddress(address).toString();
}
} // namespace

ConnectionCheck::ConnectionCheck(NetworkService &network, QObject *parent) : QObject(parent), network(network)
{
    probe.setLimits({kSelfCheckTimeoutMs, kSelfCheckTimeoutMs, kSelfCheckTimeoutMs});
    connect(&probe, &IdentityProbe::checked, this, &ConnectionCheck::onSelfChecked);
}

void ConnectionCheck::run(const QList<connectionreport::Snapshot::Phone> &phones)
{
    if (running)
        return; // the one under way reports soon
    running = true;
    snapshot = {};
    snapshot.phones = phones;
    snapshot.httpPort = network.listeningPort();
    collectDiscovery();
    collectRoutes();
    collectFirewall();
    // The service asks itself over each of our addresses, as a phone would.
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        if (!(i.flags() & QNetworkInterface::IsUp) || snapshot.httpPort == 0)
            continue;
        for (const QNetworkAddressEntry &e : i.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            snapshot.selfChecks.append({i.name(), e.ip().toString(), false});
            ++waiting;
            probe.check(RemoteDevice{{}, {}, {}, e.ip().toString(), snapshot.httpPort, false, 0, {}});
        }
    }
    if (waiting == 0)
        onSelfChecked({}, IdentityProbe::Outcome::NoReply);
}

void ConnectionCheck::onSelfChecked(const RemoteDevice &device, IdentityProbe::Outcome outcome)
{
    for (connectionreport::Snapshot::SelfCheck &c : snapshot.selfChecks) {
        if (c.address == device.ip)
            c.answered = outcome == IdentityProbe::Outcome::Answered && device.id == localDeviceId();
    }
    if (waiting > 0 && --waiting > 0)
        return;
    running = false;
    snapshot.nowMs = QDateTime::currentMSecsSinceEpoch();
    emit finished(connectionreport::toText(connectionreport::build(snapshot)));
}

void ConnectionCheck::collectDiscovery()
{
    const DiscoveryService::Health health = network.discoveryHealth();
    snapshot.mdnsSocket = health.publishing;
    for (const mdns::Link &link : health.joined) {
        const QString name = QNetworkInterface::interfaceNameFromIndex(link.index);
        snapshot.joined.append(QStringLiteral("%1 (%2)").arg(name, dotted(link.address)));
    }
    snapshot.namesClaimed = health.claimed;
    snapshot.instanceName = health.instanceName;
    snapshot.hostName = health.hostName;
    snapshot.lastForeignMs = health.lastForeignMs;
    if (health.lastForeignMs)
        snapshot.lastForeignFrom = dotted(health.lastForeignSender);
}

void ConnectionCheck::collectRoutes()
{
    const QString table = readAll(sources.routes, &snapshot.routesKnown);
    snapshot.defaultRoute = connectionreport::defaultRouteInterface(table);
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces()) {
        const bool addressed = std::ranges::any_of(i.addressEntries(), [](const QNetworkAddressEntry &e) {
            return e.ip().protocol() == QAbstractSocket::IPv4Protocol;
        });
        if ((i.flags() & QNetworkInterface::IsUp) && addressed &&
            connectionreport::isTunnelOrBridge(i.name()))
            snapshot.tunnels.append(i.name());
    }
}

void ConnectionCheck::collectFirewall()
{
    using Firewall = connectionreport::Snapshot::Firewall;
#if !defined(Q_OS_LINUX)
    // Neither ufw nor firewalld; the system's own firewall is not read.
    snapshot.firewall = Firewall::Unknown;
#else
    const QString port = QString::number(snapshot.httpPort ? snapshot.httpPort : protocol::kHttpPort);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected() && bus.interface()->isServiceRegistered(kFirewalld)) {
        snapshot.firewall = Firewall::Firewalld;
        QDBusInterface main(kFirewalld, kFirewalldPath, kFirewalld, bus);
        QDBusInterface zones(kFirewalld, kFirewalldPath, QStringLiteral("org.fedoraproject.FirewallD1.zone"),
                             bus);
        main.setTimeout(kDbusTimeoutMs);
        zones.setTimeout(kDbusTimeoutMs);
        // The zone of the interface phones come in by, else the default one.
        QDBusReply<QString> zone = zones.call(QStringLiteral("getZoneOfInterface"), snapshot.defaultRoute);
        if (!zone.isValid() || zone.value().isEmpty())
            zone = main.call(QStringLiteral("getDefaultZone"));
        if (!zone.isValid())
            return;
        snapshot.zone = zone.value();
        const QDBusReply<bool> tcp =
            zones.call(QStringLiteral("queryPort"), snapshot.zone, port, QStringLiteral("tcp"));
        const QDBusReply<bool> mdns =
            zones.call(QStringLiteral("queryService"), snapshot.zone, QStringLiteral("mdns"));
        const QDBusReply<bool> udp = zones.call(QStringLiteral("queryPort"), snapshot.zone,
                                                QStringLiteral("5353"), QStringLiteral("udp"));
        snapshot.rulesReadable = tcp.isValid() && mdns.isValid();
        snapshot.portAllowed = tcp.isValid() && tcp.value();
        snapshot.mdnsAllowed = (mdns.isValid() && mdns.value()) || (udp.isValid() && udp.value());
        return;
    }
    static const QRegularExpression enabled(QStringLiteral("^\\s*ENABLED\\s*=\\s*yes\\s*$"),
                                            QRegularExpression::MultilineOption |
                                                QRegularExpression::CaseInsensitiveOption);
    if (!enabled.match(readAll(sources.ufwConfig)).hasMatch())
        return;
    snapshot.firewall = Firewall::Ufw;
    // ufw keeps each rule's summary as a comment: "### tuple ### allow tcp 53319 0.0.0.0/0 any …".
    const QString rules = readAll(sources.ufwRules, &snapshot.rulesReadable);
    const auto allows = [&](const QString &protocol, const QString &p) {
        return rules.contains(
            QRegularExpression(QStringLiteral("### tuple ### allow (%1|any) %2 ").arg(protocol, p)));
    };
    snapshot.portAllowed = allows(QStringLiteral("tcp"), port);
    snapshot.mdnsAllowed = allows(QStringLiteral("udp"), QStringLiteral("5353"));
#endif
}
