// The settings store: how far a damaged or planted paired list is read, and
// the folders made for the file that holds the secrets.
#include "settings_store.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    // First, before anything opened the store: the folders it makes for its
    // file are the owner's alone, even with a umask that opens them to all.
    void ownerOnlyFolders()
    {
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config + "/made/by"));
        const mode_t saved = ::umask(0);
        QString file;
        {
            SettingsStore store;
            store->setValue("probe", 1);
            file = store->fileName();
        }
        ::umask(saved);
        QVERIFY(file.startsWith(config + "/made/by/"));
        for (QString path = file; path != config; path = QFileInfo(path).absolutePath()) {
            struct stat status;
            QVERIFY(::stat(QFile::encodeName(path).constData(), &status) == 0);
            QCOMPARE(status.st_mode & 0777, path == file ? 0600u : 0700u);
        }
    }

    // Elements read from a stored list: the count in the file bounds the
    // read but never sizes it, the first element without an id ends it, and
    // no file makes it read more than the bound.
    void damagedPairedList_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("withoutId");
        QTest::addColumn<int>("read");
        QTest::newRow("huge count") << 2147483647 << 3 << 0 << 3;
        QTest::newRow("id missing midway") << 5 << 5 << 3 << 2;
        QTest::newRow("ten thousand") << 10000 << 10000 << 0 << kMaxPairedDevices;
        QTest::newRow("stale elements past the count") << 2 << 4 << 0 << 2;
    }

    void damagedPairedList()
    {
        QFETCH(int, count);
        QFETCH(int, stored);
        QFETCH(int, withoutId);
        {
            SettingsStore store;
            store->remove(settingskeys::kPairedDevices);
            for (int i = 1; i <= stored; ++i) {
                const QString element = QStringLiteral("PairedDevices/%1/").arg(i);
                store->setValue(element + (i == withoutId ? "name" : "id"), QStringLiteral("id-%1").arg(i));
                store->setValue(element + "sharedSecret", "s");
            }
            store->setValue("PairedDevices/size", count);
        }
        QElapsedTimer clock;
        clock.start();
        const QList<RemoteDevice> devices = readPairedDevices();
        const qint64 ms = clock.elapsed();
        QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
        QTEST(int(devices.size()), "read");
        QCOMPARE(devices.last().id, QStringLiteral("id-%1").arg(devices.size()));
    }
};

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_settings_store.moc"
