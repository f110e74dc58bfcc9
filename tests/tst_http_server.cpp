#include "http_wire.h"
#include "network_service.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sys/socket.h>

using namespace testsupport;

namespace {
const QByteArray kUnknownRoute = "{\"error\":\"unknown route\"}";
constexpr std::uint16_t kPort = NetworkService::kHttpPort;

// Starts a service and waits until its server listens (or failed to bind).
struct RunningService
{
    NetworkService service;
    LogRecorder log;

    explicit RunningService(const ServerLimits &limits = ServerLimits())
    {
        service.setServerLimits(limits);
        QObject::connect(&service, &NetworkService::logMessage, &log,
                         [this](const QString &line) { log.lines.append(line); });
        service.start();
    }
    bool waitForServer()
    {
        (void)QTest::qWaitFor(
            [this] {
                return log.contains(QStringLiteral("HTTP Server aktiv auf Port 53319.")) ||
                       log.contains(QStringLiteral("HTTP bind fehlgeschlagen."));
            },
            5000);
        return log.contains(QStringLiteral("HTTP Server aktiv auf Port 53319."));
    }
};

QByteArray bodyOf(const QByteArray &response)
{
    return httpwire::replyBody(response);
}

// A well-formed response: the one status line, an exact Content-Length and
// Connection: close.
bool wellFormed(const QByteArray &response)
{
    const qsizetype end = response.indexOf("\r\n\r\n");
    if (end < 0 || !response.startsWith("HTTP/1.1 200 OK\r\n"))
        return false;
    const QByteArray head = response.left(end);
    return httpwire::headerValue(head, "Connection") == QLatin1String("close") &&
           httpwire::headerValue(head, "Content-Type") == QLatin1String("application/json") &&
           httpwire::headerValue(head, "Content-Length").toLongLong() == response.size() - end - 4;
}
} // namespace

class HttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    void routes_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QByteArray>("expected"); // empty: the identity object

        QTest::newRow("identity without headers") << QList<QByteArray>{"GET /identity HTTP/1.1\r\n\r\n"}
                                                  << QByteArray();
        QByteArray request = "GET /identity HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        QList<QByteArray> bytes;
        for (char c : request)
            bytes.append(QByteArray(1, c));
        QTest::newRow("one byte per segment") << bytes << QByteArray();
        QTest::newRow("terminator split across reads")
            << QList<QByteArray>{"GET /identity HTTP/1.1\r\nHost: a\r\n\r", "\n"} << QByteArray();
        QTest::newRow("longer path served as the route")
            << QList<QByteArray>{"GET /identityfoo HTTP/1.1\r\n\r\n"} << QByteArray();
        QTest::newRow("lower-case method") << QList<QByteArray>{"get /identity HTTP/1.1\r\n\r\n"} << kUnknownRoute;
        QTest::newRow("pairing is not served here")
            << QList<QByteArray>{"POST /pair HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"} << kUnknownRoute;
        QTest::newRow("unknown path") << QList<QByteArray>{"GET / HTTP/1.1\r\n\r\n"} << kUnknownRoute;
        QTest::newRow("message without credentials")
            << QList<QByteArray>{"POST /message HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi"}
            << QByteArray("{\"error\":\"unauthorized\"}");
        QTest::newRow("head of nearly the largest size")
            << QList<QByteArray>{"GET /identity HTTP/1.1\r\nX-Pad: " + QByteArray(60000, 'p') + "\r\n\r\n"}
            << QByteArray();
    }

    void routes()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, expected);
        RunningService running;
        QVERIFY(running.waitForServer());

        const QByteArray response = exchange(kPort, pieces, pieces.size() > 1 ? 2 : 0);
        QVERIFY2(wellFormed(response), response.constData());
        if (!expected.isEmpty()) {
            QCOMPARE(bodyOf(response), expected);
            return;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(bodyOf(response));
        QVERIFY(doc.isObject());
        QCOMPARE(doc.object().keys(), (QStringList{"deviceId", "name"}));
        QCOMPARE(doc.object().value("deviceId").toString(), NetworkService::localDeviceId());
        QCOMPARE(bodyOf(response), "{\"deviceId\":\"" + NetworkService::localDeviceId().toUtf8() +
                                       "\",\"name\":\"Windows KAVELTOR Companion\"}");
    }

    // A peer that goes away before the blank line, or sends nothing but the
    // blank line, gets no bytes at all.
    void noAnswerWithoutHead_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("closed mid-head") << QByteArray("GET /identity HTTP/1.1\r\nHost: x\r\n");
        QTest::newRow("nothing sent") << QByteArray();
        QTest::newRow("only the terminator") << QByteArray("\r\n\r\n");
    }

    void noAnswerWithoutHead()
    {
        QFETCH(QByteArray, sent);
        RunningService running;
        QVERIFY(running.waitForServer());
        sock::Socket s = connectFrom(0, kPort);
        QVERIFY(s.valid());
        sendAll(s, sent);
        ::shutdown(s.handle(), SHUT_WR);
        bool closed = false;
        QCOMPARE(readUntilClosed(s, 5000, &closed), QByteArray());
        QVERIFY(closed);
    }

    void oversizedHeadIsDropped()
    {
        RunningService running;
        QVERIFY(running.waitForServer());
        sock::Socket s = connectFrom(0, kPort);
        QVERIFY(s.valid());
        // Never ends its head: the server must give up at the cap, not read on.
        const QByteArray flood = "GET /identity HTTP/1.1\r\nX-Pad: " + QByteArray(httpwire::kMaxHeadBytes, 'x');
        sendAll(s, flood);
        bool closed = false;
        QCOMPARE(readUntilClosed(s, 5000, &closed), QByteArray());
        QVERIFY(closed);
    }

    void slowHeadTimesOut()
    {
        ServerLimits limits;
        limits.headTimeoutMs = 600;
        RunningService running(limits);
        QVERIFY(running.waitForServer());
        sock::Socket s = connectFrom(0, kPort);
        QVERIFY(s.valid());
        QElapsedTimer timer;
        timer.start();
        // Trickling bytes does not extend the time-out: it covers the whole head.
        // Trickling for 3 s would keep a per-byte timer alive past the bound below.
        for (int i = 0; i < 30; ++i) {
            if (!sendAll(s, "G"))
                break;
            QThread::msleep(100);
        }
        bool closed = false;
        QCOMPARE(readUntilClosed(s, 5000, &closed), QByteArray());
        QVERIFY(closed);
        QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    }

    // One address that holds its cap of idle connections neither gets more
    // nor keeps others from being served.
    void perAddressCap()
    {
        RunningService running;
        QVERIFY(running.waitForServer());
        const std::uint32_t greedy = ipv4("127.0.0.1");
        std::vector<sock::Socket> idle;
        for (int i = 0; i < ServerLimits().maxConnectionsPerAddress; ++i) {
            idle.push_back(connectFrom(greedy, kPort));
            QVERIFY(idle.back().valid());
            sendAll(idle.back(), "GET /iden");
        }
        // Once the server has taken all of them in, one more is closed at once.
        QTest::qWait(300);
        sock::Socket extra = connectFrom(greedy, kPort);
        QVERIFY(extra.valid());
        sendAll(extra, "GET /identity HTTP/1.1\r\n\r\n");
        bool closed = false;
        QCOMPARE(readUntilClosed(extra, 3000, &closed), QByteArray());
        QVERIFY(closed);

        const QByteArray other = exchange(kPort, {"GET /identity HTTP/1.1\r\n\r\n"}, 0, ipv4("127.0.0.2"));
        QVERIFY2(wellFormed(other), other.constData());
        QVERIFY(bodyOf(other).contains("deviceId"));

        // Places are given back when connections end.
        idle.clear();
        QTRY_VERIFY_WITH_TIMEOUT(
            wellFormed(exchange(kPort, {"GET /identity HTTP/1.1\r\n\r\n"}, 0, greedy)), 5000);
    }

    void totalCap()
    {
        ServerLimits limits;
        limits.maxConnections = 4;
        RunningService running(limits);
        QVERIFY(running.waitForServer());
        std::vector<sock::Socket> idle;
        for (int i = 0; i < limits.maxConnections; ++i) {
            idle.push_back(connectFrom(ipv4("127.0.0.1") + std::uint32_t(i), kPort));
            QVERIFY(idle.back().valid());
        }
        QTest::qWait(300);
        sock::Socket extra = connectFrom(ipv4("127.0.0.9"), kPort);
        sendAll(extra, "GET /identity HTTP/1.1\r\n\r\n");
        bool closed = false;
        QCOMPARE(readUntilClosed(extra, 3000, &closed), QByteArray());
        QVERIFY(closed);
    }

    // Answering a peer that has already reset its connection must not kill
    // the process with SIGPIPE.
    void peerResetBeforeAnswer()
    {
        RunningService running;
        QVERIFY(running.waitForServer());
        for (int i = 0; i < 20; ++i) {
            sock::Socket s = connectFrom(0, kPort);
            QVERIFY(s.valid());
            sendAll(s, "GET /identity HTTP/1.1\r\n\r\n");
            linger hard{1, 0};
            ::setsockopt(s.handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            s.close(); // RST
        }
        QTest::qWait(200);
        QVERIFY(wellFormed(exchange(kPort, {"GET /identity HTTP/1.1\r\n\r\n"})));
    }

    // A restart while the old port is in TIME_WAIT binds again; a second copy
    // running at the same time does not.
    void rebindAfterRestartButNotTwice()
    {
        {
            RunningService first;
            QVERIFY(first.waitForServer());
            // The server closes first, so its side of this connection lingers in TIME_WAIT.
            QVERIFY(wellFormed(exchange(kPort, {"GET /identity HTTP/1.1\r\n\r\n"})));
        }
        RunningService restarted;
        QVERIFY(restarted.waitForServer());

        RunningService second;
        QVERIFY(!second.waitForServer());
        QVERIFY(second.log.contains(QStringLiteral("HTTP bind fehlgeschlagen.")));
        QVERIFY(wellFormed(exchange(kPort, {"GET /identity HTTP/1.1\r\n\r\n"})));
    }

    // An early answer reaches a peer that is still sending its body: the
    // server does not reset the connection under the peer's feet.
    void earlyAnswerSurvivesUnreadBody()
    {
        RunningService running;
        QVERIFY(running.waitForServer());
        for (int round = 0; round < 5; ++round) {
            sock::Socket s = connectFrom(0, kPort);
            QVERIFY(s.valid());
            QByteArray request = "POST /upload HTTP/1.1\r\nContent-Length: 400000\r\n\r\n";
            request += QByteArray(400000, 'b');
            sendAll(s, request);
            const QByteArray response = readUntilClosed(s);
            QVERIFY2(wellFormed(response), response.left(200).constData());
            QCOMPARE(bodyOf(response), QByteArray("{\"error\":\"unauthorized\"}"));
        }
    }

    void concurrentRequests()
    {
        RunningService running;
        QVERIFY(running.waitForServer());
        std::vector<sock::Socket> clients;
        for (int i = 0; i < 20; ++i) {
            clients.push_back(connectFrom(0, kPort));
            sendAll(clients.back(), "GET /identity HTTP/1.1\r\n\r\n");
        }
        for (const sock::Socket &c : clients)
            QVERIFY(wellFormed(readUntilClosed(c)));
    }
};

QTEST_GUILESS_MAIN(HttpServerTest)
#include "tst_http_server.moc"
