// The pure functions of discovery: the DNS codec, what the responder answers,
// what the browser makes of a reply and which addresses a phone may have.
#include "dns_test_support.h"
#include "mdns_browser.h"
#include "mdns_cache.h"
#include "mdns_responder.h"
#include "mdns_socket.h"

#include <QtTest>

using namespace mdns;
using namespace dnstest;

namespace {
constexpr std::uint32_t kOurs = 0xC6336407; // 198.51.100.7
constexpr std::uint32_t kAsker = 0xC6336409;

// The announcement and the one-shot reply (to identifier 0xBEEF), byte for
// byte: the phones in the field parse exactly these.
const QByteArray kAnnouncement = QByteArray::fromHex(
    "0000840000000001000000030b5f70656572686172626f72045f746370056c6f63616c00000c000100000078001d1a57696e"
    "646f7773204b4156454c544f5220436f6d70616e696f6ec00cc02e0021800100000078001b00000000d047126b6176656c74"
    "6f722d636f6d70616e696f6ec01dc05d00018001000000780004c6336407c02e0010800100000078000f0e6465766963653d"
    "77696e646f7773");
const QByteArray kLegacyReply = QByteArray::fromHex(
    "beef840000010001000000030b5f70656572686172626f72045f746370056c6f63616c00000c0001c00c000c00010000000a"
    "001d1a57696e646f7773204b4156454c544f5220436f6d70616e696f6ec00cc034002100010000000a001b00000000d04712"
    "6b6176656c746f722d636f6d70616e696f6ec01dc063000100010000000a0004c6336407c034001000010000000a000f0e64"
    "65766963653d77696e646f7773");

// The types in the answer and additional sections of m, "(SRV/A)", each
// with ":TTL" where that is not 120.
QString sections(std::span<const std::uint8_t> m)
{
    const QMap<int, QString> names{{1, "A"}, {12, "PTR"}, {16, "TXT"}, {33, "SRV"}, {47, "NSEC"}};
    const auto h = readHeader(m);
    std::size_t at = kHeaderSize;
    walkQuestions(m, &at, h->questions, [](const MdnsEntry &) { return true; });
    QStringList parts[2];
    int n = 0;
    walkRecords(m, &at, h->answers + h->additionals, [&](const MdnsEntry &e) {
        parts[n++ < h->answers ? 0 : 1]
            << names.value(e.type) + (e.ttl == 120 ? "" : ":" + QString::number(e.ttl));
    });
    return "(" + parts[0].join(',') + "/" + parts[1].join(',') + ")";
}

// What the responder sends back: "M" for the announcement to the group, "Q"
// for it to the asker, "U" for the one-shot reply to the asker; anything
// else as "m" (group) or "u" (asker) and its sections. What waits follows
// "~", with "+ms" unless it waited 20-120 ms.
QString answer(MdnsResponder &r, const QByteArray &m, int port, std::int64_t now = 0, int via = 2,
               bool onLink = true)
{
    QString sent;
    std::vector<Datagram> out =
        r.handleDatagram(view(m), {kAsker, std::uint16_t(port), via, kOurs, onLink}, now);
    if (const auto at = r.nextDueMs()) {
        const auto wait = *at - now;
        const auto later = r.due(*at);
        out.push_back({0, 0, {'~'}});
        if (wait < kSharedAnswerMinDelayMs || wait > kSharedAnswerMaxDelayMs)
            out.back().bytes.push_back('+'), out.back().port = std::uint16_t(wait);
        out.insert(out.end(), later.begin(), later.end());
    }
    for (const Datagram &d : out) {
        if (d.address == 0) {
            sent += d.bytes.size() > 1 ? "~+" + QString::number(d.port) : "~";
            continue;
        }
        const QByteArray b = bytes(d.bytes);
        const bool group = d.address == protocol::kMdnsGroup && d.port == protocol::kMdnsPort;
        const bool asker = d.address == kAsker && d.port == port;
        if (b == kAnnouncement || (asker && b == kLegacyReply))
            sent += group ? 'M' : asker ? (b == kLegacyReply ? 'U' : 'Q') : '?';
        else
            sent += (group ? "m" : asker ? "u" : "?") + sections(d.bytes);
    }
    return sent;
}

const QString kInstance = QString(protocol::kInstanceLabel) + "." + kService, kHost = protocol::kHostName;
const auto ask = [](const QByteArray &q, int n = 1, int flags = 0) { return header(0xBEEF, flags, n) + q; };
const auto ptr = [](const QString &label) { return record(kService, 12, name(label + "." + kService)); };
const auto srv = [](const QString &label, const QString &host, int port) {
    return record(label + "." + kService, 33, u32(0) + u16(port) + name(host));
};
// The first record answers, the others are additional.
const auto reply = [](int id, const QByteArrayList &r) {
    return header(id, 0x8400, 0, 1, r.size() - 1) + r.join();
};
} // namespace

class MdnsTest : public QObject
{
    Q_OBJECT

private slots:
    // The names of before are written first, from offset 12, with one
    // table; then text, whose bytes are compared.
    void writeName_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("capacity");
        QTest::addColumn<QByteArray>("expected"); // empty: the write fails
        const QStringList none, svc{kService};
        QTest::newRow("exactly fits") << none << "_peerharbor._tcp.local" << 36 << name(kService);
        QTest::newRow("one byte short") << none << kService << 35 << QByteArray();
        QTest::newRow("64-byte label") << none << QString(64, 'x') << 128 << QByteArray();
        QTest::newRow("case") << svc << "_PEERHARBOR._tcp.local" << 64 << labels("_PEERHARBOR") + pointer(24);
        QTest::newRow("not a name's end") << svc << "_tcp" << 128 << name("_tcp");
        // 16 slots: "local" at 18 is found until 16 later labels took its slot.
        const QStringList later = QString("first.local 0 1 2 3 4 5 6 7 8 9 a b c d e f").split(' ');
        QTest::newRow("15 labels later") << later.mid(0, 16) << "local" << 128 << pointer(18);
        QTest::newRow("16 labels later") << later << "local" << 128 << name("local");
    }

    void writeName()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, text);
        QFETCH(int, capacity);
        QFETCH(QByteArray, expected);
        std::vector<std::uint8_t> buffer(std::size_t(capacity), 0);
        NameCompressionTable table;
        WritePos start = kHeaderSize;
        for (const QString &earlier : before)
            start = mdns::writeName(buffer, start, earlier.toStdString(), &table);
        const WritePos end = mdns::writeName(buffer, start, text.toStdString(), &table);
        QCOMPARE(end ? bytes(std::span(buffer).subspan(*start, *end - *start)) : QByteArray(), expected);
    }

    // Every name is read at offset 12, just after the header.
    void readName_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("skipTo"); // -1: skipName fails too
        const QByteArray h = header(0, 0, 0);
        QByteArray chain = h; // 17 pointers, each to the next
        for (int i = 1; i <= 17; ++i)
            chain += pointer(12 + 2 * i);
        const QString a64 = QStringList(64, "a").join('.') + ".", y63 = QString(63, 'y') + ".";
        QTest::newRow("compressed") << h + labels("P") + pointer(16) + name("local") << "P.local." << 16;
        QTest::newRow("root") << h + name("") << "" << 13;
        QTest::newRow("pointer to itself") << h + pointer(12) << "" << -1;
        QTest::newRow("label type 0x40") << h + char(0x41) + QByteArray(65, 'a') + name("") << "" << -1;
        QTest::newRow("16 jumps") << chain.chopped(2) + name("x") << "x." << 14;
        QTest::newRow("17 jumps") << chain + name("x") << "" << -1;
        QTest::newRow("64 labels") << h + name(a64) << a64 << 141;
        QTest::newRow("65 labels") << h + name("a." + a64) << "" << -1;
        QTest::newRow("cut at 256 bytes") << h + name(y63.repeated(5)) << y63.repeated(4) << 333;
    }

    void readName()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, expected);
        QFETCH(int, skipTo);
        QCOMPARE(QString::fromLatin1(mdns::readName(view(message), kHeaderSize).view()), expected);
        const auto skipped = skipName(view(message), kHeaderSize);
        QCOMPARE(skipped ? int(*skipped) : -1, skipTo);
    }

    void questions_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("sent");
        const QByteArray ours = question(kService, 12, 1), other = question("_http._tcp.local", 12, 1);
        const QString types = kServiceEnumerationName;
        QTest::newRow("PTR") << ask(ours) << 5353 << "~M";
        QTest::newRow("any type, class ANY") << ask(question(kService, 255, 255)) << 5353 << "~M";
        QTest::newRow("unicast bit from 5353") << ask(question(kService, 12, 0x8001)) << 5353 << "~M";
        QTest::newRow("one-shot querier") << ask(question(kService, 12, 0x8001)) << 40000 << "U~M";
        QTest::newRow("other letter case") << ask(question(kService.toUpper(), 12, 1)) << 5353 << "~M";
        QTest::newRow("another instance") << ask(question("x." + kService, 33, 1)) << 5353 << "";
        QTest::newRow("SRV of the type") << ask(question(kService, 33, 1)) << 5353 << "";
        QTest::newRow("A of the type, one-shot") << ask(question(kService, 1, 1)) << 40000 << "";
        QTest::newRow("service types") << ask(question(types, 12, 1)) << 5353 << "~m(PTR/)";
        QTest::newRow("types, one-shot")
            << ask(question(types.toUpper(), 255, 1)) << 40000 << "u(PTR:10/)~m(PTR/)";
        QTest::newRow("TXT of service types") << ask(question(types, 16, 1)) << 5353 << "";
        QTest::newRow("SRV of ours") << ask(question(kInstance, 33, 1)) << 5353 << "m(SRV/A)";
        QTest::newRow("TXT, other case") << ask(question(kInstance.toUpper(), 16, 1)) << 5353 << "m(TXT/)";
        QTest::newRow("ANY of ours") << ask(question(kInstance, 255, 1)) << 5353 << "m(SRV,TXT/A)";
        QTest::newRow("A of our instance") << ask(question(kInstance, 1, 1)) << 5353 << "m(NSEC/)";
        QTest::newRow("A of our host") << ask(question(kHost, 1, 1)) << 5353 << "m(A/NSEC)";
        QTest::newRow("ANY of our host") << ask(question(kHost, 255, 1)) << 5353 << "m(A/NSEC)";
        QTest::newRow("AAAA of our host") << ask(question(kHost.toUpper(), 28, 1)) << 5353 << "m(NSEC/A)";
        QTest::newRow("TXT of our host") << ask(question(kHost, 16, 1)) << 5353 << "m(NSEC/A)";
        QTest::newRow("SRV and A") << ask(question(kInstance, 33, 1) + question(kHost, 1, 1), 2) << 5353
                                   << "m(SRV,A/NSEC)";
        QTest::newRow("PTR and A") << ask(ours + question(kHost, 1, 1), 2) << 5353 << "m(A/NSEC)~M";
        QTest::newRow("one-shot SRV") << ask(question(kInstance, 33, 1)) << 40000 << "m(SRV/A)u(SRV:10/A:10)";
        QTest::newRow("second question") << ask(other + ours, 2) << 5353 << "~M";
        QTest::newRow("first of two") << ask(ours + question(kService, 33, 1), 2) << 40000 << "U~M";
        QTest::newRow("class 3 stops") << ask(question("a.local", 1, 0x8003) + ours, 2) << 5353 << "";
        QTest::newRow("class 3 after ours") << ask(ours + question("a.local", 1, 3), 2) << 5353 << "~M";
        QTest::newRow("a response") << ask(ours, 1, 0x8400) << 40000 << "";
        QTest::newRow("one-shot, other service") << ask(other) << 40000 << "";
    }

    // A query listing answers it knows: ours with at least half their TTL
    // are not sent again.
    void knownAnswers_data()
    {
        QTest::addColumn<QByteArray>("known");
        QTest::addColumn<QString>("sent");
        const QByteArray srv = u32(0) + u16(protocol::kHttpPort) + name(kHost), ptr = name(kInstance);
        QTest::newRow("PTR, 120 s") << record(kService, 12, ptr) << "";
        QTest::newRow("PTR, 60 s") << record(kService.toUpper(), 12, ptr, 60) << "";
        QTest::newRow("PTR, 59 s") << record(kService, 12, ptr, 59) << "~M";
        QTest::newRow("PTR of another") << record(kService, 12, name("x." + kService)) << "~M";
        QTest::newRow("SRV") << record(kInstance, 33, srv) << "~m(PTR/A,TXT)";
        QTest::newRow("SRV, other port") << record(kInstance, 33, u32(0) + u16(80) + name(kHost)) << "~M";
        QTest::newRow("A") << record(kHost, kTypeA, u32(kOurs)) << "~m(PTR/SRV,TXT)";
        QTest::newRow("A of another address") << record(kHost, kTypeA, u32(kAsker)) << "~M";
        QTest::newRow("TXT") << record(kInstance, 16, "\016device=windows") << "~m(PTR/SRV,A)";
    }

    void knownAnswers()
    {
        QFETCH(QByteArray, known);
        QFETCH(QString, sent);
        MdnsResponder responder;
        QCOMPARE(answer(responder, header(0, 0, 1, 1) + question(kService, 12, 1) + known, 5353), sent);
    }

    // Unicast replies to a querier on port 5353 asking for one, some time
    // after an announcement (-1: none).
    void unicastReplies_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("announcedAgo");
        QTest::addColumn<bool>("onLink");
        QTest::addColumn<QString>("sent");
        const QByteArray qu = question(kService, 12, 0x8001);
        QTest::newRow("QU, nothing multicast") << ask(qu) << 5353 << -1 << true << "~M";
        QTest::newRow("QU, announced 29 s ago") << ask(qu) << 5353 << 29999 << true << "Q";
        QTest::newRow("QU, announced 30 s ago") << ask(qu) << 5353 << 30000 << true << "~M";
        QTest::newRow("QU, sender off link") << ask(qu) << 5353 << 5000 << false << "";
        QTest::newRow("one-shot, off link") << ask(qu) << 40000 << -1 << false << "~M";
        QTest::newRow("QU for A") << ask(question(kHost, 1, 0x8001)) << 5353 << 5000 << true << "u(A/NSEC)";
        QTest::newRow("QU and QM") << ask(question(kHost, 1, 1) + qu, 2) << 5353 << 5000 << true
                                   << "m(A/NSEC)~M";
        QTest::newRow("A 0.9 s later") << ask(question(kHost, 1, 1)) << 5353 << 900 << true << "";
        QTest::newRow("AAAA 0.9 s later")
            << ask(question(kHost, 28, 1)) << 5353 << 900 << true << "m(NSEC/A)";
        // A probe for our names is answered within 250 ms of the last
        // multicast, whenever it comes (RFC 6762 §6).
        const QByteArray probe = header(0, 0, 1).chopped(4) + u16(1) + u16(0) + question(kHost, 255, 1) +
                                 record(kHost, kTypeA, u32(kAsker));
        QTest::newRow("probe 0.3 s later") << probe << 5353 << 300 << true << "m(A/NSEC)";
        QTest::newRow("probe 0.1 s later") << probe << 5353 << 100 << true << "~+150m(A/NSEC)";
    }

    void unicastReplies()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, port);
        QFETCH(int, announcedAgo);
        QFETCH(bool, onLink);
        QFETCH(QString, sent);
        MdnsResponder responder;
        if (announcedAgo >= 0)
            QCOMPARE(bytes(responder.announcement(2, kOurs, 100000 - announcedAgo)), kAnnouncement);
        QCOMPARE(answer(responder, message, port, 100000, 2, onLink), sent);
    }

    void negativeAnswer()
    {
        // The NSEC names our host as its own successor and lists only A.
        const QByteArray nsec =
            name(kHost) + u16(47) + u16(0x8001) + u32(120) + u16(5) + pointer(12) + u16(1) + '\x40';
        const QByteArray a = pointer(12) + u16(1) + u16(0x8001) + u32(120) + u16(4) + u32(kOurs);
        MdnsResponder responder;
        const auto sent =
            responder.handleDatagram(view(ask(question(kHost, 28, 1))), {kAsker, 5353, 2, kOurs}, 0);
        QCOMPARE(bytes(sent.at(0).bytes), header(0, 0x8400, 0, 1, 1) + nsec + a);
    }

    void questions()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, port);
        QFETCH(QString, sent);
        MdnsResponder responder;
        QCOMPARE(answer(responder, message, port), sent);
    }

    // An answer of ours about to go out that another host's response on the
    // same link gives, with at least our TTL, is not sent again.
    void duplicateAnswers_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("otherHost");
        QTest::addColumn<QString>("sent");
        const QByteArray ours = ptr(protocol::kInstanceLabel), other = ptr("Pixel");
        QTest::newRow("our PTR") << reply(0, {ours}) << true << "";
        QTest::newRow("our PTR, less TTL")
            << reply(0, {record(kService, 12, name(kInstance), 119)}) << true << "M";
        QTest::newRow("another's PTR") << reply(0, {other}) << true << "M";
        QTest::newRow("ours as additional") << reply(0, {other, ours}) << true << "M";
        QTest::newRow("our own, heard again") << reply(0, {ours}) << false << "M";
    }

    void duplicateAnswers()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, otherHost);
        QFETCH(QString, sent);
        MdnsResponder responder;
        QVERIFY(responder.handleDatagram(view(ask(question(kService, 12, 1))), {kAsker, 5353, 2, kOurs}, 0)
                    .empty());
        QVERIFY(
            responder.handleDatagram(view(response), {kAsker, 5353, 2, kOurs, true, otherHost}, 10).empty());
        QString out;
        for (const Datagram &d : responder.due(200))
            out += bytes(d.bytes) == kAnnouncement ? "M" : sections(d.bytes);
        QCOMPARE(out, sent);
    }

    // A query whose known answers go on in further packets (TC) is answered
    // after 400-500 ms, leaving out what its querier lists meanwhile.
    void truncatedKnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("more");
        QTest::addColumn<quint32>("from");
        QTest::addColumn<QString>("sent");
        const QByteArray ours = header(0, 0, 0, 1) + ptr(protocol::kInstanceLabel);
        QTest::newRow("none follow") << QByteArray() << kAsker << "M";
        QTest::newRow("ours follows") << ours << kAsker << "";
        QTest::newRow("another's follows") << header(0, 0, 0, 1) + ptr("Pixel") << kAsker << "M";
        QTest::newRow("ours from another querier") << ours << kOurs + 5 << "M";
    }

    void truncatedKnownAnswers()
    {
        QFETCH(QByteArray, more);
        QFETCH(quint32, from);
        QFETCH(QString, sent);
        MdnsResponder responder;
        QVERIFY(
            responder
                .handleDatagram(view(ask(question(kService, 12, 1), 1, 0x0200)), {kAsker, 5353, 2, kOurs}, 0)
                .empty());
        QVERIFY(responder.nextDueMs() >= kTruncatedWaitMinMs && responder.nextDueMs() <= kTruncatedWaitMaxMs);
        if (!more.isEmpty())
            QVERIFY(responder.handleDatagram(view(more), {from, 5353, 2, kOurs}, 100).empty());
        QString out;
        for (const Datagram &d : responder.due(kTruncatedWaitMaxMs))
            out += bytes(d.bytes) == kAnnouncement ? "M" : sections(d.bytes);
        QCOMPARE(out, sent);
    }

    // One announcement per interface and second, twenty one-shot replies per
    // second in all: a flood of questions cannot make us flood the network.
    void rateLimits()
    {
        MdnsResponder responder;
        const QByteArray q = ask(question(kService, 12, 0x8001));
        QString sent;
        for (int t = 10000; t < 11000; t += 5) {
            for (const auto &d : responder.handleDatagram(view(q), {kAsker, 40000, 2, kOurs}, t))
                sent += d.address == kAsker ? 'U' : '?';
            sent += QString(int(responder.due(t).size()), 'M');
        }
        QCOMPARE(sent.count('U'), kLegacyRepliesPerSecond);
        QCOMPARE(sent.remove('U'), "M");
        QCOMPARE(answer(responder, q, 40000, 10999, 3), "~M"); // another network has not heard it
        QCOMPARE(answer(responder, ask(question(kHost, 28, 1)), 5353, 10999), "m(NSEC/A)"); // not sent yet
        QCOMPARE(answer(responder, q, 40000, 11200), "U~M");
    }

    void announcedAddress()
    {
        // lo; 127.0.1.2 on an interface not flagged loopback; one down; a LAN
        // with two addresses.
        using I = sock::InterfaceAddress;
        const std::vector<I> interfaces{
            I{1, 0x7F000001, 0xFF000000, true, true, false}, I{9, 0x7F000102, 0xFF000000, true, false, true},
            I{5, 0x0A090001, 0xFFFF0000, false, false, true}, I{3, 0xCB007101, 0xFFFFFF00, true, false, true},
            I{3, 0xC6336401, 0xFFFFFF00, true, false, true}};
        QCOMPARE(mdns::announcedAddress({kAsker, 5353, 3, 0}, interfaces), 0xC6336401u); // sender's subnet
        QCOMPARE(mdns::announcedAddress({kAsker, 5353, 0, 0}, interfaces), 0xCB007101u); // up, not loopback
    }

    // Which addresses a phone may have, with this computer on loopback, a
    // LAN and a point-to-point /31 link: (strict, with loopback allowed).
    void peerAddresses()
    {
        using I = sock::InterfaceAddress;
        const std::vector<I> own{I{1, 0x7F000001, 0xFF000000, true, true, false},
                                 I{2, 0xC0A80114, 0xFFFFFF00, true, false, true},
                                 I{3, 0x0A000001, 0xFFFFFFFE, true, false, false}};
        const std::tuple<const char *, bool, bool> rows[] = {
            {"192.168.1.7", true, true},     {"192.168.1.20", false, false}, // ours
            {"192.168.1.255", false, false}, {"10.0.0.0", true, true},       // the other end of the /31
            {"127.0.0.1", false, true},      {"127.8.8.8", false, true},
            {"0.0.0.0", false, false},       {"0.1.2.3", false, false},
            {"224.0.0.251", false, false},   {"239.255.255.250", false, false},
            {"240.0.0.1", false, false},     {"255.255.255.255", false, false},
            {"169.254.3.4", true, true},     {"100.64.0.1", true, true},
            {"198.51.100.7", true, true},
        };
        for (const auto &[ip, strict, loopback] : rows) {
            std::uint32_t a = 0;
            QVERIFY(sock::parseIPv4(ip, &a));
            QVERIFY2(sock::isPeerAddress(a, own, sock::PeerAddressPolicy::OtherHostsOnly) == strict, ip);
            QVERIFY2(sock::isPeerAddress(a, own, sock::PeerAddressPolicy::LoopbackAllowed) == loopback, ip);
        }
    }

    void browseQuery()
    {
        QCOMPARE(bytes(buildBrowseQuery(1, false)), header(1, 0, 1) + question(kService, 12, 0x8001));
        QCOMPARE(bytes(buildBrowseQuery(0xABCD, true)), header(0xABCD, 0, 1) + question(kService, 12, 1));
        // Known answers follow, compressed against the question; what does
        // not fit is left out, and a name that cannot be written is not asked.
        const Question questions[] = {{std::string(300, 'x'), 1}, {kService.toStdString(), 12}};
        const std::vector<KnownAnswer> known(200, {"P._peerharbor._tcp.local.", 4500});
        const auto query = buildQuery(2, questions, known, false);
        const QByteArray first =
            pointer(12) + u16(12) + u16(1) + u32(4500) + u16(4) + labels("P") + pointer(12);
        const int answers = readHeader(query)->answers,
                  more = 14; // each later one points at the first's label
        QCOMPARE(bytes(query).left(12 + 28 + 16),
                 header(2, 0, 1, answers) + question(kService, 12, 0x8001) + first);
        QVERIFY(query.size() == 56u + more * (answers - 1) && query.size() + more > kMaxQueryBytes);
        QCOMPARE(nextCycleId(65535), std::uint16_t(0));
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QStringList>("expected"); // name|host|port|ip per device
        const QByteArray P = ptr("Pixel 7"), S = srv("Pixel 7", "pixel.local", 53319);
        const QByteArray A = record("pixel.local", kTypeA, u32(kOurs)), T = record("x", kTypeTxt, "\3a=b");
        const QByteArray jP = ptr("Jörg's Handy v1.2"), jS = srv("Jörg's Handy v1.2", "j.local", 40000);
        const QStringList pixel{"Pixel 7|pixel.local.|53319|198.51.100.7"}, none;
        QTest::newRow("PTR, SRV, TXT, A") << reply(5, {P, S, T, A}) << pixel;
        QTest::newRow("A, SRV, then PTR") << reply(5, {A, S, P}) << pixel;
        QTest::newRow("question repeated")
            << header(5, 0x8400, 1, 3) + question(kService, 12, 1) + P + S + A << pixel;
        QTest::newRow("two, interleaved")
            << reply(9, {P, jP, jS, A, record("j.local", kTypeA, u32(kAsker)), S})
            << pixel + QStringList{"Jörg's Handy v1.2|j.local.|40000|198.51.100.9"};
        QTest::newRow("other letter case")
            << reply(5, {P, srv("PIXEL 7", "Pixel.Local", 53319), record("PIXEL.local", kTypeA, u32(kOurs))})
            << QStringList{"Pixel 7|Pixel.Local.|53319|198.51.100.7"};
        QTest::newRow("same instance twice") << reply(5, {P, S, A, P, S, A}) << pixel;
        const QString own = protocol::kInstanceLabel;
        QTest::newRow("our own") << reply(5, {ptr(own), srv(own, "pixel.local", 1), A}) << none;
        QTest::newRow("SRV of another") << reply(5, {P, srv("Other", "pixel.local", 53319), A}) << none;
        QTest::newRow("A of another") << reply(5, {P, S, record("o.local", kTypeA, u32(1))}) << none;
        QTest::newRow("port 0") << reply(5, {P, srv("Pixel 7", "pixel.local", 0), A}) << none;
        QTest::newRow("3-byte A") << reply(5, {P, S, record("pixel.local", kTypeA, "\1\2\3")}) << none;
        QTest::newRow("count past the end") << header(5, 0x8400, 0, 60000) + P + S + A << pixel;
        QTest::newRow("A cut short") << reply(5, {P, S, A}).chopped(1) << none;
    }

    void replies()
    {
        QFETCH(QByteArray, message);
        QFETCH(QStringList, expected);
        QStringList got;
        for (const RemoteDevice &d : BrowseCache().feed(view(message), 1234567))
            got << QStringLiteral("%1|%2|%3|%4").arg(d.name, d.host).arg(d.port).arg(d.ip);
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(MdnsTest)
#include "tst_mdns.moc"
