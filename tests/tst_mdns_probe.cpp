// Claiming our names: what received messages mean for them, the probe we
// send, and the names taken after a conflict.
#include "dns_test_support.h"
#include "mdns_probe.h"

#include <QtTest>

using namespace mdns;
using namespace dnstest;

namespace {
const QString kOwn = QString(protocol::kInstanceLabel) + "." + kService, kHost = protocol::kHostName;
constexpr std::uint32_t kAddress = 0xC633640A; // 198.51.100.10
const auto text = [](Bytes m, std::size_t at) { return QString::fromUtf8(readName(m, at).view()); };
const auto a = [](std::uint32_t ip, const QString &host = kHost) { return record(host, kTypeA, u32(ip)); };
// A response with r as its answer, or as its additional record.
const auto response = [](const QByteArray &r, bool ex = false) { return header(0, 0x8400, 0, !ex, ex) + r; };
// A simultaneous probe for our host name, with its records as authorities.
const auto probe = [](const QByteArrayList &rs) {
    return header(0, 0, 1).chopped(4) + u16(int(rs.size())) + u16(0) + question(kHost, 255, 1) + rs.join();
};
} // namespace

class TestMdnsProbe : public QObject
{
    Q_OBJECT
private slots:
    // Received messages and what they mean for our names, probing or not.
    void verdict()
    {
        using enum Prober::Verdict;
        const std::tuple<const char *, QByteArray, bool, Prober::Verdict> rows[] = {
            {"SRV elsewhere", response(record(kOwn, 33, u16(0) + u32(53319) + name("pc"))), false, Conflict},
            {"SRV, other port", response(record(kOwn, 33, u16(0) + u32(80) + name(kHost))), false, Conflict},
            {"their A elsewhere", response(a(kAddress + 1)), false, Conflict},
            {"additional, other case", response(a(kAddress + 1, kHost.toUpper()), true), false, Conflict},
            {"own looped back", bytes(buildAnnouncement({.address = kAddress})), false, None},
            {"TXT only", response(record(kOwn, kTypeTxt, "\x03x=y")), false, None},
            {"probe that loses", probe({a(kAddress + 1)}), true, LostTieBreak},
            {"loser heard when settled", probe({a(kAddress + 1)}), false, None},
            {"probe that wins, sorted", probe({a(kAddress + 1), a(1)}), true, None},
            {"real probe loses", bytes(Prober({.address = kAddress + 1}).probeQuery(0)), true, LostTieBreak},
            {"plain query", header(0, 0, 1) + question(kHost, kTypeAny, 1), true, None},
        };
        for (const auto &[title, message, probing, expected] : rows)
            QVERIFY2(Prober({.address = kAddress}).check(view(message), probing) == expected, title);
    }
    // The probe read back, alone and after two conflicts: ANY questions (the first
    // probe asking for a unicast reply), then the SRV and A we propose.
    void probeAndRename()
    {
        Prober prober({.address = kAddress});
        const QStringList names = {
            kOwn + '|' + kHost, "Windows KAVELTOR Companion (2)." + kService + "|kaveltor-companion-2.local.",
            "Windows KAVELTOR Companion (3)." + kService + "|kaveltor-companion-3.local."};
        const QString rows = "%1 255 %3 0 0|%2 255 %3 0 0|%1 33 1 120 53319 %2|%2 1 1 120 3325256714";
        for (int i = 0; i < names.size(); prober.renameAfterConflict(), ++i) {
            const auto query = prober.probeQuery(i == 0);
            QStringList seen;
            const auto see = [&](const MdnsEntry &e) {
                Cursor c(query, e.dataOffset + (e.type == kTypeSrv ? 4 : 0));
                const auto data = e.type == kTypeA ? *c.u32() : e.type == kTypeSrv ? *c.u16() : 0u;
                seen << text(query, e.nameOffset) +
                            QString::asprintf(" %d %d %u %u", e.type, e.rrclass, e.ttl, data) +
                            (e.type == kTypeSrv ? " " + text(query, c.offset()) : "");
                return true;
            };
            const auto header = readHeader(query);
            QVERIFY(header && header->id + header->flags + header->answers + header->additionals == 0);
            std::size_t offset = kHeaderSize;
            QVERIFY(walkQuestions(query, &offset, header->questions, see));
            QVERIFY(walkRecords(query, &offset, header->authorities, see) && offset == query.size());
            const QString host = names[i].section('|', 1);
            QCOMPARE(seen.join('|'), rows.arg(names[i].section('|', 0, 0), host).arg(i ? 1 : 0x8001));
            // Only the names now claimed are defended.
            QCOMPARE(prober.check(view(response(a(kAddress + 1, host))), false), Prober::Verdict::Conflict);
            QCOMPARE(prober.check(view(probe({a(kAddress + 1)})), true) == Prober::Verdict::None, i > 0);
        }
    }

    // Conflicts heard in each stage ("P" probing, "W" waiting, "A" announced,
    // then the ms), and what each does: "-" nothing, or the name's number and
    // when the next probes go ("3@100").
    void conflicts()
    {
        const auto series = [](char stage, int count, int stepMs) {
            QStringList events;
            for (int i = 0; i < count; ++i)
                events << stage + QString::number(i * stepMs);
            return events.join(' ');
        };
        const auto calm = [](int count, int stepMs) {
            QStringList retries;
            for (int i = 0; i < count; ++i)
                retries << "1@" + QString::number(i * stepMs);
            return retries.join(' ');
        };
        const std::tuple<const char *, QString, QString> rows[] = {
            {"renamed while probing", "P0 P1", "2@0 3@1"},
            {"ignored while waiting", "W0 P5", "- 2@5"},
            {"announced: same names again", "A0", "1@0"},
            {"last number kept, waits", series('P', 9, 100),
             "2@0 3@100 4@200 5@300 6@400 7@500 8@600 9@700 9@5800"},
            {"storm waits, ignores claims meanwhile", series('A', 15, 100) + " W1500 W3000",
             calm(14, 100) + " 1@6400 - -"},
            {"slow conflicts never wait", series('A', 16, 1000), calm(16, 1000)},
        };
        for (const auto &[title, events, expected] : rows) {
            Prober prober({.address = kAddress});
            QStringList got;
            for (const QString &event : events.split(' ')) {
                using enum Prober::Stage;
                const Prober::Stage stage = event[0] == 'P' ? Probing : event[0] == 'W' ? Waiting : Announced;
                const auto retry = prober.conflict(event.mid(1).toInt(), stage);
                const QString name = QString::fromStdString(prober.service().instanceName);
                const QString number = name.contains('(') ? name.section('(', 1).section(')', 0, 0) : "1";
                got << (retry ? number + '@' + QString::number(retry->probeAtMs) : "-");
            }
            QVERIFY2(got.join(' ') == expected, qPrintable(title + (": " + got.join(' '))));
        }
    }
};

QTEST_GUILESS_MAIN(TestMdnsProbe)
#include "tst_mdns_probe.moc"
