#include "http_wire.h"
#include "network_service.h"
#include "settings_store.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <thread>

using namespace testsupport;

namespace {
constexpr std::uint16_t kPort = NetworkService::kHttpPort;
const QByteArray kReceived = "{\"received\":true}";
const QByteArray kUnauthorized = "{\"error\":\"unauthorized\"}";
const QByteArray kIncomplete = "{\"error\":\"transfer incomplete\"}";

struct Credentials
{
    QString id;
    QString secret;
};

void storeRegistry(const QList<Credentials> &entries)
{
    QList<RemoteDevice> devices;
    for (const Credentials &c : entries) {
        RemoteDevice d;
        d.id = c.id;
        d.sharedSecret = c.secret;
        d.paired = true;
        devices.append(d);
    }
    writePairedDevices(devices);
}

QByteArray credentialLines(const QByteArray &id = "phone-1", const QByteArray &secret = "s3cret")
{
    return "X-KAVELTORLink-DeviceId: " + id + "\r\nX-KAVELTORLink-Secret: " + secret + "\r\n";
}

QByteArray uploadHead(const QByteArray &fileName, qint64 length,
                      const QByteArray &credentials = credentialLines())
{
    return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\n" + credentials + "X-Filename: " + fileName +
           "\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (qsizetype i = size / 4 * 4; i < size; ++i)
        data[i] = char(i);
    return data;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// What the window would see of a running service, on the test's thread.
class Recorder : public QObject
{
public:
    QStringList logs, messages, finished;
    QList<int> percents;
    QList<qint64> receivedBytes;

    void attach(NetworkService &s)
    {
        connect(&s, &NetworkService::logMessage, this, [this](const QString &l) { logs << l; });
        connect(&s, &NetworkService::messageReceived, this, [this](const QString &m) { messages << m; });
        connect(&s, &NetworkService::fileReceiveFinished, this, [this](const QString &f) { finished << f; });
        connect(&s, &NetworkService::fileReceiveProgress, this, [this](int p, qint64 r, qint64, double) {
            percents << p;
            receivedBytes << r;
        });
    }
};

struct RunningService
{
    NetworkService service;
    Recorder seen;

    RunningService(const QString &folder, const ServerLimits &limits = ServerLimits())
    {
        service.setServerLimits(limits);
        service.setReceiveFolder(folder);
        seen.attach(service);
        service.start();
    }
    bool waitForServer()
    {
        // Discovery logs too, and may do so first: wait for the server's own word.
        return QTest::qWaitFor(
                   [this] {
                       return seen.logs.contains(QStringLiteral("HTTP Server aktiv auf Port 53319.")) ||
                              seen.logs.contains(QStringLiteral("HTTP bind fehlgeschlagen."));
                   },
                   5000) &&
               seen.logs.contains(QStringLiteral("HTTP Server aktiv auf Port 53319."));
    }
};

// Lets queued signals that were emitted before an answer arrive.
void settle()
{
    QTest::qWait(100);
}
} // namespace

Q_DECLARE_METATYPE(Credentials)

class PeerRoutesTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch;
    QString m_folder;
    bool m_ownMounts = false;

private slots:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        // A mount namespace of our own, for the small file system of the
        // disk-full case; threads started later inherit it.
        m_ownMounts =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }

    void init()
    {
        SettingsStore store;
        store->clear();
        storeRegistry({{"phone-1", "s3cret"}});
        m_folder = m_scratch.filePath(QString::fromLatin1(QTest::currentTestFunction()) + "-" +
                                      QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_'));
        QVERIFY(QDir().mkpath(m_folder));
    }

    void authorization_data()
    {
        QTest::addColumn<QList<Credentials>>("registry");
        QTest::addColumn<QByteArray>("credentials");
        QTest::addColumn<bool>("authorized");

        const QList<Credentials> one{{"phone-1", "s3cret"}};
        QTest::newRow("usual spelling") << one << credentialLines() << true;
        QTest::newRow("header names in lower case")
            << one << QByteArray("x-kaveltorlink-deviceid: phone-1\r\nx-kaveltorlink-secret: s3cret\r\n")
            << true;
        QTest::newRow("empty registry") << QList<Credentials>{} << credentialLines() << false;
        QTest::newRow("same id twice, second secret")
            << QList<Credentials>{{"phone-1", "old"}, {"phone-1", "s3cret"}} << credentialLines() << true;
        QTest::newRow("secret differs in case") << one << credentialLines("phone-1", "S3cret") << false;
        QTest::newRow("id differs in case") << one << credentialLines("Phone-1", "s3cret") << false;
        QTest::newRow("secret of another device")
            << QList<Credentials>{{"phone-1", "s3cret"}, {"phone-2", "other"}}
            << credentialLines("phone-1", "other") << false;
        QTest::newRow("missing secret") << one << QByteArray("X-KAVELTORLink-DeviceId: phone-1\r\n") << false;
        QTest::newRow("missing id") << one << QByteArray("X-KAVELTORLink-Secret: s3cret\r\n") << false;
        QTest::newRow("empty secret never matches")
            << QList<Credentials>{{"phone-1", ""}} << credentialLines("phone-1", "") << false;
        QTest::newRow("secret with a longer prefix") << one << credentialLines("phone-1", "s3cret2") << false;
    }

    // Both routes apply one rule; a refused upload leaves no trace on disk.
    void authorization()
    {
        QFETCH(QList<Credentials>, registry);
        QFETCH(QByteArray, credentials);
        QFETCH(bool, authorized);
        storeRegistry(registry);
        const QString folder = m_folder + "/not/yet";
        RunningService running(folder);
        QVERIFY(running.waitForServer());

        const QByteArray message =
            exchange(kPort, {"POST /message HTTP/1.1\r\n" + credentials + "\r\nhallo"});
        QCOMPARE(httpwire::replyBody(message), authorized ? kReceived : kUnauthorized);
        const QByteArray upload = exchange(kPort, {uploadHead("a.txt", 3, credentials) + "abc"});
        QCOMPARE(httpwire::replyBody(upload), authorized ? kReceived : kUnauthorized);
        settle();
        if (authorized) {
            QCOMPARE(readFile(folder + "/a.txt"), QByteArray("abc"));
        } else {
            QVERIFY(!QFileInfo::exists(folder));
            QCOMPARE(running.seen.messages, QStringList());
        }
    }

    void messages_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("delivered");

        const QByteArray head = "POST /message HTTP/1.1\r\n" + credentialLines();
        const QString umlauts = QStringLiteral("Grüße aus Köln 😀");
        const QByteArray long1 = QByteArray(20000, 'x') + "end";
        QTest::newRow("short, with the head, no length")
            << QList<QByteArray>{head + "\r\nhallo"} << kReceived << QStringList{"hallo"};
        QTest::newRow("no length, body later: what came with the head")
            << QList<QByteArray>{head + "\r\n", "spät"} << kReceived << QStringList{""};
        QTest::newRow("whole text across several segments")
            << QList<QByteArray>{head + "Content-Length: " + QByteArray::number(long1.size()) + "\r\n\r\n",
                                 long1.left(7000), long1.mid(7000, 9000), long1.mid(16000)}
            << kReceived << QStringList{QString::fromLatin1(long1)};
        QTest::newRow("non-ASCII, split inside a character")
            << QList<QByteArray>{head + "Content-Length: " + QByteArray::number(umlauts.toUtf8().size()) +
                                     "\r\n\r\n" + umlauts.toUtf8().left(4),
                                 umlauts.toUtf8().mid(4)}
            << kReceived << QStringList{umlauts};
        QTest::newRow("bytes beyond the length are not the message")
            << QList<QByteArray>{head + "Content-Length: 3\r\n\r\nabcdef"} << kReceived << QStringList{"abc"};
        QTest::newRow("empty with length 0")
            << QList<QByteArray>{head + "Content-Length: 0\r\n\r\n"} << kReceived << QStringList{""};
        QTest::newRow("over the limit")
            << QList<QByteArray>{head + "Content-Length: " +
                                 QByteArray::number(NetworkService::kMaxMessageBytes + 1) + "\r\n\r\nabc"}
            << QByteArray("{\"error\":\"message too large\"}") << QStringList();
        QTest::newRow("peer stops short of the length")
            << QList<QByteArray>{head + "Content-Length: 100\r\n\r\nabc"} << kIncomplete << QStringList();
    }

    void messages()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, delivered);
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        sock::Socket s = connectFrom(0, kPort);
        for (const QByteArray &piece : pieces) {
            QVERIFY(sendAll(s, piece));
            QThread::msleep(30);
        }
        if (answer == kIncomplete)
            ::shutdown(s.handle(), SHUT_WR);
        QCOMPARE(httpwire::replyBody(readUntilClosed(s)), answer);
        settle();
        QCOMPARE(running.seen.messages, delivered);
    }

    void messageAtTheLimit()
    {
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        const QByteArray text(NetworkService::kMaxMessageBytes, 'm');
        const QByteArray response =
            exchange(kPort, {"POST /message HTTP/1.1\r\n" + credentialLines() +
                             "Content-Length: " + QByteArray::number(text.size()) + "\r\n\r\n" + text});
        QCOMPARE(httpwire::replyBody(response), kReceived);
        QTRY_COMPARE(running.seen.messages.size(), 1);
        QCOMPARE(running.seen.messages.first().size(), text.size());
    }

    void invalidContentLength_data()
    {
        QTest::addColumn<QByteArray>("lengthLine");
        QTest::newRow("zero") << QByteArray("Content-Length: 0\r\n");
        QTest::newRow("negative") << QByteArray("Content-Length: -5\r\n");
        QTest::newRow("not a number") << QByteArray("Content-Length: zehn\r\n");
        QTest::newRow("missing") << QByteArray();
    }

    void invalidContentLength()
    {
        QFETCH(QByteArray, lengthLine);
        const QString folder = m_folder + "/fresh";
        RunningService running(folder);
        QVERIFY(running.waitForServer());
        const QByteArray response = exchange(kPort, {"POST /upload HTTP/1.1\r\n" + credentialLines() +
                                                     "X-Filename: a.txt\r\n" + lengthLine + "\r\nabc"});
        QCOMPARE(httpwire::replyBody(response), QByteArray("{\"error\":\"invalid content length\"}"));
        QVERIFY(!QFileInfo::exists(folder));
    }

    void uploads_data()
    {
        QTest::addColumn<QByteArray>("header"); // X-Filename line, or empty for none
        QTest::addColumn<int>("size");          // Content-Length
        QTest::addColumn<int>("extra");         // bytes sent beyond it
        QTest::addColumn<bool>("withHead");     // the whole body in the head's segment
        QTest::addColumn<QString>("stored");

        QTest::newRow("body came with the head")
            << QByteArray("X-Filename: kurz.txt") << 1000 << 0 << true << "kurz.txt";
        QTest::newRow("streamed body")
            << QByteArray("X-Filename: gross.bin") << 3 * 1024 * 1024 + 17 << 0 << false << "gross.bin";
        QTest::newRow("more bytes than the length")
            << QByteArray("X-Filename: mehr.bin") << 100000 << 5000 << false << "mehr.bin";
        QTest::newRow("more bytes than the length, all with the head")
            << QByteArray("X-Filename: mehr2.bin") << 1000 << 500 << true << "mehr2.bin";
        QTest::newRow("no file name") << QByteArray() << 10 << 0 << true << "received_file";
        QTest::newRow("traversal") << QByteArray("X-Filename: ../../etc/x.txt") << 10 << 0 << true << "x.txt";
        QTest::newRow("device name") << QByteArray("X-Filename: con.txt") << 10 << 0 << true << "_con.txt";
        QTest::newRow("UTF-8 name") << QByteArray("X-Filename: Gr\xc3\xbc\xc3\x9f"
                                                  "e M\xc3\xa4rz.pdf")
                                    << 10 << 0 << true << QStringLiteral("Grüße März.pdf");
    }

    // Stored whole under the expected name, nothing but the first L bytes,
    // no temporary file left, and the progress the window needs.
    void uploads()
    {
        QFETCH(QByteArray, header);
        QFETCH(int, size);
        QFETCH(int, extra);
        QFETCH(bool, withHead);
        QFETCH(QString, stored);
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());

        const QByteArray body = randomBytes(size + extra);
        QByteArray head = "POST /upload HTTP/1.1\r\n" + credentialLines() +
                          "Content-Length: " + QByteArray::number(size) + "\r\n";
        if (!header.isEmpty())
            head += header + "\r\n";
        head += "\r\n";
        const QList<QByteArray> pieces =
            withHead ? QList<QByteArray>{head + body}
                     : QList<QByteArray>{head, body.left(size / 3), body.mid(size / 3)};
        const QByteArray response = exchange(kPort, pieces, withHead ? 0 : 20);
        QCOMPARE(httpwire::replyBody(response), kReceived);
        QTRY_COMPARE(running.seen.finished, QStringList{stored});
        QCOMPARE(filesIn(m_folder), QStringList{stored});
        QVERIFY(readFile(m_folder + "/" + stored) == body.left(size));
        QCOMPARE(running.seen.messages, QStringList{"Datei empfangen: " + m_folder + "/" + stored});

        const QList<int> &p = running.seen.percents;
        QVERIFY(!p.isEmpty() && p.size() <= 101);
        QCOMPARE(p.last(), 100);
        QCOMPARE(running.seen.receivedBytes.last(), qint64(size));
        for (qsizetype i = 1; i < p.size(); ++i)
            QVERIFY(p[i] > p[i - 1]);
        if (withHead)
            QCOMPARE(p, QList<int>{100});
    }

    void uploadByCurl()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("ThreadSanitizer cannot follow a fork from a threaded process");
#endif
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        QTemporaryDir source;
        const QByteArray data = randomBytes(5 * 1024 * 1024 + 3);
        QFile out(source.filePath("quelle.bin"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(data) == data.size());
        out.close();
        QProcess curl;
        curl.start("curl", {"-sS", "--max-time", "30", "--data-binary", "@" + out.fileName(), "-H",
                            "Expect:", "-H", "Content-Type: application/octet-stream", "-H",
                            "X-KAVELTORLink-DeviceId: phone-1", "-H", "X-KAVELTORLink-Secret: s3cret", "-H",
                            QStringLiteral("X-Filename: Bericht März.pdf"), "http://127.0.0.1:53319/upload"});
        QVERIFY(curl.waitForFinished(40000));
        QCOMPARE(curl.exitCode(), 0);
        QCOMPARE(curl.readAllStandardOutput(), kReceived);
        QTRY_COMPARE(running.seen.finished, QStringList{QStringLiteral("Bericht März.pdf")});
        QVERIFY(readFile(m_folder + QStringLiteral("/Bericht März.pdf")) == data);
    }

    void counterNames_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QByteArray>("proposal");
        QTest::addColumn<QString>("stored");
        QTest::newRow("third photo") << QStringList{"photo.jpg", "photo (1).jpg"} << QByteArray("photo.jpg")
                                     << "photo (2).jpg";
        QTest::newRow("no suffix") << QStringList{"notes"} << QByteArray("notes") << "notes (1)";
        QTest::newRow("left-over temporary file takes no name")
            << QStringList{"a.txt.part", "a.txt.0badf00d.part"} << QByteArray("a.txt") << "a.txt";
    }

    void counterNames()
    {
        QFETCH(QStringList, present);
        QFETCH(QByteArray, proposal);
        QFETCH(QString, stored);
        for (const QString &name : present) {
            QFile f(m_folder + "/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("old") == 3);
        }
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        QCOMPARE(httpwire::replyBody(exchange(kPort, {uploadHead(proposal, 3) + "new"})), kReceived);
        QTRY_COMPARE(running.seen.finished, QStringList{stored});
        QCOMPARE(readFile(m_folder + "/" + stored), QByteArray("new"));
        for (const QString &name : present)
            QCOMPARE(readFile(m_folder + "/" + name), QByteArray("old"));
    }

    void folderCreatedWithParents()
    {
        const QString folder = m_folder + "/eins/zwei/drei";
        RunningService running(folder);
        QVERIFY(running.waitForServer());
        QCOMPARE(httpwire::replyBody(exchange(kPort, {uploadHead("tief.txt", 2) + "ok"})), kReceived);
        QCOMPARE(readFile(folder + "/tief.txt"), QByteArray("ok"));
    }

    // A folder that cannot be made fails the upload before any byte is
    // stored, and the window hears nothing of it.
    void folderCannotBeMade()
    {
        QFile blocker(m_folder + "/datei");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        RunningService running(m_folder + "/datei/unter");
        QVERIFY(running.waitForServer());
        QCOMPARE(httpwire::replyBody(exchange(kPort, {uploadHead("a.txt", 2) + "ok"})),
                 QByteArray("{\"error\":\"write failed\"}"));
        settle();
        QCOMPARE(running.seen.messages, QStringList());
        QCOMPARE(running.seen.percents, QList<int>());
        QCOMPARE(filesIn(m_folder), QStringList{"datei"});
    }

    // The window is told with the sanitised name, even when a counter name
    // had been chosen; nothing of the upload stays behind.
    void peerDisconnectsHalfway()
    {
        QFile existing(m_folder + "/halb.bin");
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        sock::Socket s = connectFrom(0, kPort);
        QVERIFY(sendAll(s, uploadHead("sub/halb.bin", 200000) + randomBytes(50000)));
        QTRY_VERIFY(!running.seen.percents.isEmpty());
        QThread::msleep(50);
        s.close();
        QTRY_COMPARE(running.seen.messages, QStringList{"Transfer abgebrochen: halb.bin"});
        QCOMPARE(filesIn(m_folder), QStringList{"halb.bin"});
        QCOMPARE(running.seen.finished, QStringList());
    }

    void bodyIdleTimeout()
    {
        ServerLimits limits;
        limits.bodyIdleTimeoutMs = 1000;
        RunningService running(m_folder, limits);
        QVERIFY(running.waitForServer());
        sock::Socket s = connectFrom(0, kPort);
        QVERIFY(sendAll(s, uploadHead("still.bin", 1000) + "abc"));
        // Bytes that keep trickling in keep the upload alive.
        for (int i = 0; i < 6; ++i) {
            QThread::msleep(200);
            QVERIFY(sendAll(s, "x"));
        }
        QElapsedTimer timer;
        timer.start();
        bool closed = false;
        QCOMPARE(httpwire::replyBody(readUntilClosed(s, 5000, &closed)), kIncomplete);
        QVERIFY(closed);
        QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 4000,
                 qPrintable(QString::number(timer.elapsed())));
        QTRY_COMPARE(running.seen.messages, QStringList{"Transfer abgebrochen: still.bin"});
        QCOMPARE(filesIn(m_folder), QStringList());

        // A message that stops short of its length is bounded the same way.
        sock::Socket m = connectFrom(0, kPort);
        QVERIFY(
            sendAll(m, "POST /message HTTP/1.1\r\n" + credentialLines() + "Content-Length: 100\r\n\r\nabc"));
        QCOMPARE(httpwire::replyBody(readUntilClosed(m, 5000, &closed)), kIncomplete);
        QVERIFY(closed);
        settle();
        QCOMPARE(running.seen.messages.size(), 1);
    }

    // Twenty peers send a file of the same name at once; every one is kept,
    // whole and unmixed, under a name of its own.
    void concurrentUploadsOfOneName()
    {
        constexpr int kUploads = 20;
        constexpr int kSize = 256 * 1024;
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        QList<QByteArray> bodies;
        std::vector<sock::Socket> peers;
        for (int i = 0; i < kUploads; ++i) {
            bodies.append(randomBytes(kSize));
            peers.push_back(connectFrom(ipv4("127.0.0.1") + std::uint32_t(i % 8), kPort));
            QVERIFY(sendAll(peers.back(), uploadHead("gleich.bin", kSize) + bodies.last().left(kSize / 2)));
        }
        // All have chosen the same free name before any finishes.
        QTRY_COMPARE(filesIn(m_folder).size(), kUploads);
        QByteArrayList answers(kUploads);
        std::vector<std::thread> senders;
        for (int i = 0; i < kUploads; ++i) {
            senders.emplace_back([&, i] {
                sendAll(peers[i], bodies[i].mid(kSize / 2));
                answers[i] = httpwire::replyBody(readUntilClosed(peers[i], 20000));
            });
        }
        for (std::thread &t : senders)
            t.join();
        for (const QByteArray &answer : answers)
            QCOMPARE(answer, kReceived);
        QTRY_COMPARE(running.seen.finished.size(), kUploads);

        QStringList expected{"gleich.bin"};
        for (int i = 1; i < kUploads; ++i)
            expected << QStringLiteral("gleich (%1).bin").arg(i);
        QStringList files = filesIn(m_folder);
        QCOMPARE(QSet<QString>(files.begin(), files.end()), QSet<QString>(expected.begin(), expected.end()));
        QStringList reported = running.seen.finished;
        QCOMPARE(QSet<QString>(reported.begin(), reported.end()),
                 QSet<QString>(expected.begin(), expected.end()));
        QSet<QByteArray> sent, stored;
        for (const QByteArray &b : bodies)
            sent.insert(QCryptographicHash::hash(b, QCryptographicHash::Sha256));
        for (const QString &f : files)
            stored.insert(QCryptographicHash::hash(readFile(m_folder + "/" + f), QCryptographicHash::Sha256));
        QCOMPARE(stored, sent);
    }

    // The chosen name is taken while the body streams in: the finished file
    // goes to the next free name and the newcomer stays untouched.
    void finalNameTakenMeanwhile()
    {
        RunningService running(m_folder);
        QVERIFY(running.waitForServer());
        const QByteArray body = randomBytes(100000);
        sock::Socket s = connectFrom(0, kPort);
        QVERIFY(sendAll(s, uploadHead("wettlauf.txt", body.size()) + body.left(1000)));
        QTRY_COMPARE(filesIn(m_folder).size(), 1); // the temporary file
        QFile intruder(m_folder + "/wettlauf.txt");
        QVERIFY(intruder.open(QIODevice::WriteOnly) && intruder.write("fremd") == 5);
        intruder.close();
        QVERIFY(sendAll(s, body.mid(1000)));
        QCOMPARE(httpwire::replyBody(readUntilClosed(s)), kReceived);
        QTRY_COMPARE(running.seen.finished, QStringList{"wettlauf (1).txt"});
        QCOMPARE(running.seen.messages, QStringList{"Datei empfangen: " + m_folder + "/wettlauf (1).txt"});
        QCOMPARE(readFile(m_folder + "/wettlauf.txt"), QByteArray("fremd"));
        QVERIFY(readFile(m_folder + "/wettlauf (1).txt") == body);
        QCOMPARE(filesIn(m_folder).size(), 2);
    }

    // A full disk fails the upload without leaving anything behind, and the
    // next upload, once there is room again, succeeds.
    void diskFull()
    {
        if (!m_ownMounts)
            QSKIP("needs a mount namespace (root)");
        QVERIFY(::mount("tmpfs", QFile::encodeName(m_folder).constData(), "tmpfs", 0, "size=1m") == 0);
        {
            QFile filler(m_folder + "/filler");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            QVERIFY(filler.write(QByteArray(700 * 1024, 'f')) == 700 * 1024);
        }
        {
            RunningService running(m_folder);
            QVERIFY(running.waitForServer());
            const QByteArray body = randomBytes(600 * 1024);
            sock::Socket s = connectFrom(0, kPort);
            sendAll(s, uploadHead("voll.bin", body.size()) + body);
            readUntilClosed(s);
            QTRY_COMPARE(running.seen.messages, QStringList{"Transfer abgebrochen: voll.bin"});
            QCOMPARE(filesIn(m_folder), QStringList{"filler"});

            QVERIFY(QFile::remove(m_folder + "/filler"));
            QCOMPARE(httpwire::replyBody(exchange(kPort, {uploadHead("voll.bin", body.size()) + body})),
                     kReceived);
            QTRY_COMPARE(running.seen.finished, QStringList{"voll.bin"});
            QVERIFY(readFile(m_folder + "/voll.bin") == body);
        }
        QVERIFY(::umount(QFile::encodeName(m_folder).constData()) == 0);
    }

    // Quitting while uploads stream in ends every thread promptly and leaves
    // no temporary file behind.
    void destroyWithUploadsInFlight()
    {
        auto *service = new NetworkService;
        service->setReceiveFolder(m_folder);
        Recorder seen;
        seen.attach(*service);
        service->start();
        QTRY_VERIFY(seen.logs.contains(QStringLiteral("HTTP Server aktiv auf Port 53319.")));
        std::vector<sock::Socket> peers;
        for (int i = 0; i < 12; ++i) {
            peers.push_back(connectFrom(ipv4("127.0.0.1") + std::uint32_t(i % 4), kPort));
            QVERIFY(sendAll(peers.back(), uploadHead("flug.bin", 10'000'000) + randomBytes(70000)));
        }
        QTRY_COMPARE(filesIn(m_folder).size(), 12);

        QElapsedTimer timer;
        timer.start();
        delete service;
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(filesIn(m_folder), QStringList());
        for (const sock::Socket &p : peers) {
            bool closed = false;
            readUntilClosed(p, 2000, &closed);
            QVERIFY(closed);
        }
    }
};

QTEST_GUILESS_MAIN(PeerRoutesTest)
#include "tst_peer_routes.moc"
