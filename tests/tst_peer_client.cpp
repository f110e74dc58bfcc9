// Requests to phones, each answered by the test itself playing the phone on
// loopback while the client works on its own threads: the exact bytes sent,
// how answers are read, and that every wait is bounded.
#include "http_wire.h"
#include "identity_throttle.h"
#include "network_service.h"
#include "peer_client.h"
#include "settings_store.h"
#include "test_support.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <numeric>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using namespace Qt::StringLiterals;
// Plays the phone on one accepted connection; returns the request it read.
using Script = std::function<QByteArray(sock::Socket &)>;
Q_DECLARE_METATYPE(Script)

namespace {
constexpr qint64 kBig = 32 * 1024 * 1024; // more than the socket buffers hold
// A period that no chunk or page size divides, so a misplaced piece shows.
const QByteArray kContent = [] {
    QByteArray unit(251, Qt::Uninitialized);
    std::iota(unit.begin(), unit.end(), char(0));
    return unit.repeated(kBig / unit.size() + 1).left(kBig);
}();
const QByteArray kIdentityAnswer = "HTTP/1.1 200 OK\r\n\r\n{\"deviceId\":\"p-1\",\"name\":\"Anna\"}";
// The head and as much body as it announces (at most bodyLimit), or less
// when the client closes first.
QByteArray readRequest(const sock::Socket &s, qint64 bodyLimit = kBig)
{
    httpwire::HeadReader reader;
    QByteArray buffer(65536, Qt::Uninitialized);
    long n = 0;
    while (reader.state() == httpwire::HeadReader::State::Incomplete &&
           (n = sock::receive(s, buffer.data(), buffer.size())) > 0)
        reader.feed(buffer.constData(), n);
    QByteArray body = reader.remainder();
    const qint64 length =
        qMin(bodyLimit, httpwire::headerValue(reader.head(), "Content-Length").toLongLong());
    while (body.size() < length && (n = sock::receive(s, buffer.data(), buffer.size())) > 0)
        body.append(buffer.constData(), n);
    return reader.head() + "\r\n\r\n" + body;
}
} // namespace

class PeerClientTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString m_file = m_dir.filePath(u"a\r\nX-Evil: 1.txt"_s); // a name that tries to add a header
    std::optional<PeerClient> m_client;
    QStringList m_lines; // every outcome, in the order the window sees them
    QList<int> m_percents;

    void start(const QString &kind, int port, const QString &ip = u"127.0.0.1"_s)
    {
        const RemoteDevice d{{}, {}, {}, ip, port, false, 0, u"se\ncret"_s};
        if (kind == "identity")
            m_client->resolveIdentity(d);
        else if (kind == "pair")
            m_client->pairDevice(d, u"Zäh 42"_s);
        else if (kind == "message")
            m_client->sendMessage(d, u"Grüße ✓"_s);
        else
            m_client->sendFile(d, m_file);
    }

private slots:
    void init()
    {
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(kContent) == kBig);
        file.close();
        m_lines.clear();
        m_percents.clear();
        PeerClient *client = &m_client.emplace();
        client->setLimits({.connectTimeoutMs = 400, .replyIdleTimeoutMs = 3000, .sendStallTimeoutMs = 1500});
        client->setAddressPolicy(sock::PeerAddressPolicy::LoopbackAllowed); // the phones here
        connect(client, &PeerClient::logMessage, this, [this](const QString &t) { m_lines << "log " + t; });
        connect(client, &PeerClient::pairingFailed, this,
                [this](const QString &t) { m_lines << "unpaired " + t; });
        connect(client, &PeerClient::pairingSucceeded, this,
                [this](const auto &d) { m_lines << "paired " + d.id + '|' + d.name + '|' + d.sharedSecret; });
        connect(client, &PeerClient::deviceIdentityResolved, this,
                [this](const RemoteDevice &d) { m_lines << "identity " + d.id + '|' + d.name; });
        connect(client, &PeerClient::fileTransferFinished, this,
                [this](const QString &, int, const QString &name) { m_lines << "finished " + name; });
        connect(client, &PeerClient::fileTransferProgress, this, [this](int p) { m_percents << p; });
        connect(client, &PeerClient::messageSent, this, [this] { m_lines << "sent"; });
        const auto failed = [this](const QString &reason) { m_lines << "failed " + reason; };
        connect(client, &PeerClient::messageFailed, this,
                [failed](auto, auto, const QString &r) { failed(r); });
        connect(client, &PeerClient::fileTransferFailed, this,
                [failed](auto, auto, auto, const QString &r) { failed(r); });
    }

    // The exact request of each kind and what comes of the answer; and phones
    // that cannot be reached, fall silent, stop reading, flood, close
    // mid-send, or whose file shrinks under the transfer: each such request
    // ends with the failure of its step, long before the program's own
    // time-outs.
    void exchanges_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<Script>("phone"); // none: the listener's backlog is full, no connect is answered
        QTest::addColumn<QByteArray>("request"); // {id}: this computer's id; empty: not checked
        QTest::addColumn<QString>("outcome");    // empty: none
        const auto answer = [](const QByteArray &body) {
            return Script([body](sock::Socket &s) {
                const QByteArray request = readRequest(s);
                sendAll(s, "HTTP/1.1 200 OK\r\n\r\n" + body);
                s.close();
                return request;
            });
        };
        const Script silent = [](sock::Socket &) { return QByteArray(); };
        // A failed send is logged and reported as its outcome, in the same words.
        const auto failed = [](const QString &reason) { return "log " + reason + "\nfailed " + reason; };
        const QString noAnswer = failed(u"Nachricht fehlgeschlagen: Ungueltige Antwort."_s);
        QTest::newRow("identity")
            << u"identity"_s << answer(R"({"deviceId":"p-1","name":"Anna"})")
            << "GET /identity HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"_ba
            << u"identity p-1|Anna"_s;
        QTest::newRow("paired")
            << u"pair"_s << answer(R"({"deviceId":"p-1","name":"Anna","paired":true,"sharedSecret":"s"})")
            << "POST /pair HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               "Content-Length: 104\r\nConnection: close\r\n\r\n"
               "{\"code\":\"Zäh 42\",\"deviceId\":\"{id}\",\"name\":\"Windows KAVELTOR Companion\"}"_ba
            << u"paired p-1|Anna|s"_s;
        QTest::newRow("refused") << u"pair"_s << answer(R"({"error":"Falscher Code.","paired":false})")
                                 << QByteArray() << u"unpaired Falscher Code."_s;
        QTest::newRow("no JSON") << u"pair"_s << answer("<html>") << QByteArray()
                                 << u"unpaired Ungueltige Antwort."_s;
        QTest::newRow("message")
            << u"message"_s << answer(R"({"received":true})")
            << "POST /message HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
               "Content-Length: 11\r\nX-KAVELTORLink-DeviceId: {id}\r\nX-KAVELTORLink-Secret: se_cret\r\n"
               "Connection: close\r\n\r\nGrüße ✓"_ba
            << u"sent"_s;
        QTest::newRow("file")
            << u"file"_s << answer(R"({"received":true})")
            << "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
               "X-Filename: a__X-Evil: 1.txt\r\nX-KAVELTORLink-DeviceId: {id}\r\n"
               "X-KAVELTORLink-Secret: se_cret\r\nContent-Length: 33554432\r\nConnection: close\r\n\r\n"_ba +
                   kContent
            << u"finished a\r\nX-Evil: 1.txt"_s;
        QTest::newRow("connect unanswered")
            << u"message"_s << Script() << QByteArray() << failed(u"Verbindung fehlgeschlagen."_s);
        QTest::newRow("no answer") << u"message"_s << silent << QByteArray() << noAnswer;
        QTest::newRow("stops reading")
            << u"file"_s << silent << QByteArray() << failed(u"Senden abgebrochen."_s);
        QTest::newRow("answer over the cap")
            << u"message"_s << answer("{\"received\":true,\"pad\":\"" + QByteArray(1 << 20, 'x') + "\"}")
            << QByteArray() << noAnswer;
        // Says goodbye, then resets: the next send must not raise SIGPIPE.
        QTest::newRow("closes mid-send") << u"file"_s << Script([](sock::Socket &s) {
            readRequest(s, 100000);
            sock::shutdownSend(s);
            s.close();
            return QByteArray();
        }) << QByteArray() << failed(u"Senden abgebrochen."_s);
        QTest::newRow("file shrinks") << u"file"_s << Script([file = m_file](sock::Socket &s) {
            QFile::resize(file, 1024 * 1024);
            return readRequest(s);
        }) << QByteArray() << failed(u"Senden abgebrochen."_s);
    }

    void exchanges()
    {
        QFETCH(QString, kind);
        QFETCH(Script, phone);
        QFETCH(QByteArray, request);
        QFETCH(QString, outcome);
        const sock::Socket listener = sock::tcpListen(0x7f000001, 0, phone ? 8 : 0, true);
        sock::Socket filler, accepted; // without a phone, filler takes the one place in the backlog
        sock::tcpConnectBegin(0x7f000001, phone ? 0 : sock::localPort(listener), &filler);
        const QDeadlineTimer deadline(5000);
        start(kind, sock::localPort(listener));
        QByteArray received;
        if (phone && sock::waitReadable(listener, 3000) == sock::Readiness::Ready)
            received = phone(accepted = sock::tcpAccept(listener, nullptr));
        QTest::qWait(200); // for a wrong outcome too
        QTRY_COMPARE_WITH_TIMEOUT(m_lines.join(u'\n'), outcome, 10000);
        QVERIFY(!deadline.hasExpired());
        QCOMPARE(request.isEmpty() ? request : received, request.replace("{id}", localDeviceId().toUtf8()));
        QVERIFY(!outcome.startsWith("finished") || (m_percents.size() == 101 && m_percents.last() == 100));
        QVERIFY(std::is_sorted(m_percents.begin(), m_percents.end()));
    }

    // Addresses that are no phone's, each of which this computer would reach
    // itself (the listener takes every address here), are never contacted;
    // lookups end silently, the user's requests say why.
    void refusedAddresses_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<int>("portOffset");
        QTest::addColumn<bool>("loopback"); // allowed
        QTest::addColumn<QString>("outcome");
        const auto failed = [](const QString &reason) { return "log " + reason + "\nfailed " + reason; };
        const auto row = [](const char *title, const char *kind, const char *ip, bool loopback,
                            const QString &outcome, int portOffset = 0) {
            QTest::newRow(title) << kind << ip << portOffset << loopback << outcome;
        };
        row("0.0.0.0", "message", "0.0.0.0", true, failed(u"Adresse nicht erlaubt: 0.0.0.0"_s));
        row("loopback", "file", "127.0.0.2", false, failed(u"Adresse nicht erlaubt: 127.0.0.2"_s));
        row("loopback, lookup", "identity", "127.0.0.2", false, {});
        row("loopback allowed", "identity", "127.0.0.2", true, u"identity p-1|Anna"_s);
        row("multicast", "pair", "224.0.0.251", true, u"unpaired Adresse nicht erlaubt: 224.0.0.251"_s);
        row("own address", "message", "198.51.100.77", true,
            failed(u"Adresse nicht erlaubt: 198.51.100.77"_s));
        row("port beyond 16 bits", "message", "127.0.0.1", true, failed(u"Verbindung fehlgeschlagen."_s),
            65536);
    }

    void refusedAddresses()
    {
        QFETCH(QString, kind);
        QFETCH(QString, ip);
        QFETCH(int, portOffset);
        QFETCH(bool, loopback);
        QFETCH(QString, outcome);
        if (ip == "198.51.100.77" &&
            QProcess::execute("ip", {"addr", "replace", ip + "/24", "dev", "lo"}) != 0)
            QSKIP("cannot give this computer an address here");
        m_client->setAddressPolicy(loopback ? sock::PeerAddressPolicy::LoopbackAllowed
                                            : sock::PeerAddressPolicy::OtherHostsOnly);
        const sock::Socket listener = sock::tcpListen(0, 0, 8, true);
        start(kind, sock::localPort(listener) + portOffset, ip);
        if (sock::waitReadable(listener, 500) == sock::Readiness::Ready) {
            const sock::Socket s = sock::tcpAccept(listener, nullptr);
            readRequest(s);
            sendAll(s, kIdentityAnswer);
        }
        QTest::qWait(200); // for a wrong outcome too
        QTRY_COMPARE(m_lines.join(u'\n'), outcome);
    }

    // Strangers announcing 300 phones at ports that accept and never answer
    // cost a few threads and sockets, not one each; a phone that answers
    // still gets its turn.
    void lookupsShareFewThreads()
    {
        const auto count = [](const char *dir) { return int(QDir(dir).count()); };
        std::vector<sock::Socket> silent;
        for (int i = 0; i < 3; ++i)
            silent.push_back(sock::tcpListen(0, 0, 64, true));
        const sock::Socket live = sock::tcpListen(0x7f000001, 0, 8, true);
        const int threads = count("/proc/self/task"), descriptors = count("/proc/self/fd");
        const RemoteDevice phone{{}, {}, {}, u"127.0.0.1"_s, sock::localPort(live), false, 0, {}};
        for (int i = 0; i < 300; ++i) {
            if (i == 8)
                m_client->resolveIdentity(phone);
            const int port = sock::localPort(silent[std::size_t(i % 3)]);
            m_client->resolveIdentity({{}, {}, {}, u"127.0.0.%1"_s.arg(2 + i / 3), port, false, 0, {}});
        }
        QTest::qWait(300);
        const int moreThreads = count("/proc/self/task") - threads;
        const int moreDescriptors = count("/proc/self/fd") - descriptors;
        QVERIFY2(moreThreads <= 12 && moreDescriptors <= 12,
                 qPrintable(u"%1 threads, %2 descriptors more"_s.arg(moreThreads).arg(moreDescriptors)));
        QCOMPARE(sock::waitReadable(live, 10000), sock::Readiness::Ready);
        sock::Socket s = sock::tcpAccept(live, nullptr);
        readRequest(s);
        sendAll(s, kIdentityAnswer);
        s.close();
        QTRY_COMPARE(m_lines, QStringList{u"identity p-1|Anna"_s});
    }

    // Which lookups are made, in the order offered: a repeat within the
    // minute is not, nor one beyond the waiting room (which may come again).
    void identityThrottle()
    {
        using Offers = QList<std::tuple<int, int, int>>; // port, ms, lookups waiting
        const std::tuple<const char *, Offers, QString> rows[] = {
            {"repeat within the minute", {{1, 0, 0}, {1, 59999, 0}, {2, 59999, 0}}, "ARA"},
            {"again after a minute", {{1, 0, 0}, {1, 60000, 0}}, "AA"},
            {"no room, then room", {{1, 0, 64}, {1, 1, 63}}, "BA"},
            {"repeat even without room", {{1, 0, 0}, {1, 1, 64}}, "AR"},
        };
        for (const auto &[title, offers, expected] : rows) {
            IdentityThrottle throttle;
            QString got;
            for (const auto &[port, ms, waiting] : offers)
                got += "ARB"[int(throttle.admit(1, std::uint16_t(port), ms, std::size_t(waiting)))];
            QVERIFY2(got == expected, title);
        }
        // A flood that outpaces the minute: memory stays bounded, the oldest goes first.
        IdentityThrottle throttle;
        const int many = int(protocol::kMaxRememberedIdentityLookups) + 1;
        for (int port = 1; port <= many; ++port)
            throttle.admit(1, std::uint16_t(port), 0, 0);
        QCOMPARE(throttle.remembered(), protocol::kMaxRememberedIdentityLookups);
        QCOMPARE(throttle.admit(1, std::uint16_t(many), 0, 0), IdentityThrottle::Verdict::Repeat);
        QCOMPARE(throttle.admit(1, 1, 0, 0), IdentityThrottle::Verdict::Ask);
    }

    // stop() ends requests hanging on a silent phone at once, and none of
    // them reports anything afterwards.
    void stopEndsRequestsSilently()
    {
        m_client->setLimits(ClientLimits());
        const sock::Socket listener = sock::tcpListen(0x7f000001, 0, 8, true);
        for (const char *kind : {"identity", "pair", "message", "file"})
            start(kind, sock::localPort(listener));
        QTest::qWait(300);
        const QDeadlineTimer deadline(1000);
        m_client->stop();
        QVERIFY(!deadline.hasExpired());
        QTest::qWait(200);
        QCOMPARE(m_lines, QStringList());
    }

    // Hundreds of files dropped at once go to the phone two at a time, start
    // in the order they came, and all arrive.
    void manyFilesTakeTurns()
    {
        constexpr int kFiles = 300;
        const sock::Socket listener = sock::tcpListen(0x7f000001, 0, 16, true);
        const RemoteDevice d{{}, {}, {}, u"127.0.0.1"_s, sock::localPort(listener), true, 0, u"s"_s};
        QStringList sent, arrived;
        for (int i = 0; i < kFiles; ++i) {
            QFile file(m_dir.filePath(sent.emplace_back(u"f%1"_s.arg(i, 3, 10, QChar(u'0')))));
            QVERIFY(file.open(QIODevice::WriteOnly));
            m_client->sendFile(d, file.fileName());
        }
        while (arrived.size() < kFiles) { // holding both of a turn, so that a third would show
            std::vector<sock::Socket> turn(2);
            QStringList names;
            for (sock::Socket &s : turn) {
                QCOMPARE(sock::waitReadable(listener, 3000), sock::Readiness::Ready);
                names << httpwire::headerValue(readRequest(s = sock::tcpAccept(listener, nullptr)),
                                               "X-Filename");
            }
            QCOMPARE(sock::waitReadable(listener, 10), sock::Readiness::Timeout);
            for (const sock::Socket &s : turn)
                sendAll(s, "HTTP/1.1 200 OK\r\n\r\n{\"received\":true}");
            names.sort();
            arrived << names;
        }
        QCOMPARE(arrived, sent);
        QTRY_COMPARE(m_lines.filter(u"finished"_s).size(), kFiles);
        QCOMPARE(m_lines.size(), kFiles);
    }

    // Quitting while a send cannot even open its file (a FIFO nobody writes
    // to, as a file on a stalled mount) and an upload is syncing to slow
    // storage waits once for both, not once per service, and leaves them
    // behind; they end later touching nothing of the service. Every report
    // reached the service's own thread, none a worker's.
    void quitLeavesStuckWorkBehind()
    {
        static constexpr int kStuckMs = WorkerPool::kStopWaitMs + 1000;
        const QByteArray fifo = QFile::encodeName(m_dir.filePath(u"fifo"_s));
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
        auto network = std::make_unique<NetworkService>();
        ServerLimits slow;
        slow.fileSystem.sync = [](QFile &file) {
            QThread::msleep(kStuckMs);
            return filestore::syncToStorage(file);
        };
        network->setServerLimits(slow);
        network->setReceiveFolder(m_dir.path());
        network->setPairedDevices({{u"p-1"_s, {}, {}, {}, 0, true, 0, u"s"_s}});
        network->setAddressPolicy(sock::PeerAddressPolicy::LoopbackAllowed);
        QList<bool> onOwnThread; // per report
        connect(&*network, &NetworkService::fileReceiveProgress,
                [&] { onOwnThread << (QThread::currentThread() == thread()); });
        network->start();
        QTRY_VERIFY(network->listeningPort() != 0);
        network->sendFile({{}, {}, {}, u"127.0.0.1"_s, 1, true, 0, u"s"_s}, QFile::decodeName(fifo));
        QVERIFY(
            sendAll(connectFrom(0, network->listeningPort()),
                    "POST /upload HTTP/1.1\r\nX-KAVELTORLink-DeviceId: p-1\r\nX-KAVELTORLink-Secret: s\r\n"
                    "X-Filename: slow.txt\r\nContent-Length: 2\r\n\r\nhi"));
        QTRY_VERIFY(!onOwnThread.isEmpty()); // all of it received: syncing now
        std::thread writer([&fifo] {         // fails instead of blocking when no send waits for it
            QThread::msleep(kStuckMs);
            ::close(::open(fifo.constData(), O_WRONLY | O_NONBLOCK));
        });
        QElapsedTimer clock;
        clock.start();
        network.reset();
        const qint64 took = clock.elapsed();
        writer.join();
        QVERIFY2(took < WorkerPool::kStopWaitMs + 500, qPrintable(QString::number(took)));
        QVERIFY(WorkerPool::leftJobsBehind());
        QVERIFY(!onOwnThread.contains(false));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_dir.filePath(u"slow.txt"_s)), kStuckMs);
        QTest::qWait(300); // for the send to end
    }
};

QTEST_GUILESS_MAIN(PeerClientTest)
#include "tst_peer_client.moc"
