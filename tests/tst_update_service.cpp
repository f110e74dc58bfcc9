#include "update_service.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// An HTTPS server (Python's ssl module) serving the files of a folder.
class HttpsServer
{
public:
    bool start(const QString &script, const QString &cert, const QString &key, const QString &root)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("python3"), {script, "--cert", cert, "--key", key, "--root", root});
        if (!process.waitForStarted(5000) || !process.waitForReadyRead(10000))
            return false;
        const QByteArray line = process.readLine().trimmed();
        if (!line.startsWith("PORT "))
            return false;
        port = line.mid(5).toInt();
        return port > 0;
    }
    ~HttpsServer()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(2000))
            process.kill();
        process.waitForFinished(2000);
    }
    QString url(const QString &route, const QString &name) const
    {
        return QStringLiteral("https://127.0.0.1:%1/%2/%3").arg(port).arg(route, name);
    }

    QProcess process;
    int port = 0;
};

bool run(const QString &program, const QStringList &args, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        qWarning() << program << args << p.readAll();
        return false;
    }
    return true;
}

// A certificate authority and a server certificate for 127.0.0.1 signed by it,
// made afresh for each run: no private key is ever committed.
bool makeCertificates(const QString &dir, const QString &prefix)
{
    const QString ca = prefix + "ca", server = prefix + "server";
    return run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                           "/CN=" + prefix + "Test CA", "-keyout", ca + ".key", "-out", ca + ".pem"},
               dir) &&
           run("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                           server + ".key", "-out", server + ".csr"},
               dir) &&
           QFile(dir + "/" + prefix + "ext.cnf").open(QIODevice::WriteOnly) &&
           run("sh", {"-c", "printf 'subjectAltName=IP:127.0.0.1\\n' > " + prefix + "ext.cnf"}, dir) &&
           run("openssl", {"x509", "-req", "-in", server + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                           "-CAcreateserial", "-days", "2", "-extfile", prefix + "ext.cnf", "-out",
                           server + ".pem"},
               dir);
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}
} // namespace

class UpdateServiceTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString root;
    HttpsServer trusted;
    HttpsServer rogue;
    QByteArray installer;

    void writeFile(const QString &name, const QByteArray &data)
    {
        QFile f(root + "/" + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

    void writeManifest(const QString &name, const QJsonValue &manifest)
    {
        writeFile(name, manifest.isArray() ? QJsonDocument(manifest.toArray()).toJson()
                                           : QJsonDocument(manifest.toObject()).toJson());
    }

    QJsonObject manifest(const QString &version, const QString &url, const QString &digest)
    {
        return QJsonObject{{"version", version}, {"url", url}, {"sha256", digest}};
    }

    // Runs a check against the named manifest and returns the one outcome:
    // "available:<v>", "none" or "error:<text>".
    QString check(UpdateService &service, const QString &manifestName)
    {
        Q_UNUSED(manifestName);
        QSignalSpy available(&service, &UpdateService::updateAvailable);
        QSignalSpy none(&service, &UpdateService::noupdateAvailable);
        QSignalSpy error(&service, &UpdateService::updateError);
        QSignalSpy started(&service, &UpdateService::updateCheckStarted);
        service.checkForUpdates();
        if (started.count() != 1)
            return "no start signal";
        if (!QTest::qWaitFor([&] { return available.count() + none.count() + error.count() > 0; }, 15000))
            return "no outcome";
        QTest::qWait(50); // exactly one outcome
        if (available.count() + none.count() + error.count() != 1)
            return "several outcomes";
        if (!available.isEmpty())
            return "available:" + available.first().first().toString();
        if (!none.isEmpty())
            return "none";
        return "error:" + error.first().first().toString();
    }

    QString download(UpdateService &service, QList<int> *progress = nullptr)
    {
        QSignalSpy finished(&service, &UpdateService::downloadFinished);
        QSignalSpy error(&service, &UpdateService::updateError);
        QSignalSpy percent(&service, &UpdateService::downloadProgress);
        service.downloadUpdate();
        if (!QTest::qWaitFor([&] { return finished.count() + error.count() > 0; }, 15000))
            return "no outcome";
        if (progress)
            for (const QList<QVariant> &p : percent)
                progress->append(p.first().toInt());
        if (!finished.isEmpty())
            return "saved:" + finished.first().first().toString();
        return "error:" + error.first().first().toString();
    }

    UpdateService *serviceFor(const QString &manifestName, HttpsServer &server)
    {
        return new UpdateService(QUrl(server.url("files", manifestName)), this);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("ZELTRAWORKS");
        QCoreApplication::setApplicationName("KAVELTOR Companion");
        QCoreApplication::setApplicationVersion("1.0.0");
        QVERIFY(dir.isValid());
        root = dir.filePath("www");
        QVERIFY(QDir().mkpath(root));
        QVERIFY(makeCertificates(dir.path(), "good-"));
        QVERIFY(makeCertificates(dir.path(), "rogue-"));
        const QString script = QFINDTESTDATA("update/https_server.py");
        QVERIFY(trusted.start(script, dir.filePath("good-server.pem"), dir.filePath("good-server.key"), root));
        QVERIFY(rogue.start(script, dir.filePath("rogue-server.pem"), dir.filePath("rogue-server.key"), root));

        // Only our own test authority is trusted, and only because we say so.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(dir.filePath("good-ca.pem")));
        QSslConfiguration::setDefaultConfiguration(tls);

        installer = QByteArray("#!/bin/sh\necho installer\n") + QByteArray(300000, 'x');
        writeFile("setup.bin", installer);
    }

    void init()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/Updates").removeRecursively();
    }

    void isNewerVersion_data()
    {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("reference");
        QTest::addColumn<bool>("newer");
        QTest::newRow("10 > 9 as numbers") << "1.0.10" << "1.0.9" << true;
        QTest::newRow("9 < 10 as numbers") << "1.0.9" << "1.0.10" << false;
        QTest::newRow("shorter but larger") << "1.1" << "1.0.5" << true;
        QTest::newRow("missing part is 0") << "1.0" << "1.0.0" << false;
        QTest::newRow("missing part is 0, reversed") << "1.0.0" << "1.0" << false;
        QTest::newRow("suffix makes the part 0") << "1.0.1-beta" << "1.0.0" << false;
        QTest::newRow("suffix elsewhere") << "1.1-rc.0" << "1.0.5" << false;
        QTest::newRow("empty part") << "1..2" << "1.0.1" << true;
        QTest::newRow("out of int range is 0") << "1.99999999999" << "1.5" << false;
        QTest::newRow("largest int") << "1.2147483647" << "1.5" << true;
        QTest::newRow("equal") << "2.3.4" << "2.3.4" << false;
        QTest::newRow("empty against version") << "" << "1.0.0" << false;
    }

    void isNewerVersion()
    {
        QFETCH(QString, candidate);
        QFETCH(QString, reference);
        QFETCH(bool, newer);
        QCOMPARE(UpdateService::isNewerVersion(candidate, reference), newer);
    }

    void check_data()
    {
        QTest::addColumn<QJsonValue>("manifest");
        QTest::addColumn<QString>("outcome");
        const QString url = "https://127.0.0.1/setup.bin";
        const QString digest = QString(64, 'a');
        QTest::newRow("newer") << QJsonValue(manifest("1.0.1", url, digest)) << "available:1.0.1";
        QTest::newRow("equal") << QJsonValue(manifest("1.0.0", url, digest)) << "none";
        QTest::newRow("older") << QJsonValue(manifest("0.9.9", url, digest)) << "none";
        QTest::newRow("digest in capitals with blanks")
            << QJsonValue(manifest("2.0", url, "  " + QString(64, 'F') + "\t")) << "available:2.0";
        QTest::newRow("http installer")
            << QJsonValue(manifest("2.0", "http://127.0.0.1/setup.bin", digest))
            << "error:Installer-URL ist ungueltig oder nicht HTTPS.";
        QTest::newRow("installer url not a url") << QJsonValue(manifest("2.0", "::", digest))
                                                 << "error:Installer-URL ist ungueltig oder nicht HTTPS.";
        QTest::newRow("array") << QJsonValue(QJsonArray{manifest("2.0", url, digest)})
                               << "error:Ungueltige version.json";
        QTest::newRow("missing version")
            << QJsonValue(QJsonObject{{"url", url}, {"sha256", digest}}) << "error:Update-Information unvollstaendig";
        QTest::newRow("digest not a string")
            << QJsonValue(QJsonObject{{"version", "2.0"}, {"url", url}, {"sha256", 5}})
            << "error:Update-Information unvollstaendig";
        QTest::newRow("short digest") << QJsonValue(manifest("2.0", url, QString(63, 'a')))
                                      << "error:SHA-256 in Update-Information ist ungueltig.";
    }

    void check()
    {
        QFETCH(QJsonValue, manifest);
        QFETCH(QString, outcome);
        writeManifest("latest.json", manifest);
        std::unique_ptr<UpdateService> service(serviceFor("latest.json", trusted));
        QCOMPARE(check(*service, "latest.json"), outcome);
    }

    void checkFailures()
    {
        // Missing manifest: the network layer's own text.
        std::unique_ptr<UpdateService> missing(serviceFor("nothing-here.json", trusted));
        const QString notFound = check(*missing, "");
        QVERIFY2(notFound.startsWith("error:") && notFound.size() > 6, qPrintable(notFound));

        // A server whose certificate we do not trust is an error, never a result.
        writeManifest("latest.json", manifest("9.0", trusted.url("files", "setup.bin"), sha256Hex(installer)));
        std::unique_ptr<UpdateService> untrusted(serviceFor("latest.json", rogue));
        const QString tls = check(*untrusted, "");
        QVERIFY2(tls.startsWith("error:"), qPrintable(tls));

        // The fixed manifest address itself must be https.
        UpdateService plain(QUrl("http://127.0.0.1:1/latest.json"));
        QCOMPARE(check(plain, ""), QStringLiteral("error:Update-URL ist ungueltig oder nicht HTTPS."));
    }

    void downloadVerifiedInstaller()
    {
        // Capitals and blanks in the manifest's digest still match.
        writeManifest("latest.json", manifest("1.2.0", trusted.url("files", "setup.bin"),
                                              " " + QString::fromLatin1(sha256Hex(installer)).toUpper() + " "));
        std::unique_ptr<UpdateService> service(serviceFor("latest.json", trusted));
        QCOMPARE(check(*service, ""), QStringLiteral("available:1.2.0"));
        QList<int> progress;
        const QString path = UpdateService::installerPath("1.2.0");
        QCOMPARE(download(*service, &progress), "saved:" + path);
        QVERIFY(path.endsWith("/Updates/KAVELTORCompanionSetup-1.2.0.AppImage"));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), installer);
        QVERIFY(saved.permissions() & QFileDevice::ExeOwner);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), 100);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    }

    void wrongDigestKeepsOlderInstaller()
    {
        const QString path = UpdateService::installerPath("1.3.0");
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        {
            QFile older(path);
            QVERIFY(older.open(QIODevice::WriteOnly));
            older.write("older installer");
        }
        writeManifest("latest.json", manifest("1.3.0", trusted.url("files", "setup.bin"), QString(64, '0')));
        std::unique_ptr<UpdateService> service(serviceFor("latest.json", trusted));
        QCOMPARE(check(*service, ""), QStringLiteral("available:1.3.0"));
        QCOMPARE(download(*service), QStringLiteral("error:SHA-256-Pruefung fehlgeschlagen."));
        QFile older(path);
        QVERIFY(older.open(QIODevice::ReadOnly));
        QCOMPARE(older.readAll(), QByteArray("older installer"));
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files), QStringList{QFileInfo(path).fileName()});
    }

    void unsizedDownloadReportsNoProgress()
    {
        writeManifest("latest.json", manifest("1.4.0", trusted.url("unsized", "setup.bin"), sha256Hex(installer)));
        std::unique_ptr<UpdateService> service(serviceFor("latest.json", trusted));
        QCOMPARE(check(*service, ""), QStringLiteral("available:1.4.0"));
        QList<int> progress;
        QCOMPARE(download(*service, &progress), "saved:" + UpdateService::installerPath("1.4.0"));
        QVERIFY2(progress.isEmpty(), qPrintable(QString::number(progress.size())));
    }

    void downloadFailures()
    {
        UpdateService fresh(QUrl(trusted.url("files", "latest.json")));
        QCOMPARE(download(fresh), QStringLiteral("error:Keine Download-URL vorhanden"));

        // A redirect from https to http is not followed.
        writeManifest("latest.json", manifest("1.5.0", trusted.url("to-http", "setup.bin"), sha256Hex(installer)));
        std::unique_ptr<UpdateService> redirected(serviceFor("latest.json", trusted));
        QCOMPARE(check(*redirected, ""), QStringLiteral("available:1.5.0"));
        const QString outcome = download(*redirected);
        QVERIFY2(outcome.startsWith("error:") && outcome.size() > 6, qPrintable(outcome));
        QVERIFY(!QFile::exists(UpdateService::installerPath("1.5.0")));

        // A server that stalls mid-body ends with an error once the time-out passes.
        writeManifest("latest.json", manifest("1.6.0", trusted.url("stall", "setup.bin"), sha256Hex(installer)));
        std::unique_ptr<UpdateService> stalled(serviceFor("latest.json", trusted));
        stalled->setTransferTimeout(700);
        QCOMPARE(check(*stalled, ""), QStringLiteral("available:1.6.0"));
        const QString timedOut = download(*stalled);
        QVERIFY2(timedOut.startsWith("error:") && timedOut.size() > 6, qPrintable(timedOut));
        QVERIFY(!QFile::exists(UpdateService::installerPath("1.6.0")));
    }

    void unsaveableInstallerIsReported()
    {
        // Something that is not a file already holds the installer's name.
        const QString path = UpdateService::installerPath("1.7.0");
        QVERIFY(QDir().mkpath(path));
        writeManifest("latest.json", manifest("1.7.0", trusted.url("files", "setup.bin"), sha256Hex(installer)));
        std::unique_ptr<UpdateService> service(serviceFor("latest.json", trusted));
        QCOMPARE(check(*service, ""), QStringLiteral("available:1.7.0"));
        QCOMPARE(download(*service), QStringLiteral("error:Installer konnte nicht gespeichert werden"));
        QVERIFY(QFileInfo(path).isDir());
    }

    // A manifest cannot steer the installer out of the update folder.
    void versionCannotEscapeUpdateFolder()
    {
        const QString path = UpdateService::installerPath("../../../../evil/x");
        QVERIFY(path.startsWith(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                                "/Updates/KAVELTORCompanionSetup-"));
        QVERIFY(!path.mid(path.lastIndexOf("/Updates/") + 9).contains('/'));
    }
};

QTEST_GUILESS_MAIN(UpdateServiceTest)
#include "tst_update_service.moc"
