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
    // A row name's first word is the change. Each is applied twice: a
    // repeated sighting, pairing or answer never leaves a second entry.
    void rules_data()
    {
        QTest::addColumn<QString>("change"); // "record -> registry after"
        QTest::newRow("seen: same id moves") << "a/A2@203.0.113.5:30/ -> a/A2@203.0.113.5:30/+s 7, B";
        QTest::newRow("seen: same address renames") << "/B2@203.0.113.2:20/ -> A, /B2@203.0.113.2:20/ 7";
        QTest::newRow("seen: same name moves") << "/B@203.0.113.9:99/ -> A, /B@203.0.113.9:99/ 7";
        QTest::newRow("seen: first match in order") << "/A@203.0.113.2:20/ -> a/A@203.0.113.2:20/+s 7, B";
        QTest::newRow("seen: another port") << "/C@203.0.113.2:21/ -> A, B, /C@203.0.113.2:21/ 7";
        QTest::newRow("seen: case and ip count") << "/b@203.0.113.9:20/ -> A, B, /b@203.0.113.9:20/ 7";
        QTest::newRow("paired: same id") << "a/A3@203.0.113.7:40/t -> a/A3@203.0.113.7:40/+t 7, B";
        QTest::newRow("paired: same address") << "b/B@203.0.113.2:20/t -> A, b/B@203.0.113.2:20/+t 7";
        QTest::newRow("paired: new device") << "c/C@203.0.113.7:40/t -> A, B, c/C@203.0.113.7:40/+t 7";
        QTest::newRow("resolved: keeps secret") << "a2/P@203.0.113.1:10/ -> a2/P@203.0.113.1:10/+s 9, B";
        QTest::newRow("unpaired: by id") << "a/B@203.0.113.2:20/ -> B";
        QTest::newRow("unpaired: unknown id") << "zz/A@203.0.113.1:10/ -> A, B";
    }

    void rules()
    {
        QFETCH(QString, change);
        const QString record = change.section(QStringLiteral(" -> "), 0, 0);
        QList<RemoteDevice> devices{dev("a/A@203.0.113.1:10/+s", 5), dev("/B@203.0.113.2:20/", 5)};
        const QString op = QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(':'), 0, 0);
        for (int i = 0; i < 2; ++i) {
            if (op == "seen")
                registry::applyDiscovered(devices, dev(record), 7);
            else if (op == "paired")
                registry::applyPairedDevice(devices, dev(record), 7);
            else if (op == "resolved")
                registry::applyResolvedIdentity(devices, dev(record));
            else
                registry::removeDevicesWithId(devices, dev(record).id);
        }
        QCOMPARE(summary(devices), change.section(QStringLiteral(" -> "), 1));
    }
};

QTEST_GUILESS_MAIN(DeviceRegistryTest)
#include "tst_device_registry.moc"
