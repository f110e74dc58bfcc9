#include "manual_devices.h"
#include "protocol.h"
#include "settings_store.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// A TCP service on 127.0.0.1 that answers every connection with reply (or,
// with an empty reply, closes without a word).
class FakeService : public QTcpServer
{
public:
    explicit FakeService(QByteArray reply) : reply(std::move(reply))
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->readAll().contains("\r\n\r\n"))
                        return;
                    s->write(this->reply);
                    s->disconnectFromHost();
                });
            }
        });
        listen(QHostAddress::LocalHost);
    }
    QByteArray reply;
};

namespace {
const QByteArray kPhone = "HTTP/1.1 200 OK\r\n\r\n{\"deviceId\":\"p7\",\"name\":\"Pixel\"}";
}

class ManualDevicesTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { SettingsStore()->clear(); }

    void parse_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("portField");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("error"); // start of the reason
        const int standard = protocol::kHttpPort;
        QTest::newRow("address:port") << " 192.168.1.20:53317 "
                                      << ""
                                      << "192.168.1.20" << 53317 << "";
        QTest::newRow("address, port field") << "192.168.1.20"
                                             << "53317"
                                             << "192.168.1.20" << 53317 << "";
        QTest::newRow("address alone") << "10.0.0.7"
                                       << ""
                                       << "10.0.0.7" << standard << "";
        QTest::newRow("typed port wins") << "10.0.0.7:1234"
                                         << "99"
                                         << "10.0.0.7" << 1234 << "";
        QTest::newRow("host name") << "pixel-7.fritz.box"
                                   << ""
                                   << "pixel-7.fritz.box" << standard << "";
        QTest::newRow("from a browser") << "http://10.0.0.7:8080/identity"
                                        << ""
                                        << "10.0.0.7" << 8080 << "";
        QTest::newRow("empty") << "   "
                               << "53317"
                               << "" << 0 << "Bitte die Adresse";
        QTest::newRow("octet above 255") << "192.168.1.256"
                                         << ""
                                         << "" << 0 << "Ungültige Adresse";
        QTest::newRow("three octets") << "192.168.1"
                                      << ""
                                      << "" << 0 << "Ungültige Adresse";
        QTest::newRow("port 0") << "10.0.0.7:0"
                                << ""
                                << "" << 0 << "Ungültiger Port";
        QTest::newRow("port too big") << "10.0.0.7:70000"
                                      << ""
                                      << "" << 0 << "Ungültiger Port";
        QTest::newRow("port not a number") << "10.0.0.7"
                                           << "abc"
                                           << "" << 0 << "Ungültiger Port";
        QTest::newRow("colon, no port") << "10.0.0.7:"
                                        << "53317"
                                        << "" << 0 << "Ungültiger Port";
        QTest::newRow("IPv6") << "[fe80::1]:53317"
                              << ""
                              << "" << 0 << "Nur IPv4-Adressen";
        QTest::newRow("spaces inside") << "my phone"
                                       << ""
                                       << "" << 0 << "Ungültige Adresse";
        QTest::newRow("hyphen at label end") << "phone-.lan"
                                             << ""
                                             << "" << 0 << "Ungültige Adresse";
        QTest::newRow("shell garbage") << "$(reboot)"
                                       << ""
                                       << "" << 0 << "Ungültige Adresse";
    }
    void parse()
    {
        QFETCH(QString, typed);
        QFETCH(QString, portField);
        QFETCH(QString, error);
        const manualentry::Entry entry = manualentry::parse(typed, portField);
        QVERIFY2(error.isEmpty() ? entry.error.isEmpty() : entry.error.startsWith(error),
                 qPrintable(entry.error));
        if (error.isEmpty()) {
            QTEST(entry.host, "host");
            QTEST(entry.port, "port");
        }
    }

    // What the user reads for each way a real address fails: the probe's
    // outcome from real sockets, then its text.
    void failures_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("text");
        QTest::newRow("refused") << QByteArray() << "127.0.0.1" << false
                                 << "%1 lehnt die Verbindung ab: Dort wartet keine App auf diesem Port.";
        QTest::newRow("closed silently")
            << QByteArray() << "127.0.0.1" << true << "%1 nimmt die Verbindung an, antwortet aber nicht.";
        QTest::newRow("a web page") << QByteArray("HTTP/1.1 200 OK\r\n\r\n<html>Router</html>") << "127.0.0.1"
                                    << true << "Unter %1 antwortet kein Handy mit passender App.";
        QTest::newRow("JSON without id")
            << QByteArray("HTTP/1.1 200 OK\r\n\r\n{\"name\":\"x\"}") << "127.0.0.1" << true
            << "Unter %1 antwortet kein Handy mit passender App.";
        // The sandbox has no route beyond loopback.
        QTest::newRow("no route") << QByteArray() << "198.51.100.9" << false
                                  << "%1 ist nicht erreichbar: Kein Weg in dieses Netz.";
    }
    void failures()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, ip);
        QFETCH(bool, listening);
        QFETCH(QString, text);
        FakeService service(reply);
        const int port = listening ? service.serverPort() : 9;
        IdentityProbe probe;
        QSignalSpy checked(&probe, &IdentityProbe::checked);
        probe.check(RemoteDevice{{}, {}, {}, ip, port, false, 0, {}});
        QTRY_COMPARE_WITH_TIMEOUT(checked.size(), 1, 10000); // emitted on the worker thread, maybe already
        const auto outcome = checked.at(0).at(1).value<IdentityProbe::Outcome>();
        const QString address = ip + ':' + QString::number(port);
        QCOMPARE(manualentry::failureText(manualentry::failureOf(outcome), address), text.arg(address));
    }

    void otherTexts()
    {
        using F = manualentry::Failure;
        const QString a = QStringLiteral("192.168.1.20:53317");
        QCOMPARE(manualentry::failureText(F::TimedOut, a),
                 "Keine Antwort von 192.168.1.20:53317 (Zeitüberschreitung).");
        QCOMPARE(manualentry::failureText(F::ThisComputer, a),
                 "192.168.1.20:53317 ist dieser Computer selbst.");
        QCOMPARE(manualentry::failureText(F::NameNotFound, a), "Name nicht gefunden: 192.168.1.20:53317");
    }

    // Added, remembered across a restart, asked again, silent, removed.
    void rememberedAndRechecked()
    {
        FakeService phone(kPhone);
        const QString address = "127.0.0.1:" + QString::number(phone.serverPort());
        {
            ManualDevices manual;
            manual.setAddressPolicy(sock::PeerAddressPolicy::OtherHostsOnly);
            QSignalSpy outcome(&manual, &ManualDevices::addOutcome);
            manual.add(address, {});
            QTRY_COMPARE(outcome.last().at(0).toString(),
                         "127.0.0.1:" + QString::number(phone.serverPort()) + " ist dieser Computer selbst.");
            QVERIFY(readManualDevices().isEmpty());

            manual.setAddressPolicy(sock::PeerAddressPolicy::LoopbackAllowed);
            QSignalSpy answered(&manual, &ManualDevices::answered);
            manual.add(address, {});
            QTRY_COMPARE(outcome.last().at(0).toString(), "Hinzugefügt: Pixel (" + address + ").");
            QCOMPARE(answered.size(), 1);
            manual.add(address, {}); // the same phone again stays one entry
            QTRY_COMPARE(answered.size(), 2);
        }
        QCOMPARE(readManualDevices(),
                 (QList<ManualDevice>{{"127.0.0.1", phone.serverPort(), "p7", "Pixel"}}));

        ManualDevices restarted;
        restarted.setAddressPolicy(sock::PeerAddressPolicy::LoopbackAllowed);
        QCOMPARE(restarted.placeholders().size(), 0);
        QSignalSpy answered(&restarted, &ManualDevices::answered);
        QSignalSpy silent(&restarted, &ManualDevices::silent);
        restarted.start();
        QCOMPARE(restarted.placeholders().at(0).name, "Pixel");
        QVERIFY(answered.wait(5000));
        QCOMPARE(answered.at(0).at(0).value<RemoteDevice>().id, "p7");
        QVERIFY(restarted.addresses().contains(address));
        // Added again by its name: the same phone, one entry, at the name now.
        QSignalSpy outcome(&restarted, &ManualDevices::addOutcome);
        restarted.add("localhost", QString::number(phone.serverPort()));
        QTRY_COMPARE(outcome.last().at(0).toString(),
                     "Hinzugefügt: Pixel (localhost:" + QString::number(phone.serverPort()) + ").");
        QCOMPARE(readManualDevices().size(), 1);
        QCOMPARE(readManualDevices().at(0).address, "localhost");
        phone.close();
        QVERIFY(silent.wait(ManualDevices::kRecheckMs + 5000));
        QVERIFY(restarted.status().at(0).failure.contains("lehnt die Verbindung ab"));

        QVERIFY(restarted.remove(
            RemoteDevice{"p7", "Pixel", {}, "127.0.0.1", int(phone.serverPort()), false, 0, {}}));
        QVERIFY(readManualDevices().isEmpty());
        QVERIFY(restarted.addresses().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ManualDevicesTest)
#include "tst_manual_devices.moc"
