#include "discovery_service.h"
#include "dns_test_support.h"
#include "mdns_browser.h"
#include "private_network_guard.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

using dnstest::kService;

class DiscoveryServiceTest : public QObject
{
    Q_OBJECT

private slots:
    // The port the service is given is the one it announces, so that phones
    // reach the server on the port it really listens on.
    void announcesItsPort()
    {
        DiscoveryService service(4242);
        QStringList log;
        connect(&service, &DiscoveryService::logMessage, this, [&log](const QString &line) { log << line; });
        service.start();
        QTRY_VERIFY(log.contains("mDNS Service aktiv."));
        QUdpSocket asker;
        asker.setProxy(QNetworkProxy::NoProxy); // no proxy lookup thread racing the test
        QVERIFY(asker.bind(QHostAddress::AnyIPv4, 0));
        const auto query = mdns::buildBrowseQuery(7, false);
        asker.writeDatagram(reinterpret_cast<const char *>(query.data()), qint64(query.size()),
                            QHostAddress("224.0.0.251"), protocol::kMdnsPort);
        QVERIFY(asker.waitForReadyRead(3000));
        const QByteArray srvData = dnstest::u16(0) + dnstest::u16(0) + dnstest::u16(4242);
        QVERIFY(asker.receiveDatagram().data().contains(srvData));
        QTest::qWait(500); // its own answer, heard back, is no other computer's claim
        QCOMPARE(log, QStringList{"mDNS Service aktiv."});
    }

    // Announced phones under addresses that are no phone's (this computer
    // itself, everyone, no one) are never reported; loopback only when the
    // policy allows it.
    void reportsOnlyPhoneAddresses()
    {
        if (QProcess::execute("ip", {"addr", "replace", "198.51.100.77/24", "dev", "lo"}) != 0)
            QSKIP("cannot give this computer an address here");
        DiscoveryService service;
        QStringList found, log;
        connect(&service, &DiscoveryService::deviceFound, this,
                [&found](const RemoteDevice &d) { found << d.name; });
        connect(&service, &DiscoveryService::logMessage, this, [&log](const QString &line) { log << line; });
        service.start();
        QTRY_VERIFY(log.contains("mDNS Service aktiv.")); // listening by now
        QByteArray phones;
        int count = 0;
        for (const char *ip :
             {"127.0.0.1", "0.0.0.0", "198.51.100.77", "198.51.100.255", "224.0.0.9", "203.0.113.9"}) {
            const QString label = ip, host = QString("h%1.local").arg(++count);
            std::uint32_t address = 0;
            sock::parseIPv4(ip, &address);
            phones += dnstest::record(kService, 12, dnstest::name(label + "." + kService)) +
                      dnstest::record(label + "." + kService, 33,
                                      dnstest::u32(0) + dnstest::u16(8080) + dnstest::name(host)) +
                      dnstest::record(host, 1, dnstest::u32(address));
        }
        const QByteArray announcement = dnstest::header(0, 0x8400, 0, count * 3) + phones;
        QUdpSocket phone;
        phone.setProxy(QNetworkProxy::NoProxy);
        for (const auto policy :
             {sock::PeerAddressPolicy::OtherHostsOnly, sock::PeerAddressPolicy::LoopbackAllowed}) {
            service.setAddressPolicy(policy);
            found.clear();
            phone.writeDatagram(announcement, QHostAddress("224.0.0.251"), protocol::kMdnsPort);
            QTRY_VERIFY(!found.isEmpty());
            QTest::qWait(200);
            found.sort();
            QCOMPARE(found.join(' '), policy == sock::PeerAddressPolicy::LoopbackAllowed
                                          ? "127.0.0.1 203.0.113.9"
                                          : "203.0.113.9");
        }
    }

    // The service ends at once, even while its browser pauses between cycles.
    void stopsPromptly()
    {
        auto *service = new DiscoveryService(8080);
        QStringList log;
        connect(service, &DiscoveryService::logMessage, this, [&log](const QString &line) { log << line; });
        service->start();
        QTRY_COMPARE(log, QStringList{"mDNS Service aktiv."});
        QTest::qWait(protocol::kBrowseListenMs + 500);
        QElapsedTimer timer;
        timer.start();
        delete service;
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_GUILESS_MAIN(DiscoveryServiceTest)
#include "tst_discovery_service.moc"
