#include "dns_codec.h"
#include "dns_test_support.h"
#include "mdns_responder.h"
#include "mdns_socket.h"

#include <QtTest>

#include <string>
#include <vector>

using namespace mdns;
using dnstest::bytes;
using dnstest::view;

namespace {
QByteArray u16(int v)
{
    return QByteArray(1, char(v >> 8)) + QByteArray(1, char(v & 0xff));
}
QByteArray u32(std::uint32_t v)
{
    return u16(int(v >> 16)) + u16(int(v & 0xffff));
}

QByteArray encodedName(const QString &dotted)
{
    QByteArray out;
    for (const QString &label : dotted.split('.', Qt::SkipEmptyParts)) {
        out.append(char(label.toUtf8().size()));
        out.append(label.toUtf8());
    }
    return out + QByteArray(1, '\0');
}

struct Question
{
    QString name;
    int type;
    int rrclass;
};

QByteArray query(const QList<Question> &questions, int flags = 0, int id = 0)
{
    QByteArray m = u16(id) + u16(flags) + u16(int(questions.size())) + u16(0) + u16(0) + u16(0);
    for (const Question &q : questions)
        m += encodedName(q.name) + u16(q.type) + u16(q.rrclass);
    return m;
}

constexpr std::uint32_t kAddress = 0xC6336407; // 198.51.100.7

ReceivedFrom fromPort(std::uint16_t port, int interfaceIndex = 2)
{
    ReceivedFrom from;
    from.address = 0xC6336409;
    from.port = port;
    from.interfaceIndex = interfaceIndex;
    from.localAddress = kAddress;
    return from;
}

struct Record
{
    int kind;
    int type;
    int rrclass;
    std::uint32_t ttl;
    QString owner;
};

int collectRecord(const MdnsEntry &e, void *context)
{
    static_cast<QList<Record> *>(context)->append(
        {int(e.kind), e.type, e.rrclass, e.ttl, QString::fromUtf8(readName(e.message, e.nameOffset).view())});
    return 0;
}
} // namespace

class MdnsResponderTest : public QObject
{
    Q_OBJECT

private slots:
    // The announcement as phones have always received it, byte for byte.
    void announcementBytes()
    {
        PublishedService service;
        service.address = kAddress;
        const QByteArray host = "kaveltor-companion";
        const int h = int(host.size());
        QByteArray expected;
        expected += QByteArray::fromHex("000084000000000100000003");
        expected += "\x0b_peerharbor\x04_tcp\x05local" + QByteArray(1, '\0');
        expected += u16(12) + u16(1) + u32(120) + u16(29);
        expected += "\x1aWindows KAVELTOR Companion" + QByteArray::fromHex("c00c");
        expected += QByteArray::fromHex("c02e") + u16(33) + u16(0x8001) + u32(120) + u16(9 + h);
        expected += u16(0) + u16(0) + QByteArray::fromHex("d047");
        expected += char(h) + host + QByteArray::fromHex("c01d");
        expected += QByteArray::fromHex("c05d") + u16(1) + u16(0x8001) + u32(120) + u16(4) + u32(kAddress);
        expected += QByteArray::fromHex("c02e") + u16(16) + u16(0x8001) + u32(120) + u16(15);
        expected += "\x0e"
                    "device=windows";
        QCOMPARE(expected.size(), 139 + h);
        QCOMPARE(bytes(buildAnnouncement(service)), expected);
    }

    void questions_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("sourcePort");
        QTest::addColumn<bool>("multicast");
        QTest::addColumn<bool>("unicast");
        const QString service = kServiceType;
        for (int type : {12, 33, 16, 1, 255})
            QTest::addRow("type %d for the service", type)
                << query({{service, type, 1}}) << 5353 << true << false;
        QTest::newRow("class ANY") << query({{service, 12, 255}}) << 5353 << true << false;
        QTest::newRow("unicast bit from 5353: still multicast")
            << query({{service, 12, 0x8001}}) << 5353 << true << false;
        QTest::newRow("other letter case")
            << query({{"_PeerHarbor._tcp.local.", 12, 1}}) << 5353 << false << false;
        QTest::newRow("enumeration name")
            << query({{"_services._dns-sd._udp.local.", 12, 1}}) << 5353 << false << false;
        QTest::newRow("enumeration name, other case")
            << query({{"_SERVICES._DNS-SD._UDP.local.", 12, 1}}) << 5353 << false << false;
        QTest::newRow("another service") << query({{"_http._tcp.local.", 12, 1}}) << 5353 << false << false;
        QTest::newRow("instance name")
            << query({{"Windows KAVELTOR Companion._peerharbor._tcp.local.", 33, 1}}) << 5353 << false
            << false;
        QTest::newRow("class 3 stops before the service")
            << query({{"_http._tcp.local.", 12, 3}, {service, 12, 1}}) << 5353 << false << false;
        QTest::newRow("class 3 with the top bit stops too")
            << query({{"_http._tcp.local.", 12, 0x8003}, {service, 12, 1}}) << 5353 << false << false;
        QTest::newRow("class 3 after the service: already answered")
            << query({{service, 12, 1}, {"_http._tcp.local.", 12, 3}}) << 5353 << true << false;
        QTest::newRow("second question matches")
            << query({{"_http._tcp.local.", 12, 1}, {service, 12, 1}}) << 5353 << true << false;
        QTest::newRow("response repeating the question")
            << query({{service, 12, 1}}, 0x8400) << 5353 << false << false;
        QByteArray answerOnly = u16(0) + u16(0x8400) + u16(0) + u16(1) + u16(0) + u16(0) +
                                encodedName(service) + u16(12) + u16(1) + u32(120) + u16(2) +
                                QByteArray::fromHex("c00c");
        QTest::newRow("response naming the service") << answerOnly << 5353 << false << false;
        QTest::newRow("question cut short") << query({{service, 12, 1}}).chopped(1) << 5353 << false << false;
        QTest::newRow("header only") << query({}) << 5353 << false << false;
        QTest::newRow("less than a header") << QByteArray(5, '\0') << 5353 << false << false;
        QTest::newRow("one-shot query") << query({{service, 12, 0x8001}}, 0, 4711) << 40000 << true << true;
        QTest::newRow("one-shot query, another service")
            << query({{"_http._tcp.local.", 12, 1}}, 0, 4711) << 40000 << false << false;
    }

    void questions()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, sourcePort);
        QFETCH(bool, multicast);
        QFETCH(bool, unicast);
        MdnsResponder responder;
        const auto out = responder.handleDatagram(view(message), fromPort(std::uint16_t(sourcePort)), 0);
        QCOMPARE(int(out.size()), int(multicast) + int(unicast));
        if (multicast) {
            QCOMPARE(out[0].address, kGroupIPv4Address);
            QCOMPARE(out[0].port, kPort);
            PublishedService published;
            published.address = kAddress;
            QCOMPARE(out[0].bytes, buildAnnouncement(published));
        }
        if (unicast) {
            QCOMPARE(out[1].address, std::uint32_t(0xC6336409));
            QCOMPARE(out[1].port, std::uint16_t(sourcePort));
        }
    }

    // A one-shot querier is answered like a plain DNS server would: its
    // identifier and question back, short TTLs, no cache-flush bits.
    void legacyReply()
    {
        MdnsResponder responder;
        const QByteArray q = query({{kServiceType, 12, 0x8001}}, 0, 0xBEEF);
        const auto out = responder.handleDatagram(view(q), fromPort(50000), 0);
        QCOMPARE(out.size(), std::size_t(2));
        const Bytes reply(out[1].bytes);
        const auto header = readHeader(reply);
        QVERIFY(header);
        QCOMPARE(header->id, std::uint16_t(0xBEEF));
        QCOMPARE(header->flags, kFlagsAuthoritativeResponse);
        QCOMPARE(header->questions, std::uint16_t(1));
        QCOMPARE(readName(reply, kHeaderSize).view(), std::string_view(kServiceType));
        std::size_t offset = *skipName(reply, kHeaderSize);
        Cursor c(reply, offset);
        QCOMPARE(*c.u16(), kTypePtr);
        QCOMPARE(*c.u16(), kClassIn);
        offset = c.offset();
        QList<Record> records;
        QCOMPARE(walkRecordSection(reply, &offset, MdnsEntryKind::Answer, header->id, header->answers,
                                   collectRecord, &records),
                 1);
        QCOMPARE(walkRecordSection(reply, &offset, MdnsEntryKind::Additional, header->id, header->additionals,
                                   collectRecord, &records),
                 3);
        QCOMPARE(offset, reply.size());
        const QList<int> types{12, 33, 1, 16};
        for (qsizetype i = 0; i < records.size(); ++i) {
            QCOMPARE(records[i].type, types[i]);
            QCOMPARE(records[i].rrclass, 1);
            QVERIFY(records[i].ttl <= kLegacyReplyMaxTtl && records[i].ttl > 0);
        }
        QCOMPARE(records[1].owner, QStringLiteral("Windows KAVELTOR Companion._peerharbor._tcp.local."));
        QCOMPARE(records[2].owner, QString::fromLatin1(kHostName));
    }

    void multicastAtMostOncePerSecond()
    {
        MdnsResponder responder;
        const QByteArray q = query({{kServiceType, 12, 1}});
        auto multicasts = [&](std::int64_t now, int interfaceIndex = 2) {
            int n = 0;
            for (const Datagram &d : responder.handleDatagram(view(q), fromPort(5353, interfaceIndex), now))
                n += d.address == kGroupIPv4Address;
            return n;
        };
        QCOMPARE(multicasts(10000), 1);
        for (std::int64_t t = 10000; t < 11000; t += 50)
            QCOMPARE(multicasts(t), 0);
        QCOMPARE(multicasts(10999), 0);
        QCOMPARE(multicasts(10500, 3), 1); // another network has not heard it
        QCOMPARE(multicasts(11000), 1);
        QCOMPARE(multicasts(11001), 0);
        // Two matching questions in one message: one announcement.
        MdnsResponder fresh;
        QCOMPARE(fresh
                     .handleDatagram(view(query({{kServiceType, 12, 1}, {kServiceType, 33, 1}})),
                                     fromPort(5353), 0)
                     .size(),
                 std::size_t(1));
    }

    void legacyRepliesAreRateLimited()
    {
        MdnsResponder responder;
        const QByteArray q = query({{kServiceType, 12, 0x8001}}, 0, 1);
        auto unicasts = [&](std::int64_t now) {
            int n = 0;
            for (const Datagram &d : responder.handleDatagram(view(q), fromPort(40000), now))
                n += d.address != kGroupIPv4Address;
            return n;
        };
        int sent = 0;
        for (int i = 0; i < 100; ++i)
            sent += unicasts(5000 + i * 5);
        QCOMPARE(sent, kLegacyRepliesPerSecond);
        QCOMPARE(unicasts(6000), 1);
    }

    void announcedAddress_data()
    {
        QTest::addColumn<int>("arrivalIndex");
        QTest::addColumn<quint32>("systemAnswer");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("the system says which of our addresses the sender reaches")
            << 3 << quint32(0xCB007101) << quint32(0xCB007101);
        QTest::newRow("arrival interface, the sender's subnet first") << 3 << 0u << quint32(0xC6336401);
        QTest::newRow("arrival interface without the sender's subnet") << 4 << 0u << quint32(0x0A000001);
        QTest::newRow("unknown arrival: first non-loopback interface that is up")
            << 0 << 0u << quint32(0x0A080001);
    }

    void announcedAddress()
    {
        QFETCH(int, arrivalIndex);
        QFETCH(quint32, systemAnswer);
        QFETCH(quint32, expected);
        // lo with 127.0.0.1 and 127.0.1.1; a down interface; a VPN; a LAN
        // interface with two addresses.
        std::vector<sock::InterfaceAddress> interfaces{
            {1, 0x7F000001, 0xFF000000, true, true, false},  {1, 0x7F000101, 0xFF000000, true, true, false},
            {5, 0x0A090001, 0xFFFF0000, false, false, true}, {6, 0x0A080001, 0xFFFF0000, true, false, false},
            {3, 0xCB007101, 0xFFFFFF00, true, false, true},  {3, 0xC6336401, 0xFFFFFF00, true, false, true},
            {4, 0x0A000001, 0xFFFFFF00, true, false, true}};
        sock::DatagramInfo arrival;
        arrival.sender = 0xC6336409;
        arrival.interfaceIndex = arrivalIndex;
        arrival.localAddress = systemAnswer;
        QCOMPARE(quint32(mdns::announcedAddress(arrival, interfaces)), expected);
    }

    void announcedAddressLastResort()
    {
        // Only loopback addresses, 127.0.1.1 included: never announce that.
        std::vector<sock::InterfaceAddress> interfaces{{1, 0x7F000101, 0xFF000000, true, true, false},
                                                       {9, 0x7F000102, 0xFF000000, true, false, false}};
        QCOMPARE(mdns::announcedAddress({}, interfaces), kLoopbackAddress);
        QCOMPARE(mdns::announcedAddress({}, {}), kLoopbackAddress);
    }
};

QTEST_GUILESS_MAIN(MdnsResponderTest)
#include "tst_mdns_responder.moc"
