#include "connection_report.h"

#include "protocol.h"

namespace connectionreport {

namespace {
constexpr qint64 kMsPerSecond = 1000;
constexpr qint64 kSecondsPerMinute = 60;

QString ago(qint64 nowMs, qint64 thenMs)
{
    const qint64 seconds = qMax<qint64>(0, (nowMs - thenMs) / kMsPerSecond);
    return seconds < kSecondsPerMinute ? QStringLiteral("vor %1 s").arg(seconds)
                                       : QStringLiteral("vor %1 min").arg(seconds / kSecondsPerMinute);
}

QString allowCommand(Snapshot::Firewall firewall, int port)
{
    if (firewall == Snapshot::Firewall::Ufw)
        return QStringLiteral("sudo ufw allow %1/tcp && sudo ufw allow 5353/udp").arg(port);
    return QStringLiteral("sudo firewall-cmd --permanent --add-port=%1/tcp --add-service=mdns && "
                          "sudo firewall-cmd --reload")
        .arg(port);
}

void httpLines(const Snapshot &s, QList<Line> &out)
{
    if (s.httpPort == 0)
        return out.append({Verdict::Problem, QStringLiteral("HTTP-Port %1 ist nicht geöffnet: Handys können "
                                                            "nichts senden und nicht pairen.")
                                                 .arg(protocol::kHttpPort)});
    QStringList answering, silent;
    for (const Snapshot::SelfCheck &c : s.selfChecks)
        (c.answered ? answering : silent)
            .append(c.interfaceName.isEmpty() ? c.address : c.address + " (" + c.interfaceName + ")");
    if (!answering.isEmpty())
        out.append(
            {Verdict::Ok, QStringLiteral("HTTP-Port %1 antwortet unter %2.")
                              .arg(QString::number(s.httpPort), answering.join(QStringLiteral(", ")))});
    if (!silent.isEmpty())
        out.append(
            {Verdict::Problem, QStringLiteral("HTTP-Port %1 antwortet nicht unter %2.")
                                   .arg(QString::number(s.httpPort), silent.join(QStringLiteral(", ")))});
}

void mdnsLines(const Snapshot &s, QList<Line> &out)
{
    if (!s.mdnsSocket)
        return out.append({Verdict::Problem, QStringLiteral("mDNS: Port 5353 konnte nicht geöffnet werden; "
                                                            "Handys finden diesen Computer nicht.")});
    if (s.joined.isEmpty())
        out.append({Verdict::Problem, QStringLiteral("mDNS: an keinem Netzwerk angemeldet.")});
    else
        out.append({Verdict::Ok,
                    QStringLiteral("mDNS: angemeldet an %1.").arg(s.joined.join(QStringLiteral(", ")))});
    if (s.namesClaimed)
        out.append({Verdict::Ok,
                    QStringLiteral("mDNS: angekündigt als „%1“ (%2).").arg(s.instanceName, s.hostName)});
    else
        out.append({Verdict::Hint, QStringLiteral("mDNS: Namen noch nicht angekündigt.")});
    if (s.lastForeignMs == 0)
        out.append({Verdict::Problem,
                    QStringLiteral("mDNS: Noch keine Pakete anderer Geräte empfangen. Multicast kommt "
                                   "wahrscheinlich nicht durch (Firewall, Gastnetz oder "
                                   "Client-Isolation am Router): Gerät per Adresse hinzufügen.")});
    else
        out.append({Verdict::Ok, QStringLiteral("mDNS: letztes Paket eines anderen Geräts %1 von %2.")
                                     .arg(ago(s.nowMs, s.lastForeignMs), s.lastForeignFrom)});
}

void firewallLines(const Snapshot &s, QList<Line> &out)
{
    const int port = s.httpPort ? s.httpPort : protocol::kHttpPort;
    if (s.firewall == Snapshot::Firewall::None)
        return out.append({Verdict::Ok, QStringLiteral("Firewall: weder ufw noch firewalld aktiv.")});
    if (s.firewall == Snapshot::Firewall::Unknown)
        return out.append({Verdict::Hint, QStringLiteral("Firewall: nicht geprüft; eingehend müssen TCP %1 "
                                                         "und UDP 5353 erlaubt sein.")
                                              .arg(port)});
    const QString name =
        s.firewall == Snapshot::Firewall::Ufw ? QStringLiteral("ufw") : QStringLiteral("firewalld");
    const QString zone = s.zone.isEmpty() ? QString() : QStringLiteral(", Zone „%1“").arg(s.zone);
    if (!s.rulesReadable)
        return out.append({Verdict::Hint, QStringLiteral("Firewall: %1 aktiv, Regeln nicht lesbar. Freigeben "
                                                         "mit: %2")
                                              .arg(name, allowCommand(s.firewall, port))});
    if (s.portAllowed && s.mdnsAllowed)
        return out.append({Verdict::Ok, QStringLiteral("Firewall: %1 aktiv%2; TCP %3 und mDNS (UDP 5353) "
                                                       "sind freigegeben.")
                                            .arg(name, zone, QString::number(port))});
    QStringList blocked;
    if (!s.portAllowed)
        blocked << QStringLiteral("TCP %1").arg(port);
    if (!s.mdnsAllowed)
        blocked << QStringLiteral("mDNS (UDP 5353)");
    out.append({Verdict::Problem,
                QStringLiteral("Firewall: %1 aktiv%2 und blockiert %3. Freigeben mit: %4")
                    .arg(name, zone, blocked.join(QStringLiteral(" und ")), allowCommand(s.firewall, port))});
}

void routeLines(const Snapshot &s, QList<Line> &out)
{
    if (!s.routesKnown)
        return;
    if (s.defaultRoute.isEmpty())
        out.append({Verdict::Hint, QStringLiteral("Netzwerk: keine Standardroute; nur Geräte im eigenen "
                                                  "Netz sind erreichbar.")});
    else if (isTunnelOrBridge(s.defaultRoute))
        out.append({Verdict::Problem, QStringLiteral("Netzwerk: Die Standardroute läuft über %1 (VPN oder "
                                                     "Container). Handys im WLAN erreichen diesen Computer "
                                                     "dann oft nicht; VPN testweise trennen.")
                                          .arg(s.defaultRoute)});
    else
        out.append({Verdict::Ok, QStringLiteral("Netzwerk: Standardroute über %1.").arg(s.defaultRoute)});
    QStringList others = s.tunnels;
    others.removeAll(s.defaultRoute);
    if (!others.isEmpty())
        out.append({Verdict::Hint, QStringLiteral("Netzwerk: Auch %1 haben Adressen; Handys können dort "
                                                  "nicht antworten.")
                                       .arg(others.join(QStringLiteral(", ")))});
}

void phoneLines(const Snapshot &s, QList<Line> &out)
{
    if (s.phones.isEmpty())
        return out.append({Verdict::Hint, QStringLiteral("Handys: noch keines bekannt.")});
    for (const Snapshot::Phone &p : s.phones) {
        const QString way = p.byAddress ? QStringLiteral("per Adresse") : QStringLiteral("über mDNS");
        const QString seen = p.lastSeen ? QStringLiteral("zuletzt gesehen %1").arg(ago(s.nowMs, p.lastSeen))
                                        : QStringLiteral("gerade nicht erreichbar");
        using Identity = Snapshot::Phone::Identity;
        if (p.identity == Identity::Failed)
            out.append(
                {Verdict::Problem,
                 QStringLiteral("%1 (%2, %3): %4 %5").arg(p.name, p.address, way, seen + ";", p.failure)});
        else if (p.identity == Identity::Answered)
            out.append({Verdict::Ok, QStringLiteral("%1 (%2, %3): %4, Identität beantwortet.")
                                         .arg(p.name, p.address, way, seen)});
        else
            out.append({p.lastSeen ? Verdict::Hint : Verdict::Problem,
                        QStringLiteral("%1 (%2, %3): %4, Identität noch nicht beantwortet.")
                            .arg(p.name, p.address, way, seen)});
    }
}
} // namespace

QList<Line> build(const Snapshot &snapshot)
{
    QList<Line> out;
    httpLines(snapshot, out);
    mdnsLines(snapshot, out);
    firewallLines(snapshot, out);
    routeLines(snapshot, out);
    phoneLines(snapshot, out);
    return out;
}

QString toText(const QList<Line> &lines)
{
    QStringList out;
    for (const Line &l : lines) {
        const char *verdict = l.verdict == Verdict::Ok     ? "[OK]      "
                              : l.verdict == Verdict::Hint ? "[Hinweis] "
                                                           : "[Problem] ";
        out.append(QLatin1String(verdict) + l.text);
    }
    return out.join(QLatin1Char('\n'));
}

bool isTunnelOrBridge(const QString &name)
{
    for (const char *prefix : {"tun", "tap", "wg", "ppp", "docker", "br-", "virbr", "vboxnet", "vmnet",
                               "tailscale", "zt", "cni", "podman", "lxc", "lxd"}) {
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

QString defaultRouteInterface(const QString &procNetRoute)
{
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask …; the
    // default route has destination and mask 0. The lowest metric wins.
    constexpr int kDestination = 1, kMetric = 6, kMask = 7, kColumns = 8;
    QString best;
    qint64 bestMetric = -1;
    for (const QString &line : procNetRoute.split(QLatin1Char('\n')).mid(1)) {
        const QStringList c = line.split(QLatin1Char('\t'), Qt::SkipEmptyParts);
        if (c.size() < kColumns || c.at(kDestination).trimmed() != QLatin1String("00000000") ||
            c.at(kMask).trimmed() != QLatin1String("00000000"))
            continue;
        const qint64 metric = c.at(kMetric).trimmed().toLongLong();
        if (bestMetric < 0 || metric < bestMetric) {
            best = c.at(0).trimmed();
            bestMetric = metric;
        }
    }
    return best;
}

} // namespace connectionreport
