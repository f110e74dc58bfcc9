#include "main_window.h"
#include "main_window_form.h"
#include "settings_dialog.h"
#include "settings_dialog_form.h"
#include "settings_store.h"
#include "sim_phone.h"
#include "test_support.h"
#include "widget_test_support.h"

#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMovie>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace testsupport;

namespace {
RemoteDevice device(const QString &name, const QString &ip, int port, bool paired = false,
                    const QString &id = QString(), const QString &secret = QString())
{
    RemoteDevice d;
    d.id = id;
    d.name = name;
    d.ip = ip;
    d.port = port;
    d.paired = paired;
    d.sharedSecret = secret;
    return d;
}
} // namespace

// The settings sheet as the window drives it: opening and closing, pairing
// and unpairing, the receive folder, the background and the update flow.
class WindowFlowsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    QList<QPair<RemoteDevice, QString>> pairings;
    QStringList installers;
    QTemporaryDir scratch;
    qint64 clockMs = 1'700'000'000'000;

    QStringList logSince(qsizetype from) const { return logTexts(window->logLines.mid(from)); }

    SettingsDialog *openSheet()
    {
        window->toggleSettings();
        return window->settingsDialog;
    }

    QString makeImage(const QString &name, const char *format)
    {
        QImage image(80, 40, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        const QString path = scratch.filePath(name);
        image.save(path, format);
        return path;
    }

    void chooseBackground(SettingsDialog *sheet, const QString &path)
    {
        sheet->chooseFile = [path](QWidget *, const QString &, const QString &, const QString &) { return path; };
        child<QPushButton>(sheet, "chooseBackgroundButton")->click();
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("ZELTRAWORKS");
        QCoreApplication::setApplicationName("KAVELTOR Companion");
        QCoreApplication::setApplicationVersion("1.0.0");
    }

    void init()
    {
        {
            SettingsStore store;
            store->clear();
        }
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)).removeRecursively();
        pairings.clear();
        installers.clear();
        window = std::make_unique<MainWindow>();
        window->outlets.now = [this] { return clockMs; };
        window->outlets.resolveIdentity = [](const RemoteDevice &) {};
        window->outlets.pairDevice = [this](const RemoteDevice &d, const QString &code) {
            pairings.append({d, code});
        };
        window->outlets.startInstaller = [this](const QString &path) { installers.append(path); };
        window->move(300, 200);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup()
    {
        window.reset();
    }

    // Open, close, open again: each sheet is new and starts with installing
    // disabled, whatever an earlier sheet showed.
    void toggleOpenCloseReopen()
    {
        QPointer<SettingsDialog> first = openSheet();
        QVERIFY(first && first->isVisible());
        QCOMPARE(child<QLabel>(first, "updateStatusLabel")->text(), QStringLiteral("Version 1.0.0"));
        emit window->updater.updateAvailable("2.0.0");
        QVERIFY(child<QPushButton>(first, "installUpdateButton")->isEnabled());

        window->toggleSettings();
        QTRY_VERIFY(first.isNull());
        QVERIFY(!window->settingsDialog);

        QPointer<SettingsDialog> second = openSheet();
        QVERIFY(second && second != first);
        QCOMPARE(child<QLabel>(second, "updateStatusLabel")->text(), QStringLiteral("Version 1.0.0"));
        QVERIFY(!child<QPushButton>(second, "installUpdateButton")->isEnabled());
        // A sheet that exists but was hidden is replaced, not shown again.
        second->hide();
        QPointer<SettingsDialog> third = openSheet();
        QVERIFY(third && third != second);
        QTRY_VERIFY(second.isNull());
    }

    // The sheet is exactly as wide as the window, never taller than 350, and
    // slides up until its last row sits one pixel above the window's last row.
    void sheetGeometry()
    {
        SettingsDialog *sheet = openSheet();
        const QRect win = window->geometry();
        const int bottomRow = win.top() + win.height() - 1;
        QCOMPARE(sheet->width(), win.width());
        QVERIFY(sheet->height() <= 350);
        QTRY_COMPARE_WITH_TIMEOUT(sheet->geometry(),
                                  QRect(win.left(), bottomRow - sheet->height(), win.width(), sheet->height()), 3000);
    }

    void sheetIsFilledFromTheWindow()
    {
        window->devices = {device("Pixel", "198.51.100.4", 53317, true, "p1", "s1"),
                           device("Galaxy", "198.51.100.5", 53317)};
        window->receiveFolder = "/srv/empfang";
        window->logLines = QStringList{"[09:00:00] eins", "[09:00:01] zwei"};
        SettingsDialog *sheet = openSheet();
        QCOMPARE(child<QComboBox>(sheet, "pairingDeviceCombo")->count(), 2);
        QCOMPARE(child<QComboBox>(sheet, "pairedDeviceCombo")->count(), 1);
        QCOMPARE(child<QLineEdit>(sheet, "receiveFolderEdit")->text(), QStringLiteral("/srv/empfang"));
        auto *history = child<QListWidget>(sheet, "historyList");
        QCOMPARE(history->count(), 2);
        window->appendLog("drei");
        QCOMPARE(history->count(), 3);
        QCOMPARE(history->item(2)->text(), window->logLines.last());
    }

    void pairingAndUnpairing()
    {
        window->devices = {device("Galaxy", "198.51.100.5", 53317)};
        window->refreshDeviceList();
        SettingsDialog *sheet = openSheet();
        child<QLineEdit>(sheet, "pairingCodeEdit")->setText("  4711 ");
        const qsizetype from = window->logLines.size();
        child<QPushButton>(sheet, "pairButton")->click();
        child<QPushButton>(sheet, "pairButton")->click();
        QCOMPARE(pairings.size(), 2); // no pairing state of its own: two requests
        QCOMPARE(pairings.first().second, QStringLiteral("4711"));
        QCOMPARE(logSince(from), (QStringList{"Pairing gestartet mit: Galaxy", "Pairing gestartet mit: Galaxy"}));

        // Both answers arrive: one entry, the row that was unpaired, now online.
        RemoteDevice answer = device("Galaxy S24", "198.51.100.5", 53317, false, "g1", "secret");
        emit window->network.pairingSucceeded(answer);
        emit window->network.pairingSucceeded(answer);
        QTRY_COMPARE(logSince(from).count(QStringLiteral("Pairing erfolgreich: Galaxy S24")), 2);
        QCOMPARE(window->devices.size(), 1);
        QVERIFY(window->devices.first().paired);
        QCOMPARE(window->ui->deviceList->item(0)->text(), QStringLiteral("Galaxy S24 \u2022 Online"));
        QCOMPARE(readPairedDevices().size(), 1);
        QCOMPARE(readPairedDevices().first().sharedSecret, QStringLiteral("secret"));

        // A failure changes nothing but the log.
        emit window->network.pairingFailed("Verbindung fehlgeschlagen.");
        QTRY_COMPARE(logSince(from).last(), QStringLiteral("Pairing fehlgeschlagen: Verbindung fehlgeschlagen."));
        QCOMPARE(window->devices.size(), 1);
        QCOMPARE(readPairedDevices().size(), 1);

        // Unpairing an unknown id logs all the same; the known one is gone.
        emit sheet->unpairRequested("nobody");
        QCOMPARE(logSince(from).last(), QStringLiteral("Geraet entkoppelt."));
        QCOMPARE(window->devices.size(), 1);
        emit sheet->unpairRequested("g1");
        QCOMPARE(window->devices.size(), 0);
        QCOMPARE(readPairedDevices().size(), 0);
    }

    // Pairing through the sheet with a simulated phone, and what the local
    // server then accepts from that phone.
    void pairingWithSimulatedPhone_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("right code") << "4711" << true << "Pairing erfolgreich: Annas Pixel";
        QTest::newRow("wrong code: the phone's own text") << "0000" << true
                                                          << "Pairing fehlgeschlagen: Falscher Code.";
        QTest::newRow("phone unreachable") << "4711" << false
                                           << "Pairing fehlgeschlagen: Verbindung fehlgeschlagen.";
    }

    void pairingWithSimulatedPhone()
    {
        QFETCH(QString, code);
        QFETCH(bool, reachable);
        QFETCH(QString, outcome);
        SimPhone phone({"--name", "Annas Pixel", "--code", "4711"});
        QVERIFY(phone.waitReady());
        window->outlets.pairDevice = [this](const RemoteDevice &d, const QString &c) {
            window->network.pairDevice(d, c);
        };
        RemoteDevice seen = phone.device();
        seen.name = QStringLiteral("Pixel (entdeckt)");
        if (!reachable)
            seen.port = 9; // nothing listens there in the test's namespace
        window->onDeviceFound(seen);
        QCOMPARE(window->devices.size(), 1);

        SettingsDialog *sheet = openSheet();
        child<QLineEdit>(sheet, "pairingCodeEdit")->setText(" " + code + " ");
        const qsizetype from = window->logLines.size();
        child<QPushButton>(sheet, "pairButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(logSince(from).value(1), outcome, 10000);
        QCOMPARE(logSince(from).first(), QStringLiteral("Pairing gestartet mit: Pixel (entdeckt)"));
        QCOMPARE(window->devices.size(), 1);
        if (!outcome.startsWith("Pairing erfolgreich")) {
            QVERIFY(!window->devices.first().paired);
            QCOMPARE(readPairedDevices().size(), 0);
            return;
        }
        const RemoteDevice paired = window->devices.first();
        QVERIFY(paired.paired);
        QCOMPARE(paired.id, phone.deviceId());
        QCOMPARE(paired.sharedSecret, phone.secret());
        QCOMPARE(window->ui->deviceList->item(0)->text(), QStringLiteral("Annas Pixel \u2022 Online"));

        // Twice in a row: still one entry, here and in the store.
        child<QPushButton>(sheet, "pairButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(logSince(from).count(outcome), 2, 10000);
        QCOMPARE(window->devices.size(), 1);
        QCOMPARE(readPairedDevices().size(), 1);

        // The phone may now send to this computer; after unpairing it may not.
        const QByteArray upload = "POST /upload HTTP/1.1\r\nX-KAVELTORLink-DeviceId: " + phone.deviceId().toUtf8() +
                                  "\r\nX-KAVELTORLink-Secret: " + phone.secret().toUtf8() +
                                  "\r\nX-Filename: gruss.txt\r\nContent-Length: 5\r\n\r\nhallo";
        QTRY_VERIFY_WITH_TIMEOUT(window->network.listeningPort() != 0, 5000);
        QVERIFY(testsupport::exchange(NetworkService::kHttpPort, {upload}).endsWith("{\"received\":true}"));
        // The sheet's lists are snapshots: the paired phone shows in a new one.
        window->toggleSettings();
        QTRY_VERIFY(!window->settingsDialog);
        sheet = openSheet();
        QCOMPARE(child<QComboBox>(sheet, "pairedDeviceCombo")->currentText(), QStringLiteral("Annas Pixel"));
        child<QPushButton>(sheet, "unpairButton")->click();
        QCOMPARE(logSince(from).last(), QStringLiteral("Geraet entkoppelt."));
        QVERIFY(window->devices.isEmpty());
        QVERIFY(testsupport::exchange(NetworkService::kHttpPort, {upload}).endsWith("{\"error\":\"unauthorized\"}"));
    }

    void receiveFolderChange()
    {
        SettingsDialog *sheet = openSheet();
        const QString folder = scratch.filePath("neuer ordner");
        sheet->chooseFolder = [folder](QWidget *, const QString &, const QString &) { return folder; };
        child<QPushButton>(sheet, "chooseFolderButton")->click();
        QCOMPARE(window->receiveFolder, folder);
        QCOMPARE(window->network.receiveFolder(), folder);
        SettingsStore store;
        QCOMPARE(store->value("ReceiveFolder").toString(), folder);
        const QString line = window->logLines.last();
        QCOMPARE(line.mid(11), "Empfangsordner geaendert: " + folder);
        auto *history = child<QListWidget>(sheet, "historyList");
        QCOMPARE(history->item(history->count() - 1)->text(), line);
    }

    void backgroundImport()
    {
        SettingsDialog *sheet = openSheet();
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);

        // A JPEG with its suffix in capitals becomes a PNG copy.
        chooseBackground(sheet, makeImage("Urlaub.JPG", "JPG"));
        const QString png = QDir(data).filePath("background_custom_1700000000000.png");
        QCOMPARE(window->backgroundPath, png);
        QCOMPARE(child<QLineEdit>(sheet, "backgroundPathEdit")->text(), png);
        QCOMPARE(window->logLines.last().mid(11), "Hintergrundbild geaendert: " + png);
        QVERIFY(!window->backgroundMovie);
        QCOMPARE(SettingsStore()->value("BackgroundPath").toString(), png);

        // An animated GIF stays animated, and replaces the earlier import.
        clockMs += 1000;
        const QString gif = scratch.filePath("tanz.gif");
        QFile::copy(QFINDTESTDATA("../resources/back.gif"), gif);
        chooseBackground(sheet, gif);
        QCOMPARE(window->backgroundPath, QDir(data).filePath("background_custom_1700000001000.gif"));
        QVERIFY(window->backgroundMovie && window->backgroundMovie->isValid());
        QCOMPARE(window->backgroundMovie->frameCount() > 1, true);
        QCOMPARE(QDir(data).entryList({"background_custom_*"}, QDir::Files),
                 QStringList{"background_custom_1700000001000.gif"});

        // WebP plays too.
        clockMs += 1000;
        chooseBackground(sheet, makeImage("welle.webp", "WEBP"));
        QVERIFY(window->backgroundPath.endsWith(".webp"));
        QVERIFY(window->backgroundMovie && window->backgroundMovie->isValid());

        // Failures leave path, files and the field as they were.
        const QString kept = window->backgroundPath;
        for (const QString &bad : {scratch.filePath("gibt es nicht.png"), QString()}) {
            QString path = bad;
            QString expected = QStringLiteral("Hintergrundbild nicht gefunden.");
            if (path.isEmpty()) {
                path = scratch.filePath("kaputt.png");
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write("kein Bild");
                expected = QStringLiteral("Hintergrundbild konnte nicht gelesen werden.");
            }
            chooseBackground(sheet, path);
            QCOMPARE(window->logLines.last().mid(11), expected);
            QCOMPARE(window->backgroundPath, kept);
            QCOMPARE(child<QLineEdit>(sheet, "backgroundPathEdit")->text(), kept);
        }
    }

    void updateFlow()
    {
        SettingsDialog *sheet = openSheet();
        auto *status = child<QLabel>(sheet, "updateStatusLabel");
        auto *bar = child<QProgressBar>(sheet, "updateProgress");
        auto *check = child<QPushButton>(sheet, "checkUpdatesButton");
        auto *install = child<QPushButton>(sheet, "installUpdateButton");
        QVERIFY(bar->isHidden());

        // A real check: the publisher cannot be reached from the test's
        // private network, so it ends in an error shown in the sheet.
        check->click();
        QCOMPARE(status->text(), QStringLiteral("Suche nach Updates..."));
        QVERIFY(!bar->isHidden());
        QCOMPARE(bar->value(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith("Update-Fehler: "), 20000);
        QVERIFY(!install->isEnabled());

        emit window->updater.noupdateAvailable();
        QCOMPARE(status->text(), QStringLiteral("Du hast die neueste Version."));
        emit window->updater.updateAvailable("1.2.3");
        QCOMPARE(status->text(), QStringLiteral("Update verfuegbar: 1.2.3"));
        QVERIFY(install->isEnabled());

        // Installing: disabled at once, progress, an error keeps the last value.
        QSignalSpy downloads(sheet, &SettingsDialog::installUpdateRequested);
        install->click();
        QCOMPARE(downloads.count(), 1);
        QVERIFY(!install->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith("Update-Fehler: "), 20000); // no URL known yet
        emit window->updater.downloadProgress(40);
        QCOMPARE(status->text(), QStringLiteral("Update wird heruntergeladen..."));
        QCOMPARE(bar->value(), 40);
        emit window->updater.updateError("Netzwerk weg");
        QCOMPARE(status->text(), QStringLiteral("Update-Fehler: Netzwerk weg"));
        QCOMPARE(bar->value(), 40);
        QVERIFY(!install->isEnabled());

        emit window->updater.downloadFinished("/tmp/KAVELTORCompanionSetup-1.2.3.AppImage");
        QCOMPARE(status->text(), QStringLiteral("Installer wird gestartet..."));
        QCOMPARE(installers, QStringList{"/tmp/KAVELTORCompanionSetup-1.2.3.AppImage"});

        // Once the sheet is gone its controls no longer follow the service,
        // and a finished download starts nothing.
        window->toggleSettings();
        QTRY_VERIFY(!window->settingsDialog);
        emit window->updater.updateAvailable("9.9.9");
        emit window->updater.downloadFinished("/tmp/other");
        QCOMPARE(installers.size(), 1);
    }
};

QTEST_MAIN(WindowFlowsTest)
#include "tst_window_flows.moc"
