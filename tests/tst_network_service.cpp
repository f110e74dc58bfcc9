#include "network_service.h"
#include "settings_store.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <thread>

using namespace testsupport;

class NetworkServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        SettingsStore store;
        store->clear();
    }

    void localDeviceIdIsStableEverywhere()
    {
        // Many threads asking at once on a first run still agree on one id.
        QStringList seen(16);
        std::vector<std::thread> threads;
        for (int i = 0; i < 16; ++i)
            threads.emplace_back([&seen, i] { seen[i] = NetworkService::localDeviceId(); });
        for (std::thread &t : threads)
            t.join();
        const QString id = seen.first();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                    .match(id)
                    .hasMatch());
        for (const QString &other : seen)
            QCOMPARE(other, id);
        QCOMPARE(NetworkService::localDeviceId(), id);
        // What a restarted program reads from the store.
        SettingsStore fresh;
        QCOMPARE(fresh->value(QStringLiteral("DeviceId")).toString(), id);
    }

    void receiveFolder_data()
    {
        QTest::addColumn<QString>("set");
        QTest::addColumn<QString>("expected");
        const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QTest::newRow("empty means the download folder") << QString() << downloads;
        QTest::newRow("kept exactly, even when missing")
            << QStringLiteral("/nonexistent/ordner ü/") << QStringLiteral("/nonexistent/ordner ü/");
    }

    void receiveFolder()
    {
        QFETCH(QString, set);
        QFETCH(QString, expected);
        NetworkService service;
        service.setReceiveFolder(QStringLiteral("/something/else"));
        service.setReceiveFolder(set);
        QCOMPARE(service.receiveFolder(), expected);
    }

    void startTwiceRunsOneServer()
    {
        NetworkService service;
        LogRecorder log;
        connect(&service, &NetworkService::logMessage, &log, [&log](const QString &l) { log.lines.append(l); });
        service.start();
        service.start();
        QTRY_VERIFY(log.contains(QStringLiteral("HTTP Server aktiv auf Port 53319.")));
        QTest::qWait(300);
        // A second accept loop would have failed to bind and said so.
        QCOMPARE(log.lines.count(QStringLiteral("HTTP Server aktiv auf Port 53319.")), 1);
        QVERIFY(!log.contains(QStringLiteral("HTTP bind fehlgeschlagen.")));
    }

    void signalsArriveOnTheReceiversThread()
    {
        qRegisterMetaType<RemoteDevice>();
        NetworkService service;
        QObject receiver;
        RemoteDevice received;
        Qt::HANDLE thread = nullptr;
        connect(&service, &NetworkService::deviceFound, &receiver, [&](const RemoteDevice &d) {
            received = d;
            thread = QThread::currentThreadId();
        });
        RemoteDevice sent;
        sent.id = QStringLiteral("id-1");
        sent.name = QStringLiteral("Pixel");
        sent.host = QStringLiteral("pixel.local.");
        sent.ip = QStringLiteral("198.51.100.7");
        sent.port = 53317;
        sent.paired = true;
        sent.lastSeen = 1234;
        sent.sharedSecret = QStringLiteral("s3cret");
        std::thread([&] { emit service.deviceFound(sent); }).join();
        QTRY_COMPARE(received.id, sent.id);
        QCOMPARE(thread, QThread::currentThreadId());
        QCOMPARE(received.name, sent.name);
        QCOMPARE(received.host, sent.host);
        QCOMPARE(received.ip, sent.ip);
        QCOMPARE(received.port, sent.port);
        QCOMPARE(received.paired, sent.paired);
        QCOMPARE(received.lastSeen, sent.lastSeen);
        QCOMPARE(received.sharedSecret, sent.sharedSecret);
    }

    // Destroying the service while peers hold connections open in every
    // phase ends all of its threads promptly; under AddressSanitizer this
    // also shows that no thread touches the service afterwards.
    void destroyWithConnectionsInFlight()
    {
        auto *service = new NetworkService;
        LogRecorder log;
        connect(service, &NetworkService::logMessage, &log, [&log](const QString &l) { log.lines.append(l); });
        service->start();
        QTRY_VERIFY(log.contains(QStringLiteral("HTTP Server aktiv auf Port 53319.")));

        std::vector<sock::Socket> peers;
        for (int i = 0; i < 40; ++i) {
            peers.push_back(connectFrom(ipv4("127.0.0.1") + std::uint32_t(i % 4), NetworkService::kHttpPort));
            QVERIFY(peers.back().valid());
            switch (i % 4) {
            case 0: break;                                              // connected, silent
            case 1: sendAll(peers.back(), "GET /identity HTTP/1.1\r\n"); break; // half a head
            case 2: sendAll(peers.back(), "POST /upload HTTP/1.1\r\nContent-Length: 100000\r\n\r\nab"); break;
            case 3: sendAll(peers.back(), "GET /identity HTTP/1.1\r\n\r\n"); break; // complete
            }
        }
        QTest::qWait(200);

        QElapsedTimer timer;
        timer.start();
        delete service;
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));

        // Nothing listens any more, and every held connection was let go.
        QVERIFY(!connectFrom(0, NetworkService::kHttpPort).valid());
        for (const sock::Socket &p : peers) {
            bool closed = false;
            readUntilClosed(p, 2000, &closed);
            QVERIFY(closed);
        }
    }
};

QTEST_GUILESS_MAIN(NetworkServiceTest)
#include "tst_network_service.moc"
