#include "dns_codec.h"
#include "mdns_responder.h"
#include "mdns_socket.h"
#include "network_service.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QtTest>

#include <arpa/inet.h>

using namespace testsupport;

namespace {
// A one-shot querier: a plain UDP socket on a port of its own.
sock::Socket oneShotSocket()
{
    sock::Socket s = sock::udpSocket();
    sock::bindIPv4(s, 0, 0);
    return s;
}

QByteArray ptrQuestion(int id)
{
    const QByteArray name("\x0b_peerharbor\x04_tcp\x05local\x00", 24);
    QByteArray q = QByteArray::fromHex("000000000001000000000000") + name + QByteArray::fromHex("000c8001");
    q[0] = char(id >> 8);
    q[1] = char(id & 0xff);
    return q;
}
} // namespace

class MdnsLoopsTest : public QObject
{
    Q_OBJECT

private slots:
    // A one-shot querier, like dig or the browser, gets a unicast reply that
    // carries its identifier and the address of the interface it asked on.
    void answersOneShotQueriesByUnicast()
    {
        NetworkService service;
        LogRecorder log;
        connect(&service, &NetworkService::logMessage, &log,
                [&log](const QString &l) { log.lines.append(l); });
        service.start();
        QTRY_VERIFY(log.contains(QStringLiteral("mDNS Service aktiv.")));
        sock::Socket s = oneShotSocket();
        const QByteArray q = ptrQuestion(0x1234);
        QCOMPARE(
            sock::sendDatagram(s, q.constData(), std::size_t(q.size()), mdns::kGroupIPv4Address, mdns::kPort),
            long(q.size()));
        QCOMPARE(sock::waitReadable(s, 3000), sock::Readiness::Ready);
        char buffer[2048];
        sock::DatagramInfo info;
        const long n = sock::receiveDatagram(s, buffer, sizeof buffer, &info);
        QVERIFY(n > 0);
        QCOMPARE(info.senderPort, mdns::kPort);
        mdns::PublishedService expected;
        expected.address = mdns::kLoopbackAddress; // the only interface here
        const auto reply = mdns::buildLegacyReply(expected, 0x1234, mdns::kServiceType, 12, 0x8001);
        QCOMPARE(QByteArray(buffer, int(n)),
                 QByteArray(reinterpret_cast<const char *>(reply.data()), qsizetype(reply.size())));
    }

    void portHeldExclusivelyIsReportedOnce()
    {
        // Without SO_REUSEADDR/SO_REUSEPORT nobody can share the port.
        sock::Socket holder = sock::udpSocket();
        QVERIFY(sock::bindIPv4(holder, 0, mdns::kPort));
        NetworkService service;
        LogRecorder log;
        connect(&service, &NetworkService::logMessage, &log,
                [&log](const QString &l) { log.lines.append(l); });
        service.start();
        QTRY_VERIFY(log.contains(QStringLiteral("mDNS Publish Socket Fehler.")));
        QTest::qWait(300);
        QCOMPARE(log.lines.count(QStringLiteral("mDNS Publish Socket Fehler.")), 1);
        QVERIFY(!log.contains(QStringLiteral("mDNS Service aktiv.")));
        QVERIFY(!log.contains(QStringLiteral("mDNS Browse Socket Fehler.")));
    }

    // The loops end promptly whether the browser is listening or pausing.
    void stopsQuickly_data()
    {
        QTest::addColumn<int>("runMs");
        QTest::newRow("browser listening") << 500;
        QTest::newRow("browser pausing") << 4000;
    }

    void stopsQuickly()
    {
        QFETCH(int, runMs);
        auto *service = new NetworkService;
        LogRecorder log;
        connect(service, &NetworkService::logMessage, &log,
                [&log](const QString &l) { log.lines.append(l); });
        service->start();
        QTRY_VERIFY(log.contains(QStringLiteral("mDNS Service aktiv.")));
        QTest::qWait(runMs);
        QElapsedTimer timer;
        timer.start();
        delete service;
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_GUILESS_MAIN(MdnsLoopsTest)
#include "tst_mdns_loops.moc"
