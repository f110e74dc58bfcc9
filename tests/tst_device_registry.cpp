#include "device_registry.h"

#include <QtTest>

namespace {
// A device is written "id/name@ip:port/secret", a "+" before the secret marking
// it paired.
RemoteDevice dev(const QString &shape, qint64 lastSeen = 9)
{
    static const QRegularExpression form(QStringLiteral("^(.*)/(.*)@(.*):(\\d+)/(\\+?)(.*)$"));
    const QRegularExpressionMatch m = form.match(shape);
    return {m.captured(1), m.captured(2), {}, m.captured(3), m.captured(4).toInt(), !m.captured(5).isEmpty(),
            lastSeen,      m.captured(6)};
}

// The same with lastSeen appended; the two starting entries, where unchanged,
// read A and B.
QString summary(const QList<RemoteDevice> &devices)
{
    QStringList out;
    for (const RemoteDevice &d : devices) {
        const QString line = QStringLiteral("%1/%2@%3:%4/%5%6 %7")
                                 .arg(d.id, d.name, d.ip)
                                 .arg(d.port)
                                 .arg(d.paired ? "+" : "", d.sharedSecret)
                                 .arg(d.lastSeen);
        out.append(line == "a/A@203.0.113.1:10/+s 5" ? "A" : line == "/B@203.0.113.2:20/ 5" ? "B" : line);
    }
    return out.join(QStringLiteral(", "));
}
} // namespace

class DeviceRegistryTest : public QObject
{
    Q_OBJECT

private slots:
    // Steps on a registry of a paired phone A (id a, 203.0.113.1:10, seen
    // at 5) and an unpaired B: "seen <sighting>", "id <identity answer>",
    // "paired <record>", "auth <id>@<ip>", "accept <id>", "unpair <id>",
    // "silence" (pruned 20 s later). Each step runs at time 7 and is applied
    // twice: repeating a report never leaves a second entry. Then the list,
    // where a send to the first entry goes ("?" where the user is asked
    // first), and what the identity answers said.
    void rules_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("said");
        const auto row = [](const char *name, const QString &steps, const char *after,
                            const char *target = "203.0.113.1:10", const char *said = "") {
            QTest::newRow(name) << steps.split(QStringLiteral("; ")) << after << target << said;
        };
        row("seen: same address renames", "seen /B2@203.0.113.2:20/", "A, /B2@203.0.113.2:20/ 7");
        row("seen: unpaired moves by name", "seen /B@203.0.113.9:99/", "A, /B@203.0.113.9:99/ 7");
        row("seen: another port", "seen /C@203.0.113.2:21/", "A, B, /C@203.0.113.2:21/ 7");
        row("seen: paired at its address", "seen /A2@203.0.113.1:10/", "a/A2@203.0.113.1:10/+s 7, B");
        row("seen: paired never by name", "seen /A@203.0.113.66:10/", "A, B, /A@203.0.113.66:10/ 7");
        row("paired: same id", "paired a/A3@203.0.113.7:40/t", "a/A3@203.0.113.7:40/+t 7, B",
            "203.0.113.7:40");
        row("paired: same address", "paired b/B@203.0.113.2:20/t", "A, b/B@203.0.113.2:20/+t 7");
        row("paired: new device", "paired c/C@203.0.113.7:40/t", "A, B, c/C@203.0.113.7:40/+t 7");
        row("id: unpaired learns its id", "id b/B9@203.0.113.2:20/", "A, b/B9@203.0.113.2:20/ 7");
        row("id: paired at its address", "id a/P@203.0.113.1:10/", "a/P@203.0.113.1:10/+s 7, B");
        row("id: impostor while the phone answers", "seen /A@203.0.113.66:10/; id a/A@203.0.113.66:10/",
            "A, B, /A@203.0.113.66:10/ 7", "203.0.113.1:10", "ignored");
        row("id: impostor while the phone is away",
            "silence; seen /A@203.0.113.66:10/; id a/A@203.0.113.66:10/", "a/A@203.0.113.1:10/+s 0",
            "203.0.113.66:10?", "offered");
        row("id: move confirmed by the user", "silence; id a/A@203.0.113.8:12/; accept a",
            "a/A@203.0.113.8:12/+s 7", "203.0.113.8:12", "offered");
        row("auth: phone at its address", "silence; auth a@203.0.113.1", "a/A@203.0.113.1:10/+s 7");
        row("auth: proves a claimed move", "silence; id a/A@203.0.113.8:12/; auth a@203.0.113.8",
            "a/A@203.0.113.8:12/+s 7", "203.0.113.8:12", "offered");
        row("auth: proves a new address", "auth a@203.0.113.9", "a/A@203.0.113.9:10/+s 7, B",
            "203.0.113.9:10");
        row("auth: unknown id", "auth z@203.0.113.9", "A, B");
        row("id: another device at the proven address", "id z/Z@203.0.113.1:10/; seen /Z2@203.0.113.1:10/",
            "a/A@203.0.113.1:10/+s 0, B, z/Z2@203.0.113.1:10/ 7");
        row("gone: paired goes offline", "gone 203.0.113.1:10", "a/A@203.0.113.1:10/+s 0, B");
        row("gone: unpaired leaves", "gone 203.0.113.2:20", "A");
        row("unpair: by id", "unpair a", "B", "203.0.113.2:20");
        row("unpair: unknown id", "unpair zz", "A, B");
    }

    void rules()
    {
        QFETCH(QStringList, steps);
        DeviceRegistry devices;
        devices.replace({dev("a/A@203.0.113.1:10/+s", 5), dev("/B@203.0.113.2:20/", 5)});
        QStringList said;
        for (const QString &step : steps) {
            const QString verb = step.section(QLatin1Char(' '), 0, 0),
                          arg = step.section(QLatin1Char(' '), 1);
            for (int i = 0; i < 2; ++i) {
                if (verb == "seen") {
                    devices.applyDiscovered(dev(arg), 7);
                } else if (verb == "id") {
                    const auto outcome = devices.applyResolvedIdentity(dev(arg), 7);
                    if (outcome != DeviceRegistry::Outcome::Merged)
                        said << (outcome == DeviceRegistry::Outcome::ClaimIgnored ? "ignored" : "offered");
                } else if (verb == "paired") {
                    devices.applyPaired(dev(arg), 7);
                } else if (verb == "auth") {
                    devices.applyAuthenticated(arg.section('@', 0, 0), arg.section('@', 1), 7);
                } else if (verb == "accept") {
                    devices.acceptMove(arg);
                } else if (verb == "gone") {
                    devices.applyGone(arg.section(':', 0, 0), arg.section(':', 1).toInt());
                } else if (verb == "unpair") {
                    devices.removeWithId(arg);
                } else {
                    devices.prune(5 + DeviceRegistry::kSilentAfterMs + 1);
                }
            }
        }
        QTEST(summary(devices.list()), "after");
        QString target;
        if (devices.size() > 0) {
            const DeviceRegistry::SendTarget t = devices.sendTarget(0);
            target = t.device.ip + ':' + QString::number(t.device.port) + (t.needsConfirmation ? "?" : "");
            QCOMPARE(devices.isOnline(0), t.needsConfirmation || devices.at(0).lastSeen > 0);
        }
        QTEST(target, "target");
        QTEST(said.join(','), "said");
    }
};

QTEST_GUILESS_MAIN(DeviceRegistryTest)
#include "tst_device_registry.moc"
