// The report behind "Verbindung prüfen": plain German lines, each with a
// verdict, built from a snapshot of what was found. Pure, so that every
// cause a user may meet (a blocked port, multicast that never arrives, a
// firewall, a VPN holding the route) can be checked from a table.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace connectionreport {

enum class Verdict { Ok, Hint, Problem };

struct Line
{
    Verdict verdict = Verdict::Ok;
    QString text;
    bool operator==(const Line &) const = default;
};

struct Snapshot
{
    qint64 nowMs = 0; // wall clock, for "vor … s"

    // The HTTP service: the port it listens on (0: none), and each of our
    // addresses with whether the service answered there as itself.
    int httpPort = 0;
    struct SelfCheck
    {
        QString interfaceName, address;
        bool answered = false;
    };
    QList<SelfCheck> selfChecks;

    // Multicast DNS.
    bool mdnsSocket = false;
    QStringList joined; // "eth0 (192.168.1.5)"
    bool namesClaimed = false;
    QString instanceName, hostName;
    qint64 lastForeignMs = 0; // 0: never
    QString lastForeignFrom;

    // A firewall.
    // Unknown: a system whose firewall is not read (not Linux).
    enum class Firewall { None, Ufw, Firewalld, Unknown };
    Firewall firewall = Firewall::None;
    bool rulesReadable = false;
    bool portAllowed = false, mdnsAllowed = false;
    QString zone; // firewalld's zone

    // The interface holding the default route, and interfaces of VPNs and
    // containers that are up with an address.
    bool routesKnown = true; // false where the routing table is not read
    QString defaultRoute;
    QStringList tunnels;

    struct Phone
    {
        QString name, address; // address "ip:port"
        qint64 lastSeen = 0;   // 0: not now
        bool byAddress = false;
        enum class Identity { Unknown, Answered, Failed } identity = Identity::Unknown;
        QString failure;
    };
    QList<Phone> phones;
};

QList<Line> build(const Snapshot &snapshot);
// One line per entry, each opened by its verdict: what "Bericht kopieren" copies.
QString toText(const QList<Line> &lines);
// Whether an interface name is a VPN's or a container bridge's: phones
// cannot reach addresses there.
bool isTunnelOrBridge(const QString &interfaceName);
// The interface of the IPv4 default route in /proc/net/route's text; empty
// when there is none.
QString defaultRouteInterface(const QString &procNetRoute);

} // namespace connectionreport
