// The requests this computer makes to phones, driven for real against the
// simulated phone (tests/sim_phone) and against small in-process peers.
#include "fake_peer.h"
#include "network_service.h"
#include "settings_store.h"
#include "sim_phone.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;

#if defined(__SANITIZE_THREAD__)
// The simulated phone is started with QProcess, which forks this threaded
// process; its child does nothing but exec, which ThreadSanitizer cannot
// tell and would stop.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}
#endif

namespace {
constexpr qint64 kMiB = 1024 * 1024;
const QString kPhoneId = QStringLiteral("phone-1");
const QString kPhoneSecret = QStringLiteral("s3cr3t");

struct Progress
{
    int percent;
    qint64 sentBytes;
    qint64 totalBytes;
    double speed;
    qint64 receivedAtMs; // since the outcomes were first watched
};

QString describe(const RemoteDevice &d)
{
    return QStringList{d.id,
                       d.name,
                       d.host,
                       d.ip,
                       QString::number(d.port),
                       QString::number(d.paired),
                       QString::number(d.lastSeen),
                       QString::number(d.sending),
                       d.sharedSecret}
        .join(QLatin1Char('|'));
}

// Everything a service reports, in the order the window would see it.
class Outcomes : public QObject
{
public:
    QStringList lines;
    QList<Progress> progress;
    QElapsedTimer clock;

    explicit Outcomes(NetworkService &service)
    {
        clock.start();
        connect(&service, &NetworkService::deviceIdentityResolved, this,
                [this](const RemoteDevice &d) { lines.append("identity " + describe(d)); });
        connect(&service, &NetworkService::pairingSucceeded, this,
                [this](const RemoteDevice &d) { lines.append("paired " + describe(d)); });
        connect(&service, &NetworkService::pairingFailed, this,
                [this](const QString &reason) { lines.append("pairingFailed " + reason); });
        connect(&service, &NetworkService::logMessage, this,
                [this](const QString &text) { lines.append("log " + text); });
        connect(&service, &NetworkService::fileTransferFinished, this,
                [this](const QString &ip, int port, const QString &name) {
                    lines.append(QStringLiteral("finished %1|%2|%3").arg(ip).arg(port).arg(name));
                });
        connect(&service, &NetworkService::fileTransferProgress, this,
                [this](int percent, qint64 sent, qint64 total, double speed) {
                    progress.append({percent, sent, total, speed, clock.elapsed()});
                });
    }
    // Waits for count outcome lines; with count 0, makes sure none come
    // within quietMs.
    bool waitFor(int count, int timeoutMs = 10000, int quietMs = 500)
    {
        if (count == 0) {
            QTest::qWait(quietMs);
            return lines.isEmpty();
        }
        return QTest::qWaitFor([this, count] { return lines.size() >= count; }, timeoutMs);
    }
};

// Progress as the window relies on it: at most 101 signals, percentages that
// only rise and match the bytes, the last one covering the whole file.
void verifyProgress(const QList<Progress> &progress, qint64 size)
{
    if (size == 0) {
        QVERIFY(progress.isEmpty());
        return;
    }
    QVERIFY(!progress.isEmpty());
    QVERIFY(progress.size() <= 101);
    for (qsizetype i = 0; i < progress.size(); ++i) {
        const Progress &p = progress[i];
        QCOMPARE(p.totalBytes, size);
        QCOMPARE(p.percent, int(p.sentBytes * 100 / size));
        if (i > 0) {
            QVERIFY(p.percent > progress[i - 1].percent);
            QVERIFY(p.sentBytes > progress[i - 1].sentBytes);
        }
    }
    QCOMPARE(progress.last().sentBytes, size);
    QCOMPARE(progress.last().percent, 100);
}

QByteArray pattern(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xff);
    return data;
}

bool writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block = pattern(qMin<qint64>(size, kMiB));
    for (qint64 done = 0; done < size; done += block.size())
        file.write(block.constData(), qMin<qint64>(block.size(), size - done));
    return file.error() == QFile::NoError;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

ClientLimits shortLimits()
{
    ClientLimits limits;
    limits.connectTimeoutMs = 400;
    limits.replyIdleTimeoutMs = 400;
    limits.sendStallTimeoutMs = 400;
    return limits;
}

RemoteDevice fakeRecord(std::uint16_t port)
{
    RemoteDevice d;
    d.name = QStringLiteral("Pixel");
    d.ip = QStringLiteral("127.0.0.1");
    d.port = port;
    d.sharedSecret = QStringLiteral("s");
    return d;
}

// Starts one request of the given kind; text is the code, message or file path.
void startRequest(NetworkService &service, const QString &kind, const RemoteDevice &device,
                  const QString &text)
{
    if (kind == QLatin1String("identity"))
        service.resolveIdentity(device);
    else if (kind == QLatin1String("pair"))
        service.pairDevice(device, text);
    else if (kind == QLatin1String("message"))
        service.sendMessage(device, text);
    else
        service.sendFile(device, text);
}

QStringList expand(QStringList lines, std::uint16_t port)
{
    for (QString &line : lines)
        line.replace(QLatin1String("{port}"), QString::number(port));
    return lines;
}
} // namespace

class PeerClientTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void init()
    {
        SettingsStore store;
        store->clear();
    }

    // Every request exactly as the phone received it, and what came of it.
    void requestsAsThePhoneReceivedThem_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text"); // code, message or file name
        QTest::addColumn<qint64>("fileSize");
        QTest::addColumn<QString>("phoneCode"); // the code the phone accepts
        QTest::addColumn<bool>("paired");       // the record carries the phone's secret
        QTest::addColumn<QByteArray>("head");   // {id}: this computer's id, {len}: body bytes
        QTest::addColumn<QByteArray>("body");   // files: the file's content
        QTest::addColumn<QStringList>("outcome");

        const QByteArray uploadHead = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                      "Content-Type: application/octet-stream\r\nX-Filename: {name}\r\n"
                                      "X-KAVELTORLink-DeviceId: {id}\r\nX-KAVELTORLink-Secret: {secret}\r\n"
                                      "Content-Length: {len}\r\nConnection: close\r\n\r\n";
        const QByteArray pairHead =
            "POST /pair HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "Content-Length: {len}\r\nConnection: close\r\n\r\n";
        const QByteArray messageHead =
            "POST /message HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
            "Content-Length: {len}\r\nX-KAVELTORLink-DeviceId: {id}\r\n"
            "X-KAVELTORLink-Secret: {secret}\r\nConnection: close\r\n\r\n";
        const QString phone = QStringLiteral("phone-1|Sim Phone|sim-phone.local.|127.0.0.1|{port}");

        QTest::newRow("identity")
            << "identity" << QString() << qint64(0) << "1" << false
            << QByteArray("GET /identity HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            << QByteArray() << QStringList{"identity " + phone + "|0|0|0|"};
        QTest::newRow("pairing, non-ASCII code")
            << "pair" << QStringLiteral("Zäh✓ 42") << qint64(0) << QStringLiteral("Zäh✓ 42") << false
            << pairHead
            << QByteArray(
                   "{\"code\":\"Zäh✓ 42\",\"deviceId\":\"{id}\",\"name\":\"Windows KAVELTOR Companion\"}")
            << QStringList{"paired " + phone + "|1|0|0|s3cr3t"};
        QTest::newRow("pairing, empty code")
            << "pair" << QString() << qint64(0) << QString() << false << pairHead
            << QByteArray("{\"code\":\"\",\"deviceId\":\"{id}\",\"name\":\"Windows KAVELTOR Companion\"}")
            << QStringList{"paired " + phone + "|1|0|0|s3cr3t"};
        QTest::newRow("pairing, wrong code")
            << "pair" << QStringLiteral("0000") << qint64(0) << QStringLiteral("1234") << false << pairHead
            << QByteArray("{\"code\":\"0000\",\"deviceId\":\"{id}\",\"name\":\"Windows KAVELTOR Companion\"}")
            << QStringList{"pairingFailed Falscher Code."};
        QTest::newRow("message, non-ASCII")
            << "message" << QStringLiteral("Grüße aus Köln ✓") << qint64(0) << "1" << true << messageHead
            << QByteArray("Grüße aus Köln ✓") << QStringList();
        QTest::newRow("message, unpaired record")
            << "message" << QStringLiteral("hi") << qint64(0) << "1" << false << messageHead
            << QByteArray("hi") << QStringList{"log Nachricht fehlgeschlagen: unauthorized"};
        QTest::newRow("empty file") << "file" << QStringLiteral("leer.txt") << qint64(0) << "1" << true
                                    << uploadHead << QByteArray()
                                    << QStringList{"finished 127.0.0.1|{port}|leer.txt"};
        QTest::newRow("65537 bytes, two chunks")
            << "file" << QStringLiteral("Foto Ü.jpg") << qint64(65537) << "1" << true << uploadHead
            << pattern(65537) << QStringList{"finished 127.0.0.1|{port}|Foto Ü.jpg"};
        QTest::newRow("file, unpaired record with empty secret")
            << "file" << QStringLiteral("a.bin") << qint64(1000) << "1" << false << uploadHead
            << pattern(1000) << QStringList{"log Dateiuebertragung fehlgeschlagen: unauthorized"};
        QTest::newRow("file name with control characters")
            << "file" << QStringLiteral("a\nb\tc.txt") << qint64(10) << "1" << true << uploadHead
            << pattern(10) << QStringList{"finished 127.0.0.1|{port}|a\nb\tc.txt"};
    }

    void requestsAsThePhoneReceivedThem()
    {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(qint64, fileSize);
        QFETCH(QString, phoneCode);
        QFETCH(bool, paired);
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, outcome);

        const QString localId = NetworkService::localDeviceId();
        SimPhone phone({"--device-id", kPhoneId, "--secret", kPhoneSecret, "--code", phoneCode,
                        "--paired-device", localId, "--upload-dir", m_dir.filePath("phone")});
        QVERIFY(phone.waitReady());
        RemoteDevice device = phone.device();
        if (paired)
            device.sharedSecret = kPhoneSecret;

        QString argument = text;
        if (kind == QLatin1String("file")) {
            QVERIFY(QDir().mkpath(m_dir.filePath("out")));
            argument = m_dir.filePath("out/" + text);
            QVERIFY(writeFile(argument, fileSize));
        }

        NetworkService service;
        Outcomes outcomes(service);
        startRequest(service, kind, device, argument);
        QVERIFY(phone.waitForEvents(1));
        QVERIFY(outcomes.waitFor(int(outcome.size())));

        body.replace("{id}", localId.toUtf8());
        head.replace("{id}", localId.toUtf8())
            .replace("{secret}", device.sharedSecret.toUtf8())
            .replace("{name}", QString(text)
                                   .replace(QLatin1Char('\n'), QLatin1Char('_'))
                                   .replace(QLatin1Char('\t'), QLatin1Char('_'))
                                   .toUtf8())
            .replace("{len}", QByteArray::number(body.size()));
        const QJsonObject event = phone.events().first();
        QCOMPARE(SimPhone::head(event), head);
        QCOMPARE(SimPhone::body(event), body);
        QCOMPARE(outcomes.lines, expand(outcome, phone.port()));

        if (kind == QLatin1String("file")) {
            verifyProgress(outcomes.progress, fileSize);
            if (paired)
                QCOMPARE(readAll(event.value("file").toString()), body);
        }
        QVERIFY(outcomes.progress.isEmpty() || kind == QLatin1String("file"));
    }

    // How replies are read, whatever the status line says.
    void replyHandling_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("outcome");

        const QByteArray ok =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
        const QByteArray error = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
        const QString record = QStringLiteral("127.0.0.1|{port}|0|0|0|s");

        QTest::newRow("identity, error status") << "identity" << error + R"({"deviceId":"p-1","name":"Anna"})"
                                                << QStringList{"identity p-1|Anna||" + record};
        QTest::newRow("identity, no blank line") << "identity" << QByteArray(R"({"deviceId":"p-1"})")
                                                 << QStringList{"identity p-1|Pixel||" + record};
        QTest::newRow("identity, only a name")
            << "identity" << ok + R"({"name":"Anna"})" << QStringList{"identity |Anna||" + record};
        QTest::newRow("identity, array") << "identity" << ok + "[]" << QStringList();
        QTest::newRow("identity, closed without answer") << "identity" << QByteArray() << QStringList();

        const QString pairedRecord = QStringLiteral("127.0.0.1|{port}|1|0|0|");
        QTest::newRow("pairing, error status")
            << "pair" << error + R"({"deviceId":"p-1","name":"Anna","paired":true,"sharedSecret":"x"})"
            << QStringList{"paired p-1|Anna||" + pairedRecord + "x"};
        QTest::newRow("pairing, missing members")
            << "pair" << ok + R"({"paired":true})" << QStringList{"paired |Pixel||" + pairedRecord};
        QTest::newRow("pairing, paired as a string")
            << "pair" << ok + R"({"paired":"true"})" << QStringList{"pairingFailed Pairing fehlgeschlagen."};
        QTest::newRow("pairing, non-object")
            << "pair" << ok + "\"paired\"" << QStringList{"pairingFailed Ungueltige Antwort."};
        QTest::newRow("pairing, closed without answer")
            << "pair" << QByteArray() << QStringList{"pairingFailed Ungueltige Antwort."};
        QTest::newRow("pairing, header injection in the secret")
            << "pair" << ok + R"({"deviceId":"p","paired":true,"sharedSecret":"s\r\nX-Evil: 1"})"
            << QStringList{"pairingFailed Ungueltige Antwort."};

        QTest::newRow("message, error status")
            << "message" << error + R"({"received":true})" << QStringList();
        QTest::newRow("message, refused")
            << "message" << ok + R"({"received":false})"
            << QStringList{"log Nachricht fehlgeschlagen: Anfrage fehlgeschlagen."};
        QTest::newRow("message, non-object")
            << "message" << ok + "42" << QStringList{"log Nachricht fehlgeschlagen: Ungueltige Antwort."};

        QTest::newRow("file, error status")
            << "file" << error + R"({"received":true})" << QStringList{"finished 127.0.0.1|{port}|f.bin"};
        QTest::newRow("file, refused with reason")
            << "file" << ok + R"({"error":"Speicher voll"})"
            << QStringList{"log Dateiuebertragung fehlgeschlagen: Speicher voll"};
        QTest::newRow("file, closed without answer")
            << "file" << QByteArray()
            << QStringList{"log Dateiuebertragung fehlgeschlagen: Ungueltige Antwort."};

        // A reply may fill the cap exactly, not one byte more.
        const QByteArray prefix = ok + "{\"received\":true,\"pad\":\"";
        const QByteArray atCap = prefix + QByteArray(kMiB - prefix.size() - 2, 'x') + "\"}";
        QTest::newRow("reply of exactly the cap") << "message" << atCap << QStringList();
        QTest::newRow("reply one byte over the cap")
            << "message" << QByteArray(atCap).insert(prefix.size(), 'x')
            << QStringList{"log Nachricht fehlgeschlagen: Ungueltige Antwort."};
    }

    void replyHandling()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, outcome);
        FakePeer peer(FakePeer::Mode::Answer, reply);
        const QString file = m_dir.filePath("f.bin");
        QVERIFY(writeFile(file, 100));

        NetworkService service;
        Outcomes outcomes(service);
        startRequest(service, kind, fakeRecord(peer.port()), kind == QLatin1String("file") ? file : "x");
        QTRY_COMPARE(peer.finished(), 1);
        QVERIFY(outcomes.waitFor(int(outcome.size())));
        QCOMPARE(outcomes.lines, expand(outcome, peer.port()));
    }

    // A peer that streams without end is cut off at the cap, long before
    // any time-out would end it.
    void endlessReplyIsCut()
    {
        FakePeer peer(FakePeer::Mode::Endless, QByteArray(4096, 'x'));
        NetworkService service;
        Outcomes outcomes(service);
        QElapsedTimer timer;
        timer.start();
        service.sendMessage(fakeRecord(peer.port()), QStringLiteral("hi"));
        QVERIFY(outcomes.waitFor(1));
        QVERIFY2(timer.elapsed() < ClientLimits().replyIdleTimeoutMs / 2,
                 qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(outcomes.lines, QStringList{"log Nachricht fehlgeschlagen: Ungueltige Antwort."});
    }

    // Peers that cannot be reached, never answer or stop taking bytes: every
    // request ends, after its time-out, with the failure of its step.
    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<qint64>("fileSize");
        QTest::addColumn<QStringList>("outcome");
        QTest::addColumn<bool>("timedOut"); // the outcome needs the shortened time-out to pass

        const QStringList none;
        const QString invalidPairing = QStringLiteral("pairingFailed Ungueltige Antwort.");
        const QString invalidMessage = QStringLiteral("log Nachricht fehlgeschlagen: Ungueltige Antwort.");
        const QString invalidFile =
            QStringLiteral("log Dateiuebertragung fehlgeschlagen: Ungueltige Antwort.");

        QTest::newRow("identity, never answers") << "identity"
                                                 << "silent-fake" << 0LL << none << true;
        QTest::newRow("pairing, never answers") << "pair"
                                                << "silent" << 0LL << QStringList{invalidPairing} << true;
        QTest::newRow("message, never answers") << "message"
                                                << "silent" << 0LL << QStringList{invalidMessage} << true;
        QTest::newRow("file, never answers") << "file"
                                             << "silent" << 1000LL << QStringList{invalidFile} << true;
        QTest::newRow("file, phone stops reading")
            << "file"
            << "stall" << 32 * kMiB << QStringList{"log Senden abgebrochen."} << true;
        QTest::newRow("pairing, closes without answer")
            << "pair"
            << "close" << 0LL << QStringList{invalidPairing} << false;
        QTest::newRow("file, closes without answer")
            << "file"
            << "close" << 1000LL << QStringList{invalidFile} << false;
        QTest::newRow("identity, closes without answer") << "identity"
                                                         << "close" << 0LL << none << false;

        QTest::newRow("identity, connect unanswered") << "identity"
                                                      << "unanswered" << 0LL << none << true;
        QTest::newRow("pairing, connect unanswered")
            << "pair"
            << "unanswered" << 0LL << QStringList{"pairingFailed Verbindung fehlgeschlagen."} << true;
        QTest::newRow("message, connect unanswered")
            << "message"
            << "unanswered" << 0LL << QStringList{"log Verbindung fehlgeschlagen."} << true;
        QTest::newRow("file, connect unanswered")
            << "file"
            << "unanswered" << 10LL << QStringList{"log Datei-Verbindung fehlgeschlagen."} << true;
        QTest::newRow("pairing, refused")
            << "pair"
            << "refused" << 0LL << QStringList{"pairingFailed Verbindung fehlgeschlagen."} << false;
        QTest::newRow("file, refused")
            << "file"
            << "refused" << 10LL << QStringList{"log Datei-Verbindung fehlgeschlagen."} << false;

        QTest::newRow("identity, octet above 255") << "identity"
                                                   << "256.0.0.1" << 0LL << none << false;
        QTest::newRow("pairing, octet above 255")
            << "pair"
            << "256.0.0.1" << 0LL << QStringList{"pairingFailed Ungueltige IP-Adresse."} << false;
        QTest::newRow("pairing, empty address")
            << "pair"
            << "" << 0LL << QStringList{"pairingFailed Ungueltige IP-Adresse."} << false;
        QTest::newRow("message, bad address")
            << "message"
            << "127.0.0.1 " << 0LL << QStringList{"log Verbindung fehlgeschlagen."} << false;
        QTest::newRow("file, bad address")
            << "file"
            << "127.1" << 10LL << QStringList{"log Ungültige IP-Adresse."} << false;
        QTest::newRow("file, cannot be opened")
            << "file"
            << "missing-file" << 0LL << QStringList{"log Datei konnte nicht geöffnet werden."} << false;
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, peer);
        QFETCH(qint64, fileSize);
        QFETCH(QStringList, outcome);
        QFETCH(bool, timedOut);

        const QString localId = NetworkService::localDeviceId();
        std::unique_ptr<SimPhone> phone;
        std::unique_ptr<FakePeer> fake;
        std::unique_ptr<UnansweredPort> unanswered;
        RemoteDevice device = fakeRecord(0);
        device.sharedSecret = kPhoneSecret;
        if (peer == QLatin1String("silent") || peer == QLatin1String("stall") ||
            peer == QLatin1String("close")) {
            phone = std::make_unique<SimPhone>(QStringList{"--misbehave", peer, "--rcvbuf", "4096",
                                                           "--secret", kPhoneSecret, "--paired-device",
                                                           localId, "--upload-dir", m_dir.filePath("phone")});
            QVERIFY(phone->waitReady());
            device.port = phone->port();
        } else if (peer == QLatin1String("silent-fake")) {
            fake = std::make_unique<FakePeer>(FakePeer::Mode::Silent);
            device.port = fake->port();
        } else if (peer == QLatin1String("unanswered")) {
            unanswered = std::make_unique<UnansweredPort>();
            device.port = unanswered->port();
        } else if (peer == QLatin1String("refused")) {
            // A port that was just free: nothing listens there.
            device.port = sock::localPort(sock::tcpListen(0x7f000001, 0, 1, true));
        } else if (peer != QLatin1String("missing-file")) {
            device.ip = peer;
            device.port = 9;
        }
        QString file = m_dir.filePath("missing");
        if (kind == QLatin1String("file") && peer != QLatin1String("missing-file")) {
            file = m_dir.filePath("f.bin");
            QVERIFY(writeFile(file, fileSize));
        }

        NetworkService service;
        service.setClientLimits(shortLimits());
        Outcomes outcomes(service);
        QElapsedTimer timer;
        timer.start();
        startRequest(service, kind, device, kind == QLatin1String("file") ? file : QStringLiteral("x"));
        if (fake) {
            // Nothing is reported, but the silent peer is let go of in time.
            QTRY_VERIFY_WITH_TIMEOUT(fake->accepted() == 1 && fake->allClosedByClient(), 5000);
        }
        QVERIFY(outcomes.waitFor(int(outcome.size()), 10000, timedOut ? 1000 : 300));
        QCOMPARE(outcomes.lines, outcome);
        if (timedOut && (!outcome.isEmpty() || fake))
            QVERIFY2(timer.elapsed() >= shortLimits().replyIdleTimeoutMs - 50,
                     qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

    // A phone that resets mid-body ends the transfer with the send failure,
    // never with a finished signal.
    void phoneResetsMidBody()
    {
        SimPhone phone({"--misbehave", "reset", "--reset-after", "100000", "--rcvbuf", "16384", "--secret",
                        kPhoneSecret, "--paired-device", NetworkService::localDeviceId(), "--upload-dir",
                        m_dir.filePath("phone")});
        QVERIFY(phone.waitReady());
        RemoteDevice device = phone.device();
        device.sharedSecret = kPhoneSecret;
        const QString file = m_dir.filePath("big.bin");
        QVERIFY(writeFile(file, 16 * kMiB));

        NetworkService service;
        Outcomes outcomes(service);
        service.sendFile(device, file);
        QVERIFY(outcomes.waitFor(1));
        QCOMPARE(outcomes.lines, QStringList{"log Senden abgebrochen."});
        QVERIFY(phone.waitForEvents(1));
        QCOMPARE(phone.events().first().value("outcome").toString(), QStringLiteral("reset"));
        for (qsizetype i = 1; i < outcomes.progress.size(); ++i)
            QVERIFY(outcomes.progress[i].sentBytes > outcomes.progress[i - 1].sentBytes);
        QVERIFY(outcomes.progress.isEmpty() || outcomes.progress.last().percent < 100);
    }

    // A phone that reads slowly: the transfer completes, progress only
    // rises, and no speed is claimed during the first 300 ms.
    void phoneReadsSlowly()
    {
        const qint64 rate = 4 * kMiB;
        SimPhone phone({"--misbehave", "slow-read", "--slow-rate", QString::number(rate), "--rcvbuf", "16384",
                        "--secret", kPhoneSecret, "--paired-device", NetworkService::localDeviceId(),
                        "--upload-dir", m_dir.filePath("phone")});
        QVERIFY(phone.waitReady());
        RemoteDevice device = phone.device();
        device.sharedSecret = kPhoneSecret;
        const qint64 size = 6 * kMiB;
        const QString file = m_dir.filePath("slow.bin");
        QVERIFY(writeFile(file, size));

        NetworkService service;
        Outcomes outcomes(service);
        const qint64 startedAt = outcomes.clock.elapsed();
        service.sendFile(device, file);
        QVERIFY(outcomes.waitFor(1, 20000));
        QCOMPARE(outcomes.lines,
                 QStringList{QStringLiteral("finished 127.0.0.1|%1|slow.bin").arg(phone.port())});
        verifyProgress(outcomes.progress, size);
        bool sawSpeed = false;
        for (const Progress &p : outcomes.progress) {
            if (p.receivedAtMs - startedAt <= 300)
                QCOMPARE(p.speed, 0.0);
            sawSpeed = sawSpeed || p.speed > 0.0;
            // An average of what the socket took: never far above what the
            // buffers and the phone's rate allow.
            QVERIFY2(p.speed < 64.0, qPrintable(QString::number(p.speed)));
        }
        QVERIFY(sawSpeed);
        QVERIFY(phone.waitForEvents(1));
        QCOMPARE(readAll(phone.events().first().value("file").toString()), readAll(file));
    }

    // A file that changes under a running transfer: one that shrinks ends it
    // at once (the phone must not wait for bytes that never come); one that
    // grows is sent with the length its head announced.
    void fileChangesWhileSending_data()
    {
        QTest::addColumn<qint64>("newSize");
        QTest::addColumn<QStringList>("outcome");
        QTest::addColumn<bool>("complete");
        QTest::newRow("shrinks") << 1 * kMiB << QStringList{"log Senden abgebrochen."} << false;
        QTest::newRow("grows") << 40 * kMiB << QStringList{"finished 127.0.0.1|{port}|changing.bin"} << true;
    }

    void fileChangesWhileSending()
    {
        QFETCH(qint64, newSize);
        QFETCH(QStringList, outcome);
        QFETCH(bool, complete);
        const qint64 size = 32 * kMiB;
        FakePeer peer(FakePeer::Mode::HoldBody, "HTTP/1.1 200 OK\r\n\r\n{\"received\":true}", 16384);
        const QString path = m_dir.filePath("changing.bin");
        QVERIFY(writeFile(path, size));

        NetworkService service;
        Outcomes outcomes(service);
        service.sendFile(fakeRecord(peer.port()), path);
        QTRY_COMPARE(peer.accepted(), 1);
        // Let the sender fill the buffers and block.
        QTest::qWait(300);
        QFile file(path);
        QVERIFY(file.resize(newSize));
        peer.release();

        QVERIFY(outcomes.waitFor(1, 20000));
        QCOMPARE(outcomes.lines, expand(outcome, peer.port()));
        QTRY_COMPARE(peer.finished(), 1);
        QCOMPARE(peer.endedEarly(), !complete);
        if (complete)
            QCOMPARE(peer.bodyBytes(), size);
        else
            QVERIFY(peer.bodyBytes() < size);
        QVERIFY(peer.requests().first().contains("\r\nContent-Length: 33554432\r\n"));
    }

    // Destroying the service while lookups, a pairing, a message and a file
    // transfer hang on a silent peer (and one connect goes unanswered) ends
    // every request thread within 2 s, and none of them reports afterwards.
    void destroyWithRequestsInFlight()
    {
        FakePeer silent(FakePeer::Mode::Silent, QByteArray(), 4096);
        UnansweredPort unanswered;
        const QString file = m_dir.filePath("inflight.bin");
        QVERIFY(writeFile(file, 32 * kMiB));

        auto *service = new NetworkService;
        Outcomes outcomes(*service);
        const RemoteDevice device = fakeRecord(silent.port());
        for (int i = 0; i < 5; ++i)
            service->resolveIdentity(device);
        service->pairDevice(device, QStringLiteral("1234"));
        service->sendMessage(device, QStringLiteral("hallo"));
        service->sendFile(device, file);
        service->resolveIdentity(fakeRecord(unanswered.port()));
        QTRY_COMPARE(silent.accepted(), 8);
        QTest::qWait(300);

        QElapsedTimer timer;
        timer.start();
        delete service;
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(silent.allClosedByClient(), 2000);
        QTest::qWait(100);
        QCOMPARE(outcomes.lines, QStringList());
    }
};

QTEST_GUILESS_MAIN(PeerClientTest)
#include "tst_peer_client.moc"
