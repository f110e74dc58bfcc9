#include "connection_check.h"
#include "network_service.h"
#include "private_bus.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace connectionreport;
using Verdict = connectionreport::Verdict;
Q_DECLARE_METATYPE(connectionreport::Snapshot)

namespace {
// A computer where everything works, which each row then breaks in one way.
Snapshot healthy()
{
    Snapshot s;
    s.nowMs = 100'000;
    s.httpPort = 53319;
    s.selfChecks = {{"wlan0", "192.168.1.5", true}, {"lo", "127.0.0.1", true}};
    s.mdnsSocket = true;
    s.joined = {"wlan0 (192.168.1.5)"};
    s.namesClaimed = true;
    s.instanceName = "Windows KAVELTOR Companion";
    s.hostName = "kaveltor-companion.local.";
    s.lastForeignMs = 88'000;
    s.lastForeignFrom = "192.168.1.20";
    s.defaultRoute = "wlan0";
    s.phones = {{"Pixel", "192.168.1.20:53317", 95'000, false, Snapshot::Phone::Identity::Answered, {}}};
    return s;
}
} // namespace

class ConnectionReportTest : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data()
    {
        QTest::addColumn<Snapshot>("snapshot");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("line");
        Snapshot s = healthy();
        QTest::newRow("port answers")
            << s << int(Verdict::Ok)
            << "HTTP-Port 53319 antwortet unter 192.168.1.5 (wlan0), 127.0.0.1 (lo).";
        QTest::newRow("packet from another host")
            << s << int(Verdict::Ok) << "mDNS: letztes Paket eines anderen Geräts vor 12 s von 192.168.1.20.";
        QTest::newRow("no firewall") << s << int(Verdict::Ok) << "Firewall: weder ufw noch firewalld aktiv.";
        QTest::newRow("phone")
            << s << int(Verdict::Ok)
            << "Pixel (192.168.1.20:53317, über mDNS): zuletzt gesehen vor 5 s, Identität beantwortet.";
        (s = healthy()).httpPort = 0;
        QTest::newRow("port not bound")
            << s << int(Verdict::Problem)
            << "HTTP-Port 53319 ist nicht geöffnet: Handys können nichts senden und nicht pairen.";
        (s = healthy()).selfChecks[0].answered = false;
        QTest::newRow("silent on wlan")
            << s << int(Verdict::Problem) << "HTTP-Port 53319 antwortet nicht unter 192.168.1.5 (wlan0).";
        (s = healthy()).lastForeignMs = 0;
        QTest::newRow("multicast blocked")
            << s << int(Verdict::Problem)
            << "mDNS: Noch keine Pakete anderer Geräte empfangen. Multicast kommt wahrscheinlich nicht durch "
               "(Firewall, Gastnetz oder Client-Isolation am Router): Gerät per Adresse hinzufügen.";
        (s = healthy()).joined.clear();
        QTest::newRow("no group joined")
            << s << int(Verdict::Problem) << "mDNS: an keinem Netzwerk angemeldet.";
        (s = healthy()).mdnsSocket = false;
        QTest::newRow("mDNS port taken")
            << s << int(Verdict::Problem)
            << "mDNS: Port 5353 konnte nicht geöffnet werden; Handys finden diesen Computer nicht.";
        s = healthy();
        s.firewall = Snapshot::Firewall::Ufw;
        QTest::newRow("ufw, rules root's") << s << int(Verdict::Hint)
                                           << "Firewall: ufw aktiv, Regeln nicht lesbar. Freigeben mit: sudo "
                                              "ufw allow 53319/tcp && sudo ufw allow 5353/udp";
        s.rulesReadable = s.mdnsAllowed = true;
        QTest::newRow("ufw blocks the port") << s << int(Verdict::Problem)
                                             << "Firewall: ufw aktiv und blockiert TCP 53319. Freigeben mit: "
                                                "sudo ufw allow 53319/tcp && sudo ufw allow 5353/udp";
        s.portAllowed = true;
        QTest::newRow("ufw allows both")
            << s << int(Verdict::Ok)
            << "Firewall: ufw aktiv; TCP 53319 und mDNS (UDP 5353) sind freigegeben.";
        s = healthy();
        s.firewall = Snapshot::Firewall::Firewalld;
        s.rulesReadable = true;
        s.zone = "public";
        QTest::newRow("firewalld blocks both") << s << int(Verdict::Problem)
                                               << "Firewall: firewalld aktiv, Zone „public“ und blockiert "
                                                  "TCP 53319 und mDNS (UDP 5353). Freigeben mit: "
                                                  "sudo firewall-cmd --permanent --add-port=53319/tcp "
                                                  "--add-service=mdns && sudo firewall-cmd --reload";
        (s = healthy()).defaultRoute = "wg0";
        s.tunnels = {"wg0", "docker0"};
        QTest::newRow("VPN holds the route") << s << int(Verdict::Problem)
                                             << "Netzwerk: Die Standardroute läuft über wg0 (VPN oder "
                                                "Container). Handys im WLAN erreichen diesen "
                                                "Computer dann oft nicht; VPN testweise trennen.";
        QTest::newRow("container bridge")
            << s << int(Verdict::Hint)
            << "Netzwerk: Auch docker0 haben Adressen; Handys können dort nicht antworten.";
        s = healthy();
        s.phones = {{"Pixel", "192.168.1.20:53317", 0, true, Snapshot::Phone::Identity::Failed,
                     "Keine Antwort von 192.168.1.20:53317 (Zeitüberschreitung)."}};
        QTest::newRow("phone by address silent")
            << s << int(Verdict::Problem)
            << "Pixel (192.168.1.20:53317, per Adresse): gerade nicht erreichbar; Keine Antwort von "
               "192.168.1.20:53317 (Zeitüberschreitung).";
    }
    void verdicts()
    {
        QFETCH(Snapshot, snapshot);
        QFETCH(int, verdict);
        QFETCH(QString, line);
        const QList<Line> lines = build(snapshot);
        QVERIFY2(lines.contains(Line{Verdict(verdict), line}), qPrintable(toText(lines)));
        QVERIFY(toText(lines).contains(line));
    }

    void defaultRoute()
    {
        const QString table =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
            "tun0\t00000000\t00000000\t0001\t0\t0\t50\t00000000\t0\t0\t0\n"
            "wlan0\t0001A8C0\t00000000\t0001\t0\t0\t600\t00FFFFFF\t0\t0\t0\n";
        QCOMPARE(defaultRouteInterface(table), "tun0");
        QCOMPARE(defaultRouteInterface(table.section('\n', 0, 1) + '\n'), "wlan0");
        QCOMPARE(defaultRouteInterface(QString()), QString());
    }

    // firewalld answers over D-Bus without root: a stand-in on a bus of the
    // test's own, reached as the system bus.
    void firewalldOverDbus()
    {
        QTemporaryDir dir;
        QProcess bus, firewalld;
        QVERIFY(startPrivateSessionBus(dir.path(), bus));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        firewalld.start(KAVELTOR_PYTHON3, {KAVELTOR_FAKE_FIREWALLD, "5353/udp"});
        QVERIFY(firewalld.waitForReadyRead(10000));
        NetworkService network; // not started: no port, no mDNS
        ConnectionCheck check(network);
        check.sources.ufwConfig = dir.filePath("none");
        QSignalSpy finished(&check, &ConnectionCheck::finished);
        check.run({});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        const QString report = finished.at(0).at(0).toString();
        QVERIFY2(report.contains("[Problem] Firewall: firewalld aktiv, Zone „home“ und blockiert TCP 53319. "
                                 "Freigeben mit: sudo firewall-cmd"),
                 qPrintable(report));
        QVERIFY(report.contains("[Problem] HTTP-Port 53319 ist nicht geöffnet"));
        firewalld.kill();
        bus.kill();
        firewalld.waitForFinished();
        bus.waitForFinished();
    }

    // ufw's switch is readable by anybody, its rules by root alone.
    void ufwFromItsFiles()
    {
        // After firewalldOverDbus: the process's system bus is the test's own, gone now.
        QTemporaryDir dir;
        QFile conf(dir.filePath("ufw.conf")), rules(dir.filePath("user.rules"));
        QVERIFY(conf.open(QIODevice::WriteOnly) && conf.write("# comment\nENABLED=yes\n") > 0);
        QVERIFY(rules.open(QIODevice::WriteOnly) &&
                rules.write("### tuple ### allow udp 5353 0.0.0.0/0 any 0.0.0.0/0 in\n") > 0);
        conf.close();
        rules.close();
        NetworkService network;
        ConnectionCheck check(network);
        check.sources = {conf.fileName(), rules.fileName(), dir.filePath("none")};
        QSignalSpy finished(&check, &ConnectionCheck::finished);
        check.run({});
        check.sources.ufwRules = dir.filePath("unreadable");
        check.run({});
        QCOMPARE(finished.size(), 2);
        QVERIFY(finished.at(0).at(0).toString().contains(
            "[Problem] Firewall: ufw aktiv und blockiert TCP 53319."));
        QVERIFY(
            finished.at(1).at(0).toString().contains("[Hinweis] Firewall: ufw aktiv, Regeln nicht lesbar."));
    }
};

QTEST_GUILESS_MAIN(ConnectionReportTest)
#include "tst_connection_report.moc"
