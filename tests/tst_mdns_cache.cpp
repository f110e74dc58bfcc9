// The browser's memory: records that combine across datagrams, whatever their
// identifier, for as long as their TTL says and within a fixed room.
#include "dns_test_support.h"
#include "mdns_browser.h"
#include "mdns_cache.h"

#include <QtTest>

using namespace mdns;
using namespace dnstest;

namespace {
const QString kPixel = "Pixel 7." + kService, kOwn = QString(protocol::kInstanceLabel) + "." + kService;
const QString P7 = " Pixel 7|pixel.local.|53319|198.51.100.7", P8 = P7.chopped(1) + '8';

const auto rr = [](const QString &owner, int type, const QByteArray &d, int ttl = 120, bool flush = false) {
    return name(owner) + u16(type) + u16(flush ? 0x8001 : 1) + u32(ttl) + u16(int(d.size())) + d;
};
const auto ptr = [](int ttl = 4500) { return rr(kService, kTypePtr, name(kPixel), ttl); };
const auto srv = [](const QString &owner = kPixel, const QString &host = "pixel.local") {
    return rr(owner, kTypeSrv, u32(0) + u16(53319) + name(host), 120, true);
};
const auto a = [](int last, int ttl = 120, bool flush = false) {
    return rr("pixel.local", kTypeA, u32(0xC6336400 + last), ttl, flush);
};
// Identifier 0, as multicast announcements carry; every record an answer.
const auto m = [](const QByteArrayList &records, int id = 0, int flags = 0x8400) {
    return header(id, flags, 0, int(records.size())) + records.join();
};
const auto full = [](int id = 0, int flags = 0x8400) { return m({ptr(), srv(), a(7)}, id, flags); };
// Other hosts' addresses, one to a datagram.
const auto strangers = [](int count, int first = 0) {
    QByteArrayList datagrams;
    for (int j = first; j < first + count; ++j)
        datagrams << m({rr(QStringLiteral("h%1.local").arg(j), kTypeA, u32(1))});
    return datagrams;
};
const auto row = [](const char *title, const QByteArrayList &packets, const QStringList &expected,
                    QList<int> at = {}) { QTest::newRow(title) << packets << at << expected; };
} // namespace

class MdnsCacheTest : public QObject
{
    Q_OBJECT

private slots:
    void feeds_data()
    {
        QTest::addColumn<QByteArrayList>("packets");
        QTest::addColumn<QList<int>>("at");        // ms when each packet comes; none: one a ms
        QTest::addColumn<QStringList>("expected"); // "<packet index> <device>" for each device emitted
        row("PTR, then SRV and A", {m({ptr()}), m({srv(), a(7)})}, {"1" + P7});
        row("A, PTR, SRV, other case", {m({a(7)}), m({ptr()}), m({srv(kPixel.toUpper(), "Pixel.LOCAL")})},
            {"2 Pixel 7|Pixel.LOCAL.|53319|198.51.100.7"});
        row("responses only", {full(0, 0), full(0, 0x8800), full(0, 0x8403), full(0x4242)}, {"3" + P7});
        row("goodbye", {full(), m({ptr(0)}), m({srv(), a(7)})}, {"0" + P7});
        row("TTL runs out", {full(), m({a(7)}), m({a(7)})}, {"0" + P7, "1" + P7}, {0, 119'000, 120'000});
        row("flush replaces", {full(), m({a(8, 120, true)}), m({a(8, 0)}), m({srv()})}, {"0" + P7, "1" + P8});
        row("plain A adds", {full(), m({a(8)}), m({a(8, 0)}), m({srv()})}, {"0" + P7, "1" + P8, "3" + P7});
        row("two unique A", {m({ptr(), srv(), a(7, 120, true), a(8, 120, true)}), m({a(8, 0)}), m({srv()})},
            {"0" + P8, "2" + P7});
        row("our own", {m({rr(kService, kTypePtr, name(kOwn)), srv(kOwn), a(7)})}, {});
        const int room = int(kMaxCachedRecords) - 3;
        const QByteArrayList one{full()};
        row("full room", one + strangers(room) << m({srv()}), {"0" + P7, QString::number(room + 1) + P7});
        row("oldest dropped", one + strangers(room + 1) << m({srv()}), {"0" + P7});
        row("refresh keeps", one + strangers(200) + one + strangers(200, 200) << m({srv()}),
            {"0" + P7, "201" + P7, "402" + P7});
    }

    void feeds()
    {
        QFETCH(QByteArrayList, packets);
        QFETCH(QList<int>, at);
        QFETCH(QStringList, expected);
        BrowseCache cache;
        QStringList got;
        for (int i = 0; i < packets.size(); ++i) {
            const std::int64_t now = 1'700'000'000'000 + (at.isEmpty() ? i : at[i]);
            for (const RemoteDevice &d : cache.feed(view(packets[i]), now))
                got << QStringLiteral("%1 %2|%3|%4|%5").arg(i).arg(d.name, d.host).arg(d.port).arg(d.ip);
            QVERIFY(cache.size() <= kMaxCachedRecords);
        }
        QCOMPARE(got, expected);
    }

    // The browser over time. Steps: "t<ms>" asks what is due then ("?" and
    // the types asked, "+n" known answers listed), "F"/"G" for each phone
    // found or gone, "-" for nothing; heard: "p", "s", "a" the PTR, SRV and
    // A alone as one-shot replies carry them (TTL 10 s), "f" an announcement
    // (PTR for 4500 s, SRV and A for 120 s), "b" the PTR's goodbye.
    void browser()
    {
        const std::tuple<const char *, QString, QString> rows[] = {
            {"PTR alone completed", "t0 p t1 s t2 a", "?PTR - ?SRV,TXT - ?A F"},
            {"asked again, less often", "t0 p t1 t999 t1001 t3001", "?PTR - ?SRV,TXT - ?SRV,TXT ?SRV,TXT"},
            {"one-shot TTL cuts nothing", "t0 f p t12000", "?PTR F F ?PTR+1 F"},
            {"refreshed before expiry", "t0 f t96000 f t121000", "?PTR F ?PTR,SRV,A+1 F F ?PTR+1 F"},
            {"goodbye", "t0 f b", "?PTR F G"},
            {"expiry", "t0 f t120000", "?PTR F ?PTR,SRV,TXT+1 G"},
        };
        const QMap<QString, QByteArray> heard{
            {"p", m({ptr(10)})},
            {"s", m({rr(kPixel, kTypeSrv, u32(0) + u16(53319) + name("pixel.local"), 10, true)})},
            {"a", m({a(7, 10)})},
            {"f", full()},
            {"b", m({ptr(0)})}};
        const QMap<int, QString> types{
            {kTypePtr, "PTR"}, {kTypeSrv, "SRV"}, {kTypeTxt, "TXT"}, {kTypeA, "A"}};
        for (const auto &[title, steps, expected] : rows) {
            Browser browser;
            QStringList got;
            std::int64_t now = 0;
            for (const QString &step : steps.split(' ')) {
                QString said;
                BrowseNews news;
                if (step[0] == 't') {
                    now = step.mid(1).toInt();
                    auto due = browser.due(now, false);
                    news = due.news;
                    QVERIFY(due.nextMs > now);
                    if (const auto h = readHeader(due.query)) {
                        QStringList asked;
                        std::size_t at = kHeaderSize;
                        walkQuestions(due.query, &at, h->questions,
                                      [&](const MdnsEntry &q) { return asked << types.value(q.type), true; });
                        said = "?" + asked.join(',') + (h->answers ? "+" + QString::number(h->answers) : "");
                    }
                } else {
                    news = browser.feed(view(heard[step]), now);
                }
                const QString fg = QString(int(news.found.size()), 'F') + QString(int(news.gone.size()), 'G');
                said += (said.isEmpty() || fg.isEmpty() ? "" : " ") + fg;
                got << (said.isEmpty() ? "-" : said);
            }
            QVERIFY2(got.join(' ') == expected, qPrintable(title + (": " + got.join(' '))));
        }
    }
};

QTEST_GUILESS_MAIN(MdnsCacheTest)
#include "tst_mdns_cache.moc"
