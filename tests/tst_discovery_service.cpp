#include "discovery_service.h"
#include "dns_test_support.h"
#include "mdns_browser.h"
#include "private_network_guard.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
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
