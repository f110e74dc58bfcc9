#include "dns_codec.h"
#include "dns_test_support.h"
#include "mdns_browser.h"
#include "socket.h"

#include <QtTest>

#include <string>
#include <vector>

using namespace mdns;
using dnstest::view;

namespace {
// One record of a hand-made reply: "PTR owner target", "SRV owner host port",
// "A owner address", "TXT owner"; a leading "auth:" or "add:" picks the
// section (answers otherwise).
struct PlannedRecord
{
    MdnsEntryKind section;
    std::string type, owner, target;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
};

PlannedRecord parse(QString line)
{
    PlannedRecord s;
    s.section = MdnsEntryKind::Answer;
    if (line.startsWith("auth:"))
        s.section = MdnsEntryKind::Authority;
    if (line.startsWith("add:"))
        s.section = MdnsEntryKind::Additional;
    if (s.section != MdnsEntryKind::Answer)
        line = line.section(':', 1);
    const QStringList parts = line.split('|');
    s.type = parts[0].toStdString();
    s.owner = parts.value(1).toStdString();
    s.target = parts.value(2).toStdString();
    if (s.type == "SRV")
        s.port = std::uint16_t(parts.value(3).toUInt());
    if (s.type == "A")
        sock::parseIPv4(s.target, &s.address);
    return s;
}

QByteArray reply(int id, const QStringList &lines, bool withQuestion = false)
{
    std::array<std::uint8_t, 4096> buffer{};
    NameCompressionTable table;
    std::vector<PlannedRecord> planned;
    for (const QString &l : lines)
        planned.push_back(parse(l));
    Header h;
    h.id = std::uint16_t(id);
    h.flags = kFlagsAuthoritativeResponse;
    h.questions = withQuestion ? 1 : 0;
    WritePos pos = kHeaderSize;
    if (withQuestion) {
        pos = writeName(buffer, pos, kServiceType, &table);
        pos = writeU16(buffer, pos, kTypePtr);
        pos = writeU16(buffer, pos, kClassIn);
    }
    for (MdnsEntryKind section :
         {MdnsEntryKind::Answer, MdnsEntryKind::Authority, MdnsEntryKind::Additional}) {
        for (const PlannedRecord &s : planned) {
            if (s.section != section)
                continue;
            MdnsRecord r;
            r.owner = s.owner;
            r.ttl = 120;
            r.target = s.target;
            r.port = s.port;
            r.ipv4 = s.address;
            r.type = s.type == "PTR"   ? kTypePtr
                     : s.type == "SRV" ? kTypeSrv
                     : s.type == "A"   ? kTypeA
                                       : kTypeAaaa;
            pos = writeRecord(buffer, pos, r, &table);
            if (section == MdnsEntryKind::Answer)
                ++h.answers;
            else if (section == MdnsEntryKind::Authority)
                ++h.authorities;
            else
                ++h.additionals;
        }
    }
    writeHeader(buffer, 0, h);
    return QByteArray(reinterpret_cast<const char *>(buffer.data()), qsizetype(*pos));
}

const QString kPtr = "PTR|_peerharbor._tcp.local.|";
} // namespace

class MdnsBrowserTest : public QObject
{
    Q_OBJECT

private slots:
    void query_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<bool>("fromMdnsPort");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray name = QByteArray("\x0b_peerharbor\x04_tcp\x05local", 23) + QByteArray(1, '\0');
        QTest::newRow("first cycle, one-shot")
            << 1 << false
            << QByteArray::fromHex("000100000001000000000000") + name + QByteArray::fromHex("000c8001");
        QTest::newRow("from the mDNS port")
            << 0xABCD << true
            << QByteArray::fromHex("abcd00000001000000000000") + name + QByteArray::fromHex("000c0001");
    }

    void query()
    {
        QFETCH(int, id);
        QFETCH(bool, fromMdnsPort);
        QFETCH(QByteArray, expected);
        const auto q = buildBrowseQuery(std::uint16_t(id), fromMdnsPort);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(q.data()), qsizetype(q.size())), expected);
    }

    void cycleIdentifierWraps()
    {
        QCOMPARE(nextCycleId(1), std::uint16_t(2));
        QCOMPARE(nextCycleId(65535), std::uint16_t(0));
        QCOMPARE(nextCycleId(0), std::uint16_t(1));
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("cycle");
        QTest::addColumn<QStringList>("expected"); // name|host|port|ip per device

        const QStringList typical{kPtr + "Pixel 7._peerharbor._tcp.local.",
                                  "add:SRV|Pixel 7._peerharbor._tcp.local.|pixel.local.|53319",
                                  "add:TXT|Pixel 7._peerharbor._tcp.local.",
                                  "add:A|pixel.local.|198.51.100.7"};
        const QString pixel = "Pixel 7|pixel.local.|53319|198.51.100.7";
        QTest::newRow("PTR answer, SRV TXT A additional") << reply(5, typical) << 5 << QStringList{pixel};
        QTest::newRow("with the question repeated") << reply(5, typical, true) << 5 << QStringList{pixel};
        QTest::newRow("A before SRV")
            << reply(5, {kPtr + "Pixel 7._peerharbor._tcp.local.", "add:A|pixel.local.|198.51.100.7",
                         "add:SRV|Pixel 7._peerharbor._tcp.local.|pixel.local.|53319"})
            << 5 << QStringList{pixel};
        QTest::newRow("everything before the PTR, all in the authority section")
            << reply(5, {"auth:A|pixel.local.|198.51.100.7",
                         "auth:SRV|Pixel 7._peerharbor._tcp.local.|pixel.local.|53319",
                         "auth:" + kPtr + "Pixel 7._peerharbor._tcp.local."})
            << 5 << QStringList{pixel};
        QTest::newRow("two instances, records interleaved")
            << reply(9, {kPtr + "Pixel 7._peerharbor._tcp.local.", kPtr + "Tablet._peerharbor._tcp.local.",
                         "add:SRV|Tablet._peerharbor._tcp.local.|tab.local.|40000",
                         "add:A|pixel.local.|198.51.100.7", "add:A|tab.local.|198.51.100.8",
                         "add:SRV|Pixel 7._peerharbor._tcp.local.|pixel.local.|53319"})
            << 9 << QStringList{pixel, "Tablet|tab.local.|40000|198.51.100.8"};
        QTest::newRow("owner names in another letter case")
            << reply(5, {kPtr + "Pixel 7._peerharbor._tcp.local.",
                         "add:SRV|PIXEL 7._PeerHarbor._tcp.local.|Pixel.Local.|53319",
                         "add:A|PIXEL.local.|198.51.100.7"})
            << 5 << QStringList{"Pixel 7|Pixel.Local.|53319|198.51.100.7"};
        QTest::newRow("the same instance twice") << reply(5, typical + typical) << 5 << QStringList{pixel};
        QTest::newRow("own announcement")
            << reply(5, {kPtr + "Windows KAVELTOR Companion._peerharbor._tcp.local.",
                         "add:SRV|Windows KAVELTOR Companion._peerharbor._tcp.local.|k.local.|53319",
                         "add:A|k.local.|198.51.100.2"})
            << 5 << QStringList{};
        QTest::newRow("SRV of another instance")
            << reply(5, {kPtr + "Pixel 7._peerharbor._tcp.local.",
                         "add:SRV|Other._peerharbor._tcp.local.|pixel.local.|53319",
                         "add:A|pixel.local.|198.51.100.7"})
            << 5 << QStringList{};
        QTest::newRow("A of another host")
            << reply(5, {kPtr + "Pixel 7._peerharbor._tcp.local.",
                         "add:SRV|Pixel 7._peerharbor._tcp.local.|pixel.local.|53319",
                         "add:A|other.local.|198.51.100.7"})
            << 5 << QStringList{};
        QTest::newRow("port 0") << reply(5, {kPtr + "Pixel 7._peerharbor._tcp.local.",
                                             "add:SRV|Pixel 7._peerharbor._tcp.local.|pixel.local.|0",
                                             "add:A|pixel.local.|198.51.100.7"})
                                << 5 << QStringList{};
        QTest::newRow("no PTR") << reply(5, typical.mid(1)) << 5 << QStringList{};
        QTest::newRow("reply to the previous cycle") << reply(4, typical) << 5 << QStringList{};
        QTest::newRow("reply to the next cycle") << reply(6, typical) << 5 << QStringList{};
        QTest::newRow("cycle 0 takes any identifier") << reply(65535, typical) << 0 << QStringList{pixel};
        QTest::newRow("cycle 65535") << reply(65535, typical) << 65535 << QStringList{pixel};
        QTest::newRow("cycle 1 after the wrap") << reply(0, typical) << 1 << QStringList{};

        // The A record's data cut to three bytes: no address, no device.
        QByteArray shortA = reply(5, typical);
        shortA[shortA.size() - 5] = 3;
        shortA.chop(1);
        QTest::newRow("A record of three bytes") << shortA << 5 << QStringList{};
        QTest::newRow("cut inside the last record") << reply(5, typical).chopped(2) << 5 << QStringList{};
        // Counts larger than the message: what was complete still counts.
        QByteArray inflated = reply(5, typical);
        inflated[6] = char(0xff);
        QTest::newRow("answer count too large") << inflated << 5 << QStringList{pixel};
        QTest::newRow("header only") << reply(5, {}) << 5 << QStringList{};
        QTest::newRow("less than a header") << QByteArray("\x00\x05", 2) << 5 << QStringList{};
    }

    void replies()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, cycle);
        QFETCH(QStringList, expected);
        const QList<RemoteDevice> devices = handleBrowseReply(view(message), std::uint16_t(cycle), 1234567);
        QStringList got;
        for (const RemoteDevice &d : devices) {
            got << QStringLiteral("%1|%2|%3|%4").arg(d.name, d.host).arg(d.port).arg(d.ip);
            QCOMPARE(d.lastSeen, qint64(1234567));
            QVERIFY(d.id.isEmpty() && d.sharedSecret.isEmpty() && !d.paired && !d.sending);
        }
        QCOMPARE(got, expected);
    }

    void instanceLabel_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("label");
        QTest::newRow("plain") << "Pixel._peerharbor._tcp.local."
                               << "Pixel";
        QTest::newRow("dots and umlauts") << "Jörg's Handy v1.2._peerharbor._tcp.local."
                                          << "Jörg's Handy v1.2";
        QTest::newRow("nothing before") << "._x.local."
                                        << "._x.local.";
        QTest::newRow("no marker") << "plain.local."
                                   << "plain.local.";
    }

    void instanceLabel()
    {
        QFETCH(QString, target);
        QFETCH(QString, label);
        QCOMPARE(mdns::instanceLabel(target), label);
    }
};

QTEST_GUILESS_MAIN(MdnsBrowserTest)
#include "tst_mdns_browser.moc"
