// Claiming our names: what received messages mean for them, the names taken
// after a conflict, and when the publisher probes, announces and answers.
#include "dns_test_support.h"
#include "mdns_probe.h"
#include "mdns_publisher.h"

#include <QtTest>

using namespace mdns;
using namespace dnstest;

namespace {
const QString kOwn = QString(protocol::kInstanceLabel) + "." + kService, kHost = protocol::kHostName;
constexpr std::uint32_t kAddress = 0xC633640A, kOther = 0xCB007105; // 198.51.100.10, ours on another link
const std::uint32_t kOwn2[] = {kAddress, kOther};
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
            {"goodbye, SRV elsewhere", response(record(kOwn, 33, u16(0) + u32(53319) + name("pc"), 0)), true,
             None},
            {"goodbye, A elsewhere", response(record(kHost, kTypeA, u32(1), 0)), false, None},
            {"our A from a cache", response(a(kAddress)), true, None},
            {"our other link's A", response(a(kOther)), false, None},
            {"SRV, other port", response(record(kOwn, 33, u16(0) + u32(80) + name(kHost))), false, Conflict},
            {"their A elsewhere", response(a(kAddress + 1)), false, Conflict},
            {"additional, other case", response(a(kAddress + 1, kHost.toUpper()), true), false, Conflict},
            {"own looped back", bytes(buildAnnouncement({.address = kAddress})), false, None},
            {"TXT only", response(record(kOwn, kTypeTxt, "\x03x=y")), false, None},
            {"probe that loses", probe({a(kAddress + 1)}), true, LostTieBreak},
            {"loser heard when settled", probe({a(kAddress + 1)}), false, None},
            {"probe that wins, sorted", probe({a(kAddress + 1), a(1)}), true, None},
            {"real probe loses", bytes(Prober({}).probeQuery(0, kAddress + 1)), true, LostTieBreak},
            {"real probe wins", bytes(Prober({}).probeQuery(0, kAddress - 1)), true, None},
            {"plain query", header(0, 0, 1) + question(kHost, kTypeAny, 1), true, None},
        };
        for (const auto &[title, message, probing, expected] : rows)
            QVERIFY2(Prober({}).check(view(message), probing, kAddress, kOwn2) == expected, title);
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
            Prober prober({});
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

    // The publisher over time, one interface. Steps: "t<ms>" sends what is
    // due then ("P" probes, "A" announcements, "a" answers, "C" claimed, "R"
    // renamed, with the new name's number, "-" nothing); heard from others: "c" a conflicting A, "g"
    // a goodbye for an SRV elsewhere, "e" our A repeated, "Q" an AAAA question;
    // "q" our own browser's question; "L" a second link comes up.
    void publisher()
    {
        const QString claim = "t250 t500 t750 t1000 ", claimed = "P P P CA ";
        const std::tuple<const char *, QString, QString> rows[] = {
            {"claims, announces twice", claim + "t2000 t3000", claimed + "A -"},
            {"goodbye and echo kept", claim + "g e t1100 Q t1200", claimed + "- a"},
            {"own questions unanswered", claim + "q t1100", claimed + "-"},
            {"conflict: probe, keep", claim + "c t1100 t1350 t1600 t1850", claimed + "P P P A"},
            {"conflict holds: rename", claim + "c t1100 c t1200 t1450 t1700 t1950",
             claimed + "P R2P P P C2A"},
            {"new link: probe, announce", claim + "L t1100 t1350 t1600 t1850", claimed + "PP PP PP AA"},
        };
        using I = sock::InterfaceAddress;
        const I first{2, kAddress, 0xFFFFFF00, true, false, true},
            second{3, kOther, 0xFFFFFF00, true, false, true};
        for (const auto &[title, steps, expected] : rows) {
            Publisher p({}, 7, 0);
            p.setInterfaces({first}, 0);
            QStringList got;
            int now = 0;
            for (const QString &step : steps.split(' ')) {
                const auto hear = [&](const QByteArray &m, std::uint32_t from = kAddress + 1,
                                      int port = 5353) {
                    p.receive(view(m), {from, std::uint16_t(port), 2, kAddress}, 40000, now);
                };
                if (step == "c" || step == "g" || step == "e")
                    hear(response(step == "g" ? record(kOwn, 33, u16(0) + u32(1) + name("pc"), 0)
                                              : a(step == "c" ? kAddress + 1 : kAddress)));
                else if (step == "Q" || step == "q")
                    hear(header(0, 0, 1) + question(kHost, kTypeAaaa, 1),
                         step == "q" ? kAddress : kAddress + 1, step == "q" ? 40000 : 5353);
                else if (step == "L")
                    p.setInterfaces({first, second}, 1050);
                if (step[0] != 't')
                    continue;
                now = step.mid(1).toInt();
                QString sent;
                for (const Datagram &d : p.due(now)) {
                    const auto h = readHeader(d.bytes);
                    sent += h->flags == 0 ? 'P' : h->additionals == 3 ? 'A' : 'a';
                }
                for (const auto &e : p.takeEvents()) {
                    const QString number = QString::fromStdString(e.instanceName).section('(', 1).left(1);
                    sent.prepend((e.kind == Publisher::Event::Claimed ? 'C' : 'R') + number);
                }
                got << (sent.isEmpty() ? "-" : sent);
            }
            QVERIFY2(got.join(' ') == expected, qPrintable(title + (": " + got.join(' '))));
        }
    }
};

QTEST_GUILESS_MAIN(TestMdnsProbe)
#include "tst_mdns_probe.moc"
