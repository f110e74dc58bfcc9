#include "http_wire.h"

#include <QtTest>

using httpwire::HeadReader;

class HttpWireTest : public QObject
{
    Q_OBJECT

private slots:
    void headerValue_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("value");

        const QByteArray upload = "POST /upload HTTP/1.1\r\nX-Filename:   Foto Urlaub.JPG  \r\n"
                                  "content-length: 42\r\nX-KAVELTORLink-DeviceId: AbC\r\n"
                                  "x-kaveltorlink-deviceid: second\r\nX-Empty:\r\n";
        QTest::newRow("other case, blanks and CR trimmed")
            << upload << QByteArray("X-Filename") << QStringLiteral("Foto Urlaub.JPG");
        QTest::newRow("lower-case header, name asked in mixed case")
            << upload << QByteArray("Content-Length") << QStringLiteral("42");
        QTest::newRow("first of a repeated header wins, value keeps its case")
            << upload << QByteArray("x-KAVELTORLink-DeviceID") << QStringLiteral("AbC");
        QTest::newRow("empty value") << upload << QByteArray("X-Empty") << QString();
        QTest::newRow("missing") << upload << QByteArray("X-Secret") << QString();
        QTest::newRow("blank before the colon is another name")
            << QByteArray("GET / HTTP/1.1\r\nX-Filename : a.txt") << QByteArray("X-Filename") << QString();
        QTest::newRow("bare LF separates lines")
            << QByteArray("GET / HTTP/1.1\nHost: a\nX-Filename: b.txt") << QByteArray("X-Filename")
            << QStringLiteral("b.txt");
        QTest::newRow("UTF-8 value") << QByteArray("POST /upload\r\nX-Filename: Gr\xc3\xbc\xc3\x9f" "e.txt")
                                     << QByteArray("X-Filename") << QStringLiteral("Gr\u00fc\u00dfe.txt");
        QTest::newRow("prefix of a longer header name")
            << QByteArray("POST /upload\r\nX-Filename-Extra: no\r\nX-Filename: yes") << QByteArray("X-Filename")
            << QStringLiteral("yes");
        QTest::newRow("empty head") << QByteArray() << QByteArray("Host") << QString();
    }

    void headerValue()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, name);
        QFETCH(QString, value);
        QCOMPARE(httpwire::headerValue(head, name), value);
    }

    void headReaderSplitsAnywhere_data()
    {
        QTest::addColumn<int>("chunk");
        for (int chunk : {1, 2, 3, 5, 7, 4096})
            QTest::newRow(qPrintable(QString::number(chunk))) << chunk;
    }

    // However the bytes are cut into reads, the head ends at the first blank
    // line, even when that line is split across reads.
    void headReaderSplitsAnywhere()
    {
        QFETCH(int, chunk);
        const QByteArray request = "POST /message HTTP/1.1\r\nHost: x\r\n\r\nhello\r\n\r\nworld";
        const qsizetype bodyStart = request.indexOf("hello");
        HeadReader reader;
        qsizetype fed = 0;
        while (reader.state() == HeadReader::State::Incomplete && fed < request.size()) {
            const qsizetype n = qMin<qsizetype>(chunk, request.size() - fed);
            reader.feed(request.constData() + fed, n);
            fed += n;
        }
        QCOMPARE(reader.state(), HeadReader::State::Complete);
        QCOMPARE(reader.head(), QByteArray("POST /message HTTP/1.1\r\nHost: x"));
        // The remainder is what came with the read that completed the head.
        QCOMPARE(reader.remainder(), request.mid(bodyStart, fed - bodyStart));
        // Later bytes belong to the body and are not taken in.
        reader.feed("more", 4);
        QCOMPARE(reader.remainder(), request.mid(bodyStart, fed - bodyStart));
    }

    void headReaderLimits_data()
    {
        QTest::addColumn<qsizetype>("headSize");
        QTest::addColumn<bool>("terminated");
        QTest::addColumn<int>("expected");
        const qsizetype max = httpwire::kMaxHeadBytes;
        QTest::newRow("largest head allowed") << max << true << int(HeadReader::State::Complete);
        QTest::newRow("one byte over") << max + 1 << true << int(HeadReader::State::TooLarge);
        QTest::newRow("unterminated at the limit waits") << max << false << int(HeadReader::State::Incomplete);
        QTest::newRow("unterminated past any possible end") << max + 4 << false
                                                            << int(HeadReader::State::TooLarge);
        QTest::newRow("terminator only") << qsizetype(0) << true << int(HeadReader::State::Complete);
    }

    void headReaderLimits()
    {
        QFETCH(qsizetype, headSize);
        QFETCH(bool, terminated);
        QFETCH(int, expected);
        QByteArray data(headSize, 'a');
        if (terminated)
            data += "\r\n\r\nbody";
        HeadReader reader;
        for (qsizetype at = 0; at < data.size(); at += 8192)
            reader.feed(data.constData() + at, qMin<qsizetype>(8192, data.size() - at));
        QCOMPARE(int(reader.state()), expected);
        if (reader.state() == HeadReader::State::Complete)
            QCOMPARE(reader.head().size(), headSize);
    }

    void jsonResponseShape()
    {
        const QByteArray body = QStringLiteral("{\"name\":\"Gr\u00fc\u00dfe\"}").toUtf8();
        const QByteArray response = httpwire::jsonResponse(body);
        QVERIFY(response.startsWith("HTTP/1.1 200 OK\r\n"));
        QVERIFY(response.contains("\r\nConnection: close\r\n"));
        QCOMPARE(httpwire::headerValue(response, "Content-Length").toLongLong(), body.size());
        QCOMPARE(httpwire::replyBody(response), body);
    }

    void replyBody_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("after the first blank line") << QByteArray("HTTP/1.1 500 X\r\n\r\n{\"a\":1}\r\n\r\nx")
                                                    << QByteArray("{\"a\":1}\r\n\r\nx");
        QTest::newRow("no blank line: all of it") << QByteArray("{\"a\":1}") << QByteArray("{\"a\":1}");
        QTest::newRow("nothing") << QByteArray() << QByteArray();
    }

    void replyBody()
    {
        QFETCH(QByteArray, response);
        QFETCH(QByteArray, body);
        QCOMPARE(httpwire::replyBody(response), body);
    }
};

QTEST_GUILESS_MAIN(HttpWireTest)
#include "tst_http_wire.moc"
