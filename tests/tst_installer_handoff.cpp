#include "installer_handoff.h"

#include <QDBusConnectionInterface>
#include <QtTest>

#include "private_bus.h"

static const QString kName = QStringLiteral("org.freedesktop.PackageKit");

// The hand-over against a stand-in package installer on a bus of the test's
// own and a stand-in opener on a PATH of the test's own: the user's session
// and the real programs are never reached.
class InstallerHandoffTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess bus;
    QString package;

    static bool up() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(kName); }
    QStringList lines(const QString &name) const
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(startPrivateSessionBus(dir.path(), bus));
        // Only the stand-in opener is ever found.
        QVERIFY(QDir(dir.path()).mkpath("bin"));
        qputenv("PATH", dir.filePath("bin").toUtf8());
        package = dir.filePath("Updates/KAVELTORCompanionSetup-2.0.deb");
    }

    void cleanupTestCase() { bus.terminate(), bus.waitForFinished(); }

    void handOver_data()
    {
        QTest::addColumn<QString>("installer"); // the stand-in's answer, "none", or "no bus"
        QTest::addColumn<int>("opener");        // its exit status; -1: none on PATH
        QTest::addColumn<QString>("reason");    // empty: accepted
        const QString noProgram = "Kein Programm zum Installieren des Pakets gefunden.";
        QTest::newRow("installer accepts") << "accept" << 0 << "";
        QTest::newRow("installer refuses")
            << "refuse" << 0 << "Die Paketverwaltung meldet: Vom Benutzer abgebrochen.";
        QTest::newRow("installer without the interface") << "bare" << 0 << "";
        QTest::newRow("opener takes it") << "none" << 0 << "";
        QTest::newRow("opener finds no program") << "none" << 3 << noProgram;
        QTest::newRow("opener fails")
            << "none" << 4 << "Das Paket konnte nicht geöffnet werden (xdg-open endete mit Status 4).";
        QTest::newRow("no opener") << "none" << -1 << noProgram;
        QTest::newRow("no bus, no opener") << "no bus" << -1 << noProgram;
    }

    void handOver()
    {
        QFETCH(QString, installer);
        QFETCH(int, opener);
        QFETCH(QString, reason);
        QFile::remove(dir.filePath("opened")), QFile::remove(dir.filePath("installed"));
        QFile script(dir.filePath("bin/xdg-open"));
        script.remove();
        if (opener >= 0) {
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '%1'\nexit %2\n")
                             .arg(dir.filePath("opened"))
                             .arg(opener)
                             .toUtf8());
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        QProcess service;
        service.setStandardOutputFile(dir.filePath("installed"));
        const bool listening = installer != "none" && installer != "no bus";
        if (listening) {
            service.start(KAVELTOR_PYTHON3, {KAVELTOR_FAKE_PACKAGEKIT, installer});
            QTRY_VERIFY(up());
        }
        InstallerHandoff::Setup setup;
        if (installer == "no bus")
            setup.busAddress = "unix:path=" + dir.filePath("no-bus");

        InstallerHandoff handoff(setup);
        QSignalSpy finished(&handoff, &InstallerHandoff::finished);
        handoff.handOver(package);
        QCOMPARE(finished.size(), 0);
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished[0][1].toString(), reason);
        QCOMPARE(finished[0][0].toBool(), reason.isEmpty());

        if (listening) {
            service.closeWriteChannel(), service.waitForFinished();
            QTRY_VERIFY(!up());
        }
        // The installer that answered got exactly the package; the opener
        // only ran where no installer answered.
        const bool asked = installer == "accept" || installer == "refuse";
        QStringList installed;
        for (const QString &line : lines("installed"))
            installed += QJsonDocument::fromJson(line.toUtf8())["files"].toVariant().toStringList();
        QCOMPARE(installed, asked ? QStringList{package} : QStringList());
        QCOMPARE(lines("opened"), !asked && opener >= 0 ? QStringList{package} : QStringList());
    }
};

QTEST_GUILESS_MAIN(InstallerHandoffTest)
#include "tst_installer_handoff.moc"
