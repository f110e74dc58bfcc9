#include "instance_protocol.h"
#include "single_instance.h"

#include <QLocalSocket>
#include <QtTest>

#include <unistd.h>

using instance::ParseError;

namespace {
// JSON written with ' for ", to keep the tables readable.
QByteArray J(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}
} // namespace
Q_DECLARE_METATYPE(ParseError)
Q_DECLARE_METATYPE(instance::Request)

class InstanceProtocolTest : public QObject
{
    Q_OBJECT

    // A client of the running copy: sends bytes, then reads until it is hung up on.
    QByteArray exchange(const QByteArray &bytes)
    {
        QLocalSocket socket;
        QByteArray answer;
        connect(&socket, &QLocalSocket::readyRead, this, [&] { answer += socket.readAll(); });
        socket.connectToServer(
            QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath("kaveltor-companion.socket"));
        socket.write(bytes);
        if (!QTest::qWaitFor([&] { return socket.state() == QLocalSocket::UnconnectedState; }, 10000))
            return "still connected";
        return answer;
    }

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<ParseError>("error");
        const auto row = [](const char *name, const QByteArray &line, ParseError e) {
            QTest::newRow(name) << line << e;
        };
        using E = ParseError;
        row("present with token", J("{'v':1,'kind':'present','token':'kwin-12_TIME3'}"), E::None);
        row("send and wait", J("{'v':1,'kind':'send','files':['/a b.jpg','/c'],'to':'Pixel','wait':true}"),
            E::None);
        row("send chosen", J("{'v':1,'kind':'send','choose':true,'ask':true}"), E::None);
        row("text", J("{'v':1,'kind':'text','text':'Zeile\\nzwei ä'}"), E::None);
        row("unknown member", J("{'v':1,'kind':'list','later':[1]}"), E::None);
        row("not json", "present", E::NotJson);
        row("array", "[1]", E::NotJson);
        row("cut short", J("{'v':1,'kind':'li"), E::NotJson);
        row("other version", J("{'v':2,'kind':'list'}"), E::Version);
        row("version as text", J("{'v':'1','kind':'list'}"), E::Version);
        row("no version", J("{'kind':'list'}"), E::Version);
        row("unknown kind", J("{'v':1,'kind':'delete'}"), E::Invalid);
        row("send nothing", J("{'v':1,'kind':'send'}"), E::Invalid);
        row("send and choose", J("{'v':1,'kind':'send','files':['/a'],'choose':true}"), E::Invalid);
        row("relative path", J("{'v':1,'kind':'send','files':['a.jpg']}"), E::Invalid);
        row("path not text", J("{'v':1,'kind':'send','files':[7]}"), E::Invalid);
        row("nul in path", J("{'v':1,'kind':'send','files':['/a\\u0000b']}"), E::Invalid);
        row("empty text", J("{'v':1,'kind':'text','text':''}"), E::Invalid);
        row("text with files", J("{'v':1,'kind':'text','text':'x','files':['/a']}"), E::Invalid);
        row("list with files", J("{'v':1,'kind':'list','files':['/a']}"), E::Invalid);
        row("flag as text", J("{'v':1,'kind':'list','wait':'yes'}"), E::Invalid);
        row("token with a line break", J("{'v':1,'kind':'present','token':'a\\nb'}"), E::Invalid);
        QTest::newRow("name too long") << QByteArray(J("{'v':1,'kind':'list','to':'") +
                                                     QByteArray(instance::kMaxNameChars + 1, 'x') + "\"}")
                                       << E::Invalid;
    }
    void requests()
    {
        QFETCH(QByteArray, line);
        const auto parsed = instance::parseRequest(line);
        QTEST(parsed.error, "error");
        QCOMPARE(parsed.value.has_value(), parsed.error == ParseError::None);
        if (!parsed.value)
            return;
        // What is read is written back the same way and reads the same.
        const QByteArray again = instance::serialize(*parsed.value);
        QVERIFY(again.endsWith('\n') && again.count('\n') == 1);
        QCOMPARE(instance::serialize(*instance::parseRequest(again.chopped(1)).value), again);
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("valid");
        QTest::newRow("progress")
            << QByteArray(J("{'type':'progress','item':1,'percent':50,'sent':5,'total':10,'speed':2.5}"))
            << true;
        QTest::newRow("percent past 100")
            << QByteArray(J("{'type':'progress','item':0,'percent':101,'sent':0,'total':0,'speed':0}"))
            << false;
        QTest::newRow("negative size")
            << QByteArray(J("{'type':'progress','item':0,'percent':1,'sent':-1,'total':0,'speed':0}"))
            << false;
        QTest::newRow("item") << QByteArray(
                                     J("{'type':'item','item':0,'ok':false,'text':'Nicht zugestellt'}"))
                              << true;
        QTest::newRow("item without outcome") << QByteArray(J("{'type':'item','item':0,'text':''}")) << false;
        QTest::newRow("done with phones")
            << QByteArray(J("{'type':'done','status':'no-such-phone','text':'x','phones':[{'name':'A','id':'"
                            "a','address':'203.0.113.1:9','paired':true,'online':false}]}"))
            << true;
        QTest::newRow("unknown status")
            << QByteArray(J("{'type':'done','status':'maybe','text':''}")) << false;
        QTest::newRow("phone not an object")
            << QByteArray(J("{'type':'done','status':'ok','text':'','phones':[1]}")) << false;
    }
    void replies()
    {
        QFETCH(QByteArray, line);
        const auto parsed = instance::parseReply(line);
        QTEST(parsed.value.has_value(), "valid");
        if (parsed.value)
            QCOMPARE(instance::serialize(
                         *instance::parseReply(instance::serialize(*parsed.value).chopped(1)).value),
                     instance::serialize(*parsed.value));
    }

    void framing()
    {
        using S = instance::Framed::State;
        QCOMPARE(instance::takeLine("").state, S::Incomplete);
        QCOMPARE(instance::takeLine("abc", 3).state, S::Incomplete);
        QCOMPARE(instance::takeLine("abcd", 3).state, S::TooLong);
        QCOMPARE(instance::takeLine("abcd\n", 3).state, S::TooLong);
        const instance::Framed f = instance::takeLine("abc\nrest", 3);
        QCOMPARE(f.line, QByteArray("abc"));
        QCOMPARE(f.consumed, 4);
    }

    // The running copy refuses what is not a request from its own user, and
    // goes on serving the next asker whatever the last one did.
    void server()
    {
        SingleInstance running;
        QVERIFY(running.claim());
        QSignalSpy asked(&running, &SingleInstance::requestReceived);
        connect(&running, &SingleInstance::requestReceived, this,
                [](const instance::Request &, InstanceReply *reply) { reply->finish({}); });
        const QByteArray list = J("{'v':1,'kind':'list'}") + "\n";
        QCOMPARE(exchange(list), QByteArray(J("{'status':'ok','text':'','type':'done'}") + "\n"));
        QVERIFY(exchange("{oops}\n").contains(J("'status':'malformed'")));
        QVERIFY(exchange(J("{'v':9,'kind':'list'}") + "\n").contains(J("'status':'version'")));
        QVERIFY(exchange(QByteArray(instance::kMaxLineBytes + 2, ' ')).contains(J("'status':'malformed'")));
        QCOMPARE(asked.size(), 1);

        // Askers that hang up half-way leave no connection behind: more of
        // them than the copy serves at once, then one that asks in full.
        for (int i = 0; i <= SingleInstance::kMaxConnections; ++i) {
            QLocalSocket half;
            half.connectToServer(
                QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath("kaveltor-companion.socket"));
            QVERIFY(half.waitForConnected(2000));
            half.write(list.left(10));
            QVERIFY(half.waitForBytesWritten(2000));
            half.abort();
            QTest::qWait(5);
        }
        QTRY_COMPARE(running.findChildren<InstanceReply *>().size(), 0);
        QVERIFY(exchange(list).contains(J("'status':'ok'")));
        QCOMPARE(asked.size(), 2);
    }

    // A connection from another user id is closed without a word.
    void otherUser()
    {
        SingleInstance running(unsigned(getuid()) + 1, nullptr);
        QVERIFY(running.claim());
        QSignalSpy asked(&running, &SingleInstance::requestReceived);
        QCOMPARE(exchange(J("{'v':1,'kind':'list'}") + "\n"), QByteArray());
        QCOMPARE(asked.size(), 0);
        QVERIFY(!instance::peerAllowed(1001u, 1000u) && instance::peerAllowed(std::nullopt, 1000u));
    }
};

QTEST_GUILESS_MAIN(InstanceProtocolTest)
#include "tst_instance_protocol.moc"
