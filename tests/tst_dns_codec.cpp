#include "dns_codec.h"
#include "dns_test_support.h"

#include <QtTest>

#include <string>
#include <vector>

using namespace mdns;
using dnstest::bytes;
using dnstest::view;

namespace {
// Labels as they sit on the wire, for hand-made messages.
QByteArray labels(const QStringList &parts)
{
    QByteArray out;
    for (const QString &p : parts) {
        out.append(char(p.size()));
        out.append(p.toLatin1());
    }
    return out;
}

QByteArray header(int qd, int an, int ns, int ar, int id = 0, int flags = 0)
{
    QByteArray h;
    for (int v : {id, flags, qd, an, ns, ar}) {
        h.append(char(v >> 8));
        h.append(char(v & 0xff));
    }
    return h;
}

QByteArray pointer(int offset)
{
    QByteArray p;
    p.append(char(0xC0 | (offset >> 8)));
    p.append(char(offset & 0xff));
    return p;
}

struct Collected
{
    std::vector<MdnsEntry> entries;
    int stopAfter = -1;
};

int collect(const MdnsEntry &entry, void *context)
{
    auto *c = static_cast<Collected *>(context);
    c->entries.push_back(entry);
    return c->stopAfter >= 0 && int(c->entries.size()) >= c->stopAfter;
}
} // namespace

class DnsCodecTest : public QObject
{
    Q_OBJECT

private slots:
    void writeNameWithoutTable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("capacity");
        QTest::addColumn<QByteArray>("expected"); // empty: the write fails
        const QByteArray service = labels({"_peerharbor", "_tcp", "local"}) + QByteArray(1, '\0');
        QTest::newRow("trailing dot") << "_peerharbor._tcp.local." << 64 << service;
        QTest::newRow("no trailing dot") << "_peerharbor._tcp.local" << 64 << service;
        QTest::newRow("root") << "." << 64 << QByteArray(1, '\0');
        QTest::newRow("exactly fits") << "_peerharbor._tcp.local" << 24 << service;
        QTest::newRow("one byte short") << "_peerharbor._tcp.local" << 23 << QByteArray();
        QTest::newRow("empty label inside") << "a..local" << 64 << QByteArray();
        QTest::newRow("63-byte label") << QString(63, 'x') + ".local" << 128
                                       << labels({QString(63, 'x'), "local"}) + QByteArray(1, '\0');
        QTest::newRow("64-byte label would read as a pointer")
            << QString(64, 'x') + ".local" << 128 << QByteArray();
    }

    void writeNameWithoutTable()
    {
        QFETCH(QString, name);
        QFETCH(int, capacity);
        QFETCH(QByteArray, expected);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity));
        const std::string text = name.toStdString();
        const WritePos end = writeName(buffer, 0, text, nullptr);
        if (expected.isEmpty()) {
            QVERIFY(!end);
            return;
        }
        QVERIFY(end);
        QCOMPARE(bytes(std::span(buffer).first(*end)), expected);
    }

    void writeNameCompressesAgainstEarlierNames()
    {
        std::array<std::uint8_t, kMessageBufferSize> buffer{};
        NameCompressionTable table;
        WritePos pos = writeName(buffer, kHeaderSize, "_peerharbor._tcp.local.", &table);
        QCOMPARE(*pos, std::size_t(36));
        pos = writeName(buffer, pos, "Windows KAVELTOR Companion._peerharbor._tcp.local.", &table);
        QVERIFY(pos);
        const QByteArray expected = labels({"Windows KAVELTOR Companion"}) + pointer(12);
        QCOMPARE(bytes(std::span(buffer).subspan(36, *pos - 36)), expected);
        // A suffix that stops short of a written name's end is not that name.
        const std::size_t before = *pos;
        pos = writeName(buffer, pos, "_tcp", &table);
        QCOMPARE(bytes(std::span(buffer).subspan(before, *pos - before)),
                 labels({"_tcp"}) + QByteArray(1, '\0'));
        // Names are compared exactly: the table holds only what we wrote.
        const std::size_t upper = *pos;
        pos = writeName(buffer, pos, "LOCAL", &table);
        QCOMPARE(bytes(std::span(buffer).subspan(upper, *pos - upper)),
                 labels({"LOCAL"}) + QByteArray(1, '\0'));
    }

    void compressionTableKeepsSixteenSlots_data()
    {
        QTest::addColumn<int>("between");
        QTest::addColumn<bool>("compressed");
        // "first.local" fills two slots; each name between fills one more.
        QTest::newRow("14 labels later") << 14 << true;
        QTest::newRow("15 labels later: first slot overwritten, suffix slot kept") << 15 << true;
        QTest::newRow("16 labels later: both overwritten") << 16 << false;
        QTest::newRow("20 labels later") << 20 << false;
    }

    void compressionTableKeepsSixteenSlots()
    {
        QFETCH(int, between);
        QFETCH(bool, compressed);
        std::array<std::uint8_t, kMessageBufferSize> buffer{};
        NameCompressionTable table;
        WritePos pos = writeName(buffer, kHeaderSize, "first.local", &table);
        for (int i = 0; i < between; ++i)
            pos = writeName(buffer, pos, "n" + std::to_string(i), &table);
        QVERIFY(table.count <= kCompressionSlots);
        const std::size_t start = *pos;
        pos = writeName(buffer, pos, "local", &table);
        const QByteArray written = bytes(std::span(buffer).subspan(start, *pos - start));
        QCOMPARE(written, compressed ? pointer(18) : labels({"local"}) + QByteArray(1, '\0'));
    }

    void readName_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("skipTo"); // -1: skipName fails too

        const QByteArray h = header(0, 0, 0, 0);
        const QByteArray service = labels({"_peerharbor", "_tcp", "local"}) + QByteArray(1, '\0');
        QTest::newRow("plain") << h + service << 12 << "_peerharbor._tcp.local." << 36;
        QTest::newRow("compressed tail")
            << h + service + labels({"Pixel"}) + pointer(12) << 36 << "Pixel._peerharbor._tcp.local." << 44;
        QTest::newRow("root") << h + QByteArray(1, '\0') << 12 << "" << 13;
        QTest::newRow("pointer to itself") << h + pointer(12) << 12 << "" << -1;
        QTest::newRow("two pointers in a circle") << h + pointer(14) + pointer(12) << 12 << "" << -1;
        QTest::newRow("label then pointer back to it") << h + labels({"a"}) + pointer(12) << 12 << "" << -1;
        QTest::newRow("pointer past the end") << h + pointer(200) << 12 << "" << -1;
        QTest::newRow("half a pointer") << h + QByteArray(1, char(0xC0)) << 12 << "" << -1;
        QTest::newRow("label past the end") << h + QByteArray("\x05loc", 4) << 12 << "" << -1;
        QTest::newRow("no terminator") << h + labels({"local"}) << 12 << "" << -1;
        QTest::newRow("offset past the end") << h << 40 << "" << -1;
        QTest::newRow("reserved label type 0x40") << h +
                                                         QByteArray("\x41"
                                                                    "a",
                                                                    2) +
                                                         QByteArray(1, '\0')
                                                  << 12 << "" << -1;

        // A chain of pointers in front of one label: 16 jumps are allowed.
        for (int jumps : {16, 17}) {
            QByteArray m = h + labels({"x"}) + QByteArray(1, '\0'); // name at 12
            int target = 12;
            for (int i = 0; i < jumps; ++i) {
                const int here = int(m.size());
                m += pointer(target);
                target = here;
            }
            QTest::addRow("chain of %d jumps", jumps)
                << m << target << (jumps <= kMaxPointerJumps ? "x." : "")
                << (jumps <= kMaxPointerJumps ? target + 2 : -1);
        }

        for (int count : {64, 65}) {
            QStringList many;
            for (int i = 0; i < count; ++i)
                many << "a";
            QTest::addRow("%d labels", count) << h + labels(many) + QByteArray(1, '\0') << 12
                                              << (count <= kMaxLabels ? many.join('.') + "." : QString())
                                              << (count <= kMaxLabels ? 12 + 2 * count + 1 : -1);
        }
        // Five labels of 63 bytes: well formed, but longer than the text holds.
        QStringList longLabels(5, QString(63, 'y'));
        QTest::newRow("cut at 256 bytes")
            << h + labels(longLabels) + QByteArray(1, '\0') << 12
            << (QStringList(4, QString(63, 'y')).join('.') + ".") << 12 + 5 * 64 + 1;
    }

    void readName()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, offset);
        QFETCH(QString, expected);
        QFETCH(int, skipTo);
        const NameText text = mdns::readName(view(message), std::size_t(offset));
        QVERIFY(text.length <= kMaxNameText);
        QCOMPARE(QString::fromLatin1(text.view().data(), qsizetype(text.length)), expected);
        const auto skipped = skipName(view(message), std::size_t(offset));
        QCOMPARE(skipped ? int(*skipped) : -1, skipTo);
    }

    void nameEqualsIgnoreCase_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("equal");
        QTest::addColumn<int>("after");
        const QByteArray h = header(0, 0, 0, 0);
        QTest::newRow("same") << h + labels({"_services", "_dns-sd", "_udp", "local"}) + QByteArray(1, 0)
                              << 12 << true << 42;
        QTest::newRow("other case") << h + labels({"_SERVICES", "_DNS-SD", "_udp", "Local"}) +
                                           QByteArray(1, 0)
                                    << 12 << true << 42;
        QTest::newRow("compressed tail") << h + labels({"_udp", "local"}) + QByteArray(1, 0) +
                                                labels({"_services", "_dns-sd"}) + pointer(12)
                                         << 24 << true << 44;
        QTest::newRow("one label short")
            << h + labels({"_services", "_dns-sd", "_udp"}) + QByteArray(1, 0) << 12 << false << 0;
        QTest::newRow("one label more")
            << h + labels({"_services", "_dns-sd", "_udp", "local", "x"}) + QByteArray(1, 0) << 12 << false
            << 0;
        QTest::newRow("same length, other bytes")
            << h + labels({"_services", "_dns-sd", "_tcp", "local"}) + QByteArray(1, 0) << 12 << false << 0;
        QTest::newRow("loop") << h + pointer(12) << 12 << false << 0;
    }

    void nameEqualsIgnoreCase()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, offset);
        QFETCH(bool, equal);
        QFETCH(int, after);
        // The reference sits behind compression as well.
        const QByteArray reference = header(1, 0, 0, 0) + labels({"local"}) + QByteArray(1, 0) +
                                     labels({"_services", "_dns-sd", "_udp"}) + pointer(12);
        const auto result =
            mdns::nameEqualsIgnoreCase(view(message), std::size_t(offset), view(reference), 19);
        QCOMPARE(bool(result), equal);
        if (equal)
            QCOMPARE(int(*result), after);
    }

    void txtRecord_data()
    {
        QTest::addColumn<QStringList>("entries"); // key=value per TXT entry, "-" for a non-TXT record
        QTest::addColumn<QByteArray>("data");     // empty with written false: nothing written
        QTest::addColumn<bool>("fits");
        QTest::newRow("one entry") << QStringList{"device=windows"}
                                   << QByteArray("\x0e"
                                                 "device=windows")
                                   << true;
        QTest::newRow("two entries, others passed over") << QStringList{"-", "a=1", "-", "bb=22"}
                                                         << QByteArray("\x03"
                                                                       "a=1"
                                                                       "\x05"
                                                                       "bb=22")
                                                         << true;
        QTest::newRow("no TXT entry") << QStringList{"-", "-"} << QByteArray() << true;
        QTest::newRow("empty list") << QStringList{} << QByteArray() << true;
        QTest::newRow("255 bytes") << QStringList{"k=" + QString(253, 'v')}
                                   << QByteArray("\xff"
                                                 "k=") +
                                          QByteArray(253, 'v')
                                   << true;
        QTest::newRow("256 bytes cannot be said in one length byte")
            << QStringList{"k=" + QString(254, 'v')} << QByteArray() << false;
    }

    void txtRecord()
    {
        QFETCH(QStringList, entries);
        QFETCH(QByteArray, data);
        QFETCH(bool, fits);
        std::vector<std::string> keys, values;
        for (const QString &e : entries) {
            keys.push_back(e.section('=', 0, 0).toStdString());
            values.push_back(e.section('=', 1).toStdString());
        }
        std::vector<MdnsRecord> records(std::size_t(entries.size()));
        for (std::size_t i = 0; i < records.size(); ++i) {
            records[i].owner = "inst._peerharbor._tcp.local.";
            records[i].type = entries[qsizetype(i)] == "-" ? kTypeA : kTypeTxt;
            records[i].rrclass = 0;
            records[i].txtKey = keys[i];
            records[i].txtValue = values[i];
        }
        std::array<std::uint8_t, kMessageBufferSize> buffer{};
        NameCompressionTable table;
        const WritePos end = writeTxtRecord(buffer, 0, records, 0x8001 | 0x0100, &table);
        QCOMPARE(bool(end), fits);
        if (!fits)
            return;
        if (data.isEmpty()) {
            QCOMPARE(*end, std::size_t(0));
            QCOMPARE(table.count, 0);
            return;
        }
        Collected c;
        std::size_t offset = 0;
        QCOMPARE(mdns::walkRecordSection(Bytes(buffer.data(), *end), &offset, MdnsEntryKind::Additional, 0, 1,
                                         collect, &c),
                 1);
        QCOMPARE(offset, *end);
        const MdnsEntry &e = c.entries.front();
        QCOMPARE(e.type, kTypeTxt);
        QCOMPARE(e.rrclass, std::uint16_t(0x8001)); // only IN and the flush bit survive
        QCOMPARE(e.ttl, kDefaultTxtTtl);
        QCOMPARE(bytes(Bytes(buffer.data() + e.dataOffset, e.dataLength)), data);
    }

    void writersPassFailureOn()
    {
        std::array<std::uint8_t, 40> buffer{};
        NameCompressionTable table;
        MdnsRecord srv;
        srv.owner = "instance-with-a-long-name._peerharbor._tcp.local.";
        srv.type = kTypeSrv;
        srv.target = "host.local.";
        WritePos pos = writeRecord(buffer, 0, srv, &table);
        QVERIFY(!pos);
        MdnsRecord a;
        a.owner = "h";
        a.type = kTypeA;
        QVERIFY(!writeRecord(buffer, pos, a, &table));
        QVERIFY(!writeTxtRecord(buffer, pos, std::span(&a, 1), kClassIn, &table));
        QVERIFY(!writeU16(buffer, 39, 1));
        QVERIFY(writeU16(buffer, 38, 1));
        // An A record of 4 data bytes fits exactly.
        QCOMPARE(*writeRecord(buffer, 0, a, &table), std::size_t(3 + 10 + 4));
    }

    void walkRecordSection_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<int>("handed");
        QTest::addColumn<QList<int>>("types");
        const QByteArray h = header(0, 3, 0, 0);
        const QByteArray owner = labels({"h", "local"}) + QByteArray(1, 0);
        const QByteArray a = owner + QByteArray("\x00\x01\x80\x01\x00\x00\x00\x78\x00\x04", 10) +
                             QByteArray("\xc6\x33\x64\x07", 4);
        const QByteArray txt =
            pointer(12) + QByteArray("\x00\x10\x00\x01\x00\x00\x00\x78\x00\x02", 10) + QByteArray("\x01x", 2);
        QTest::newRow("three records") << h + a + txt + txt << 3 << -1 << 3 << QList<int>{1, 16, 16};
        QTest::newRow("count larger than the message")
            << h + a + txt << 60000 << -1 << 2 << QList<int>{1, 16};
        QTest::newRow("fixed fields cut off") << h + a + txt.left(8) << 3 << -1 << 1 << QList<int>{1};
        QTest::newRow("data longer than the message")
            << h + a + txt.left(txt.size() - 1) << 3 << -1 << 1 << QList<int>{1};
        QTest::newRow("owner loops") << h + a + pointer(a.size() + 12) + txt.mid(2) << 3 << -1 << 1
                                     << QList<int>{1};
        QTest::newRow("handler stops") << h + a + txt + txt << 3 << 2 << 2 << QList<int>{1, 16};
        QTest::newRow("nothing after the header") << h << 3 << -1 << 0 << QList<int>{};
    }

    void walkRecordSection()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, count);
        QFETCH(int, stopAfter);
        QFETCH(int, handed);
        QFETCH(QList<int>, types);
        Collected c;
        c.stopAfter = stopAfter;
        std::size_t offset = kHeaderSize;
        QCOMPARE(
            mdns::walkRecordSection(view(message), &offset, MdnsEntryKind::Answer, 7, count, collect, &c),
            handed);
        QVERIFY(offset <= std::size_t(message.size()));
        QCOMPARE(int(c.entries.size()), types.size());
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            const MdnsEntry &e = c.entries[i];
            QCOMPARE(int(e.type), types[qsizetype(i)]);
            QCOMPARE(e.id, std::uint16_t(7));
            QVERIFY(e.dataOffset + e.dataLength <= std::size_t(message.size()));
            QVERIFY(e.nameOffset + e.nameLength <= e.dataOffset);
        }
    }
};

QTEST_GUILESS_MAIN(DnsCodecTest)
#include "tst_dns_codec.moc"
