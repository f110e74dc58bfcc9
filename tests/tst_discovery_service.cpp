#include "discovery_service.h"
#include "private_network_guard.h"

#include <QElapsedTimer>
#include <QtTest>

class DiscoveryServiceTest : public QObject
{
    Q_OBJECT

private slots:
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
