#include "discovery_service.h"
#include "dns_test_support.h"
#include "mdns_browser.h"
#include "private_network_guard.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

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

    // A network that comes up after the program started (Wi-Fi after login)
    // is joined, and this computer is announced there.
    void announcesOnLateLink()
    {
        DiscoveryService service(4242);
        service.start();
        const auto ip = [](const QString &args) { return QProcess::execute("ip", args.split(' ')) == 0; };
        if (!ip("link add late0 type veth peer name late1"))
            QSKIP("cannot add an interface here");
        QVERIFY(ip("addr add 198.51.100.7/24 dev late0") && ip("link set late0 multicast on up") &&
                ip("link set late1 up"));
        // Joined by the service itself, before any other socket here joins.
        const auto joined = [] {
            QFile igmp("/proc/net/igmp");
            igmp.open(QIODevice::ReadOnly);
            const QString text = QString::fromLatin1(igmp.readAll());
            return text.section("late0", 1).section(QRegularExpression("\\n\\d"), 0, 0).contains("FB0000E0");
        };
        QTRY_VERIFY_WITH_TIMEOUT(joined(), 8000);
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress::AnyIPv4, protocol::kMdnsPort, QUdpSocket::ShareAddress));
        QVERIFY(listener.joinMulticastGroup(QHostAddress("224.0.0.251"),
                                            QNetworkInterface::interfaceFromName("late0")));
        const QByteArray ourAddress = dnstest::u32(0xC6336407); // 198.51.100.7
        QDeadlineTimer deadline(8000);
        bool announced = false;
        while (!announced && listener.waitForReadyRead(int(deadline.remainingTime()))) {
            while (listener.hasPendingDatagrams()) {
                const QByteArray d = listener.receiveDatagram().data();
                announced |= d.contains(protocol::kInstanceLabel) && d.contains(ourAddress) && (d[2] & 0x80);
            }
        }
        QVERIFY(announced);
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
