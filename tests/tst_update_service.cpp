#include "update_service.h"

#include <QtNetwork>
#include <QtTest>

class UpdateServiceTest : public QObject
{
    Q_OBJECT

    QTemporaryDir www;
    QProcess publisher;  // update/https_server.py, serving the files of www
    QStringList servers; // its base URLs: trusted, rogue, plain
    const QByteArray installer = "#!/bin/sh\necho installer\n" + QByteArray(300000, 'x');

    // Runs one step and returns its outcome; a second one shows joined to the first.
    static QString outcome(UpdateService &service, void (UpdateService::*step)())
    {
        QStringList seen;
        QObject scope;
        connect(&service, &UpdateService::updateAvailable, &scope, [&](auto v) { seen << "available:" + v; });
        connect(&service, &UpdateService::updateError, &scope, [&](auto e) { seen << "error:" + e; });
        connect(&service, &UpdateService::downloadFinished, &scope, [&](auto p) { seen << "saved:" + p; });
        (service.*step)();
        (void)QTest::qWaitFor([&] { return !seen.isEmpty(); }, 20000); // none shows as ""
        return seen.join(" + ");
    }

private slots:
    void initTestCase()
    {
        QFile file(www.filePath("setup.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(installer) == installer.size());
        file.close();
        publisher.setWorkingDirectory(www.path());
        publisher.start("python3", {QFINDTESTDATA("update/https_server.py")});
        QVERIFY(QTest::qWaitFor([&] { return publisher.canReadLine(); }, 30000));
        servers = QString(publisher.readLine().trimmed()).split(' ');
        QCOMPARE(servers.size(), 3);
        // Only the trusted server's certificate is trusted, and only because we say so.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(www.filePath("trusted.pem")));
        QSslConfiguration::setDefaultConfiguration(tls);
    }

    void cleanupTestCase() { publisher.closeWriteChannel(), publisher.waitForFinished(5000); }

    void newerVersion_data()
    {
        QTest::addColumn<QString>("versions"); // candidate and reference
        QTest::addColumn<bool>("newer");
        QTest::newRow("parts are numbers") << "1.0.10 1.0.9" << true;
        QTest::newRow("shorter but larger") << "1.1 1.0.5" << true;
        QTest::newRow("suffix makes the part 0") << "1.0.1-beta 1.0.0" << false;
        QTest::newRow("empty part is 0") << "1..2 1.0.1" << true;
        QTest::newRow("beyond int is 0") << "1.99999999999 1.5" << false;
    }

    void newerVersion()
    {
        QFETCH(QString, versions);
        QFETCH(bool, newer);
        QCOMPARE(UpdateService::isNewerVersion(versions.section(' ', 0, 0), versions.section(' ', 1)), newer);
    }

    // A check, then the download of what it found, over an older installer of
    // that version (executable, as earlier versions saved it).
    void update_data()
    {
        QTest::addColumn<QString>("manifest"); // its digest and the installer's route
        QTest::addColumn<int>("from");         // the manifest's server
        QTest::addColumn<QString>("expected"); // how the outcome starts
        const QString saved = "saved:" + UpdateService::installerPath("2.0");
        QTest::newRow("verified") << "right/files" << 0 << saved;
        QTest::newRow("safe redirects") << "right/hops/3" << 0 << saved;
        QTest::newRow("manifest from unknown authority") << "right/files" << 1 << "error:";
        QTest::newRow("short digest") << "abc/files" << 0 << "error:SHA-256 in Update-Information ist";
        QTest::newRow("digest mismatch") << "wrong/files" << 0 << "error:SHA-256-Pruefung fehlgeschlagen.";
        QTest::newRow("https to http") << "right/to-http" << 0 << "error:";
        QTest::newRow("endless redirects") << "right/hops/99" << 0 << "error:";
    }

    void update()
    {
        QFETCH(QString, manifest);
        QFETCH(int, from);
        QFETCH(QString, expected);
        const QString path = UpdateService::installerPath("2.0");
        QVERIFY(path.endsWith("/Updates/KAVELTORCompanionSetup-2.0.deb")); // what the project ships
        QDir folder = QFileInfo(path).dir();
        QFile older(path);
        QVERIFY(folder.removeRecursively() && folder.mkpath(".") && older.open(QIODevice::WriteOnly) &&
                older.write("older") == 5);
        older.close();
        const auto ownerReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        QVERIFY(older.setPermissions(ownerReadWrite | QFileDevice::ExeOwner));
        UpdateService service(QUrl(servers[from] + "/manifest/" + manifest + "/setup.bin"));
        QString result = outcome(service, &UpdateService::checkForUpdates);
        if (result == "available:2.0")
            result = outcome(service, &UpdateService::downloadUpdate);
        QVERIFY2(result.startsWith(expected) && !result.contains(" + "), qPrintable(result));
        // The package complete, readable and writable for its owner and not
        // executable where the signal says, or the older one as it was; never
        // anything beside it.
        const bool saved = expected.startsWith("saved:");
        QVERIFY(older.open(QIODevice::ReadOnly));
        QCOMPARE(older.readAll(), saved ? installer : "older");
        QCOMPARE(older.permissions() &
                     (ownerReadWrite | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther),
                 saved ? ownerReadWrite : ownerReadWrite | QFileDevice::ExeOwner);
        QCOMPARE(folder.entryList(QDir::Files), QStringList{QFileInfo(path).fileName()});
    }
};

QTEST_GUILESS_MAIN(UpdateServiceTest)
#include "tst_update_service.moc"
