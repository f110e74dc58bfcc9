#include "peer_wire.h"

#include <QtTest>

using namespace peerwire;

namespace {
RemoteDevice sentRecord()
{
    RemoteDevice d;
    d.id = QStringLiteral("old-id");
    d.name = QStringLiteral("Pixel");
    d.host = QStringLiteral("pixel.local.");
    d.ip = QStringLiteral("198.51.100.7");
    d.port = 53317;
    d.lastSeen = 1234;
    d.sending = true;
    d.sharedSecret = QStringLiteral("old-secret");
    return d;
}
const QByteArray kOkHead = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
} // namespace

class PeerWireTest : public QObject
{
    Q_OBJECT

private slots:
    void parseReply_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("error"); // "untouched" when it must not be written

        QTest::newRow("received") << kOkHead + "{\"received\":true}" << true << "untouched";
        QTest::newRow("error status, good body")
            << QByteArray("HTTP/1.1 500 Internal Server Error\r\n\r\n{\"received\":true}") << true
            << "untouched";
        QTest::newRow("no blank line: the whole reply is the body")
            << QByteArray("{\"received\":true}") << true << "untouched";
        QTest::newRow("blank line inside the body is not the separator")
            << QByteArray("HTTP/1.1 200 OK\r\n\r\n{\"received\":true,\r\n\r\n\"x\":1}") << true
            << "untouched";
        QTest::newRow("refused with a reason")
            << kOkHead + "{\"error\":\"unauthorized\"}" << false << "unauthorized";
        QTest::newRow("received false, no reason")
            << kOkHead + "{\"received\":false}" << false << "Anfrage fehlgeschlagen.";
        QTest::newRow("received as a string")
            << kOkHead + "{\"received\":\"true\"}" << false << "Anfrage fehlgeschlagen.";
        QTest::newRow("received as a number")
            << kOkHead + "{\"received\":1}" << false << "Anfrage fehlgeschlagen.";
        QTest::newRow("error not a string")
            << kOkHead + "{\"error\":5}" << false << "Anfrage fehlgeschlagen.";
        QTest::newRow("empty object") << kOkHead + "{}" << false << "Anfrage fehlgeschlagen.";
        QTest::newRow("array") << kOkHead + "[{\"received\":true}]" << false << "Ungueltige Antwort.";
        QTest::newRow("string") << kOkHead + "\"received\"" << false << "Ungueltige Antwort.";
        QTest::newRow("null") << kOkHead + "null" << false << "Ungueltige Antwort.";
        QTest::newRow("cut short") << kOkHead + "{\"received\":tr" << false << "Ungueltige Antwort.";
        QTest::newRow("head only") << kOkHead << false << "Ungueltige Antwort.";
        QTest::newRow("nothing at all") << QByteArray() << false << "Ungueltige Antwort.";
        QTest::newRow("html error page")
            << QByteArray("HTTP/1.1 404 Not Found\r\n\r\n<html></html>") << false << "Ungueltige Antwort.";
    }

    void parseReply()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, ok);
        QFETCH(QString, error);
        QString got = QStringLiteral("untouched");
        QCOMPARE(peerwire::parseReply(response, QStringLiteral("received"), &got), ok);
        QCOMPARE(got, error);
    }

    void pairingReply_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("paired");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("secret");

        QTest::newRow("full answer")
            << QByteArray(R"({"deviceId":"p-1","name":"Anna","paired":true,"sharedSecret":"s"})") << true
            << QString() << "p-1"
            << "Anna"
            << "s";
        QTest::newRow("only paired: empty id and secret, old name")
            << QByteArray(R"({"paired":true})") << true << QString() << ""
            << "Pixel"
            << "";
        QTest::newRow("non-string members count as missing")
            << QByteArray(R"({"deviceId":7,"name":null,"paired":true,"sharedSecret":[]})") << true
            << QString() << ""
            << "Pixel"
            << "";
        QTest::newRow("control characters in the name are harmless")
            << QByteArray(R"({"name":"A\nB","paired":true})") << true << QString() << ""
            << "A\nB"
            << "";
        QTest::newRow("paired as a string")
            << QByteArray(R"({"paired":"true"})") << false << "Pairing fehlgeschlagen."
            << ""
            << ""
            << "";
        QTest::newRow("paired as a string, with reason")
            << QByteArray(R"({"error":"Falscher Code.","paired":"true"})") << false << "Falscher Code."
            << ""
            << ""
            << "";
        QTest::newRow("refused with reason")
            << QByteArray(R"({"error":"Abgelehnt","paired":false})") << false << "Abgelehnt"
            << ""
            << ""
            << "";
        QTest::newRow("refused, reason not a string")
            << QByteArray(R"({"error":{},"paired":false})") << false << "Pairing fehlgeschlagen."
            << ""
            << ""
            << "";
        QTest::newRow("not an object") << QByteArray("[true]") << false << "Ungueltige Antwort."
                                       << ""
                                       << ""
                                       << "";
        QTest::newRow("no answer") << QByteArray() << false << "Ungueltige Antwort."
                                   << ""
                                   << ""
                                   << "";
        QTest::newRow("line feed in the device id")
            << QByteArray(R"({"deviceId":"p\nX-Evil: 1","paired":true,"sharedSecret":"s"})") << false
            << "Ungueltige Antwort."
            << ""
            << ""
            << "";
        QTest::newRow("carriage return in the secret")
            << QByteArray(R"({"deviceId":"p","paired":true,"sharedSecret":"s\r"})") << false
            << "Ungueltige Antwort."
            << ""
            << ""
            << "";
        QTest::newRow("NUL in the secret")
            << QByteArray(R"({"paired":true,"sharedSecret":"a\u0000b"})") << false << "Ungueltige Antwort."
            << ""
            << ""
            << "";
        QTest::newRow("DEL in the device id")
            << QByteArray(R"({"deviceId":"a\u007fb","paired":true})") << false << "Ungueltige Antwort."
            << ""
            << ""
            << "";
        QTest::newRow("C1 control in the secret")
            << QByteArray(R"({"paired":true,"sharedSecret":"a\u0085b"})") << false << "Ungueltige Antwort."
            << ""
            << ""
            << "";
        QTest::newRow("umlauts and blanks are fine")
            << QByteArray(R"({"deviceId":"Gerät 1","paired":true,"sharedSecret":"ä ö"})") << true << QString()
            << "Gerät 1"
            << "Pixel"
            << "ä ö";
    }

    void pairingReply()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, paired);
        QFETCH(QString, error);
        const RemoteDevice sent = sentRecord();
        const PairingOutcome outcome = evaluatePairingReply(kOkHead + body, sent);
        QCOMPARE(outcome.paired, paired);
        if (!paired) {
            QCOMPARE(outcome.error, error);
            return;
        }
        QTEST(outcome.device.id, "id");
        QTEST(outcome.device.name, "name");
        QTEST(outcome.device.sharedSecret, "secret");
        QVERIFY(outcome.device.paired);
        QCOMPARE(outcome.device.host, sent.host);
        QCOMPARE(outcome.device.ip, sent.ip);
        QCOMPARE(outcome.device.port, sent.port);
        QCOMPARE(outcome.device.lastSeen, sent.lastSeen);
        QCOMPARE(outcome.device.sending, sent.sending);
    }

    void identityReply_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");

        QTest::newRow("both members") << kOkHead + R"({"deviceId":"p-1","name":"Anna"})" << true << "p-1"
                                      << "Anna";
        QTest::newRow("error status, object body")
            << QByteArray("HTTP/1.1 503 Busy\r\n\r\n{\"deviceId\":\"p-1\"}") << true << "p-1"
            << "Pixel";
        QTest::newRow("no blank line") << QByteArray(R"({"deviceId":"p-1","name":"Anna"})") << true << "p-1"
                                       << "Anna";
        QTest::newRow("only the name") << kOkHead + R"({"name":"Anna"})" << true << ""
                                       << "Anna";
        QTest::newRow("empty object keeps the name") << kOkHead + "{}" << true << ""
                                                     << "Pixel";
        QTest::newRow("array") << kOkHead + "[]" << false << ""
                               << "";
        QTest::newRow("empty body") << kOkHead << false << ""
                                    << "";
        QTest::newRow("nothing") << QByteArray() << false << ""
                                 << "";
    }

    void identityReply()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, resolved);
        const RemoteDevice sent = sentRecord();
        const std::optional<RemoteDevice> got = applyIdentityReply(response, sent);
        QCOMPARE(got.has_value(), resolved);
        if (!resolved)
            return;
        QTEST(got->id, "id");
        QTEST(got->name, "name");
        QCOMPARE(got->host, sent.host);
        QCOMPARE(got->ip, sent.ip);
        QCOMPARE(got->port, sent.port);
        QCOMPARE(got->paired, sent.paired);
        QCOMPARE(got->lastSeen, sent.lastSeen);
        QCOMPARE(got->sending, sent.sending);
        QCOMPARE(got->sharedSecret, sent.sharedSecret);
    }

    // Nothing a file name or secret holds may end a header line early.
    void headerValuesStayOneLine_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("sentAs");
        QTest::newRow("plain") << QStringLiteral("Foto Urlaub.JPG") << QByteArray("Foto Urlaub.JPG");
        QTest::newRow("umlauts as UTF-8") << QStringLiteral("Grüße ✓.txt") << QByteArray("Grüße ✓.txt");
        QTest::newRow("line break injection") << QStringLiteral("a.txt\r\nX-KAVELTORLink-Secret: x")
                                              << QByteArray("a.txt__X-KAVELTORLink-Secret: x");
        QTest::newRow("tab, NUL, DEL, C1") << QString::fromUtf16(u"a\tb\0c\x7f"
                                                                 u"d\x9b"
                                                                 u"e",
                                                                 9)
                                           << QByteArray("a_b_c_d_e");
    }

    void headerValuesStayOneLine()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, sentAs);
        const QByteArray head = uploadHead(QStringLiteral("203.0.113.2"), fileName, QStringLiteral("me"),
                                           QStringLiteral("se\ncret"), 3);
        QCOMPARE(head,
                 "POST /upload HTTP/1.1\r\nHost: 203.0.113.2\r\nContent-Type: application/octet-stream\r\n"
                 "X-Filename: " +
                     sentAs +
                     "\r\nX-KAVELTORLink-DeviceId: me\r\nX-KAVELTORLink-Secret: se_cret\r\n"
                     "Content-Length: 3\r\nConnection: close\r\n\r\n");
    }
};

QTEST_GUILESS_MAIN(PeerWireTest)
#include "tst_peer_wire.moc"
