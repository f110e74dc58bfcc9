#include "device_registry.h"
#include "settings_store.h"

#include <QFile>
#include <QtTest>

namespace {
RemoteDevice device(const QString &id, const QString &ip, int port, bool paired = false,
                    const QString &secret = QString(), const QString &name = QString())
{
    RemoteDevice d;
    d.id = id;
    d.ip = ip;
    d.port = port;
    d.paired = paired;
    d.sharedSecret = secret;
    d.name = name.isEmpty() ? QStringLiteral("Phone ") + id : name;
    d.host = QStringLiteral("host-") + id + QStringLiteral(".local.");
    return d;
}

QStringList ids(const QList<RemoteDevice> &devices)
{
    QStringList out;
    for (const RemoteDevice &d : devices)
        out.append(d.id);
    return out;
}
} // namespace

class DeviceRegistryTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        SettingsStore store;
        store->clear();
    }

    void sameDevice_data()
    {
        QTest::addColumn<RemoteDevice>("record");
        QTest::addColumn<int>("index");
        // Registry: a@198.51.100.1:1, b@198.51.100.2:2, ""@198.51.100.3:3, ""@"":0
        QTest::newRow("same id") << device("b", "203.0.113.9", 9) << 1;
        QTest::newRow("same address and port") << device("zz", "198.51.100.3", 3) << 2;
        QTest::newRow("same address, other port") << device("zz", "198.51.100.3", 4) << -1;
        QTest::newRow("id compared case-sensitively") << device("B", "203.0.113.9", 9) << -1;
        QTest::newRow("empty id matches by address only") << device("", "198.51.100.2", 2) << 1;
        QTest::newRow("empty id never matches an empty id") << device("", "203.0.113.9", 9) << -1;
        QTest::newRow("two empty addresses are equal") << device("", "", 0) << 3;
        QTest::newRow("first entry in list order wins") << device("b", "198.51.100.1", 1) << 0;
    }

    void sameDevice()
    {
        QFETCH(RemoteDevice, record);
        QFETCH(int, index);
        const QList<RemoteDevice> registry{device("a", "198.51.100.1", 1), device("b", "198.51.100.2", 2),
                                           device("", "198.51.100.3", 3), device("", "", 0)};
        QCOMPARE(registry::findSameDevice(registry, record), qsizetype(index));
    }

    void resolvedIdentityKeepsSecretAndFlags()
    {
        RemoteDevice stored = device("old", "198.51.100.1", 53317, true, "secret");
        stored.sending = true;
        QList<RemoteDevice> registry{stored};
        RemoteDevice answer = device("new", "198.51.100.1", 53317, false, QString(), "Pixel 9");
        answer.lastSeen = 777;
        registry::applyResolvedIdentity(registry, answer);
        QCOMPARE(registry.size(), 1);
        QCOMPARE(registry[0].id, QStringLiteral("new"));
        QCOMPARE(registry[0].name, QStringLiteral("Pixel 9"));
        QCOMPARE(registry[0].lastSeen, 777);
        QVERIFY(registry[0].paired);
        QVERIFY(registry[0].sending);
        QCOMPARE(registry[0].sharedSecret, QStringLiteral("secret"));

        registry::applyResolvedIdentity(registry, device("other", "198.51.100.2", 1));
        QCOMPARE(ids(registry), (QStringList{"new", "other"}));
    }

    void repeatedPairingReplaces_data()
    {
        QTest::addColumn<RemoteDevice>("pairing");
        QTest::addColumn<QStringList>("expectedIds");
        QTest::newRow("same id, new address") << device("b", "203.0.113.5", 5, false, "s2")
                                              << QStringList{"a", "b"};
        QTest::newRow("no id, same address: id becomes empty") << device("", "198.51.100.2", 2, false, "s2")
                                                               << QStringList{"a", ""};
        QTest::newRow("new device appended") << device("c", "203.0.113.5", 5, false, "s2")
                                             << QStringList{"a", "b", "c"};
    }

    void repeatedPairingReplaces()
    {
        QFETCH(RemoteDevice, pairing);
        QFETCH(QStringList, expectedIds);
        QList<RemoteDevice> registry{device("a", "198.51.100.1", 1), device("b", "198.51.100.2", 2)};
        registry::applyPairedDevice(registry, pairing, 4242);
        registry::applyPairedDevice(registry, pairing, 4243); // twice in a row: still one entry
        QCOMPARE(ids(registry), expectedIds);
        const RemoteDevice &entry = registry[expectedIds.indexOf(pairing.id)];
        QVERIFY(entry.paired);
        QCOMPARE(entry.lastSeen, 4243);
        QCOMPARE(entry.sharedSecret, QStringLiteral("s2"));
        QCOMPARE(entry.ip, pairing.ip);
    }

    void unpair_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("absent id changes nothing") << "zz" << QStringList{"a", "dup", "", "b", "dup"};
        QTest::newRow("duplicates all go") << "dup" << QStringList{"a", "", "b"};
        QTest::newRow("empty id removes unknown identities") << "" << QStringList{"a", "dup", "b", "dup"};
    }

    void unpair()
    {
        QFETCH(QString, id);
        QFETCH(QStringList, remaining);
        QList<RemoteDevice> registry{device("a", "198.51.100.1", 1), device("dup", "198.51.100.2", 2),
                                     device("", "198.51.100.3", 3), device("b", "198.51.100.4", 4),
                                     device("dup", "198.51.100.5", 5)};
        registry::removeDevicesWithId(registry, id);
        QCOMPARE(ids(registry), remaining);
    }

    void storeRoundTripKeepsOrderAndSkipsUnpaired()
    {
        QList<RemoteDevice> registry{device("a", "198.51.100.1", 1, true, "sa"), device("x", "198.51.100.9", 9),
                                     device("b", "198.51.100.2", 2, true, "sb"),
                                     device("a", "198.51.100.3", 3, true, "sa2")};
        registry[0].lastSeen = 99;
        writePairedDevices(registry);
        const QList<RemoteDevice> loaded = readPairedDevices();
        QCOMPARE(ids(loaded), (QStringList{"a", "b", "a"}));
        QCOMPARE(loaded[2].sharedSecret, QStringLiteral("sa2"));
        QCOMPARE(loaded[1].port, 2);
        QCOMPARE(loaded[1].host, registry[2].host);
        for (const RemoteDevice &d : loaded) {
            QVERIFY(d.paired);
            QCOMPARE(d.lastSeen, 0);
            QVERIFY(!d.sending);
        }
    }

    // A shorter save leaves no element (and no secret) of a longer one behind.
    void shorterSaveLeavesNoStaleGroups()
    {
        QList<RemoteDevice> five;
        for (int i = 1; i <= 5; ++i)
            five.append(device(QString::number(i), "198.51.100.1", i, true, "secret-" + QString::number(i)));
        writePairedDevices(five);
        writePairedDevices(five.mid(0, 3));
        QCOMPARE(readPairedDevices().size(), 3);
        {
            SettingsStore store;
            store->beginGroup(QStringLiteral("PairedDevices"));
            QCOMPARE(store->childGroups(), (QStringList{"1", "2", "3"}));
            QCOMPARE(store->value(QStringLiteral("size")).toInt(), 3);
            store->endGroup();
        }
        writePairedDevices({device("u", "198.51.100.1", 1)}); // unpaired only
        SettingsStore store;
        QCOMPARE(store->value(QStringLiteral("PairedDevices/size")).toInt(), 0);
        QFile file(store->fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("secret-"));
    }

    void oddStoredValuesLoad()
    {
        {
            SettingsStore store;
            store->setValue(QStringLiteral("PairedDevices/size"), 2);
            store->setValue(QStringLiteral("PairedDevices/1/port"), QStringLiteral("not a number"));
            store->setValue(QStringLiteral("PairedDevices/1/name"), QStringLiteral("Ohne Id"));
            store->setValue(QStringLiteral("PairedDevices/2/id"), QStringLiteral("z"));
        }
        const QList<RemoteDevice> loaded = readPairedDevices();
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded[0].id, QString());
        QCOMPARE(loaded[0].port, 0);
        QCOMPARE(loaded[0].name, QStringLiteral("Ohne Id"));
        QCOMPARE(loaded[1].id, QStringLiteral("z"));
    }

    // The store holds shared secrets: only its owner may read it, after any write.
    void storeIsOwnerOnly()
    {
        writePairedDevices({device("a", "198.51.100.1", 1, true, "sa")});
        SettingsStore store;
        const QString path = store->fileName();
        QCOMPARE(QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ReadOwner |
                                             QFile::WriteOwner),
                 QFile::Permissions());
        QFile::setPermissions(path, QFile::Permissions(0x6644)); // as if loosened by hand
        {
            SettingsStore writer;
            writer->setValue(QStringLiteral("ReceiveFolder"), QStringLiteral("/tmp"));
        }
        QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup |
                                             QFile::WriteOther),
                 QFile::Permissions());
    }
};

QTEST_GUILESS_MAIN(DeviceRegistryTest)
#include "tst_device_registry.moc"
