#include "autostart.h"
#include "background_view.h"
#include "device_controller.h"
#include "history_controller.h"
#include "main_window.h"
#include "message_banner.h"
#include "protocol.h"
#include "settings_dialog.h"
#include "settings_store.h"
#include "test_support.h"
#include "transfer_feedback.h"
#include "tray_presence.h"
#include "tray_window_mode.h"
#include "ui_main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMovie>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#if defined(__SANITIZE_THREAD__)
// QProcess forks this threaded process to start the simulated phone; the child
// only execs, which ThreadSanitizer cannot tell and would stop.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}
#endif

namespace {
RemoteDevice dev(const QString &name, const QString &ip, int port, bool paired, qint64 lastSeen = 0)
{
    return RemoteDevice{{}, name, {}, ip, port, paired, lastSeen, {}};
}
} // namespace

// The window with its real network service (so it runs in the sandbox); the
// clock, identity lookups and sends are replaced to watch and steer.
class MainWindowTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    qint64 clockMs = 1'000'000;
    QStringList sends;
    QStringList notes; // desktop notifications: "summary: body"

    Ui::MainWindow *ui() const { return window->ui; }
    QString lastLog() const { return window->log.lines().last().mid(11); } // without "[hh:mm:ss] "
    void setRegistry(const QList<RemoteDevice> &devices)
    {
        window->deviceFlow->devices().replace(devices);
        window->refreshDeviceList();
    }
    QStringList rows() const
    {
        QStringList out;
        for (int i = 0; i < ui()->deviceList->count(); ++i)
            out.append(ui()->deviceList->item(i)->text());
        return out;
    }
    template <typename T> T *inSheet(const char *name) const
    {
        return window->settingsDialog->findChild<T *>(QLatin1String(name));
    }

private slots:
    void init()
    {
        SettingsStore()->clear();
        sends.clear();
        notes.clear();
        window = std::make_unique<MainWindow>();
        window->network.setAddressPolicy(sock::PeerAddressPolicy::LoopbackAllowed); // the simulated phone
        window->outlets.notify = [this](auto, const QString &summary, const QString &body, auto) {
            notes << summary + ": " + body;
        };
        window->outlets.now = [this] { return clockMs; };
        window->outlets.resolveIdentity = [](const RemoteDevice &) {};
        window->outlets.sendFile = [this](const RemoteDevice &d, const QString &path) {
            sends.append(d.name + QLatin1Char(':') + path);
        };
    }
    void cleanup() { window.reset(); }

    // The program runs for weeks: the log keeps the newest lines, in order.
    void logKeepsNewestLines()
    {
        for (int i = 0; i < ActivityLog::kMaxLines + 5; ++i)
            emit window->network.logMessage(QString::number(i));
        QCOMPARE(window->log.lines().size(), ActivityLog::kMaxLines);
        QVERIFY(window->log.lines().first().endsWith(QLatin1String("] 5")));
        QCOMPARE(lastLog(), QString::number(ActivityLog::kMaxLines + 4));
    }

    // 200 messages of 1 MiB from a phone: the log keeps their starts, and
    // "Kopieren" the whole text of the newest only.
    void longMessagesStayBounded()
    {
        std::vector<std::function<void()>> copies;
        window->outlets.notify = [&](auto, auto, const QString &body, DesktopNotifier::Actions actions) {
            QVERIFY(body.size() <= TransferFeedback::kMaxShownChars + 1);
            copies.push_back(actions.value(0).second);
        };
        const auto text = [](int i) { return QString(1 << 20, QChar('a' + i % 26)); };
        for (int i = 0; i < 200; ++i)
            emit window->network.messageReceived(text(i), "p1");
        qsizetype logged = 0;
        for (const QString &line : std::as_const(window->log.lines()))
            logged += line.size();
        QVERIFY2(logged < 200 * 600, qPrintable(QString::number(logged)));
        QVERIFY(window->feedback->recentTexts.keptCharacters() <= RecentTexts::kMaxKeptChars);
        copies.back()();
        QCOMPARE(QGuiApplication::clipboard()->text(), text(199));
        copies.front()();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 text(0).left(TransferFeedback::kMaxShownChars) + "\u2026");
    }

    // A message shows in the window too, in sight or not, readable without
    // covering the list or the drop area; "Kopieren" takes all of it, and
    // the sheet's log wraps it instead of scrolling sideways.
    void messageShownInWindow()
    {
        RemoteDevice phone = dev("Annas Pixel", "198.51.100.1", 1, true);
        phone.id = "p1";
        setRegistry({phone});
        window->showAtStart();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QString text = "Treffen um acht am Bahnhof. " + QString(MessageBanner::kMaxShownChars, 'x');
        emit window->network.messageReceived(text, "p1");
        auto *banner = window->findChild<MessageBanner *>();
        QVERIFY(banner && banner->isVisible());
        QCOMPARE(banner->findChild<QLabel *>()->text(), QStringLiteral("Nachricht von Annas Pixel"));
        QVERIFY(banner->findChild<QPlainTextEdit *>()->toPlainText().startsWith("Treffen um acht"));
        for (const QWidget *w :
             {static_cast<QWidget *>(ui()->deviceList), static_cast<QWidget *>(ui()->dropArea)})
            QVERIFY(
                !banner->geometry().intersects(QRect(w->mapTo(ui()->centralwidget, QPoint()), w->size())));
        QVERIFY2(banner->height() >= 80 && window->rect().contains(banner->geometry()),
                 qPrintable(QStringLiteral("%1,%2 %3x%4")
                                .arg(banner->x())
                                .arg(banner->y())
                                .arg(banner->width())
                                .arg(banner->height())));
        emit ui()->dropArea->filesDropped({"/tmp/a.jpg"}); // an outcome shows beside it, not beneath it
        QCOMPARE(ui()->transferSizeLabel->text(), QStringLiteral("Kein Geraet ausgewaehlt."));
        QVERIFY2(!banner->geometry().intersects(ui()->transferSizeLabel->geometry()) &&
                     banner->height() >= 36,
                 qPrintable(QString::number(banner->height())));
        banner->findChild<QPushButton *>("copyMessageButton")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), text);
        banner->findChild<QPushButton *>("closeMessageButton")->click();
        QVERIFY(banner->isHidden());
        emit window->network.messageReceived("Noch eine", "unbekannt");
        QCOMPARE(banner->findChild<QLabel *>()->text(), QStringLiteral("Nachricht vom Handy"));

        window->toggleSettings();
        auto *list = inSheet<QListWidget>("historyList");
        QListWidgetItem *line = list->findItems("Treffen um acht", Qt::MatchContains).value(0);
        QVERIFY(line);
        list->scrollToItem(line);
        QTRY_VERIFY(list->visualItemRect(line).height() > 3 * list->fontMetrics().height());
        QVERIFY(list->visualItemRect(line).width() <= list->viewport()->width());
    }

    // Where the desktop never says "minimised" (Wayland), only the window in
    // front counts as seen: a covered one notifies, and a click on the tray
    // icon brings it forward instead of hiding it.
    void inFrontOnlyWhenActive()
    {
        window->showAtStart();
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        emit window->network.messageReceived("gesehen", "p1");
        QWidget cover;
        cover.show();
        cover.activateWindow();
        QTRY_VERIFY(!window->isActiveWindow() && window->isVisible() && !window->isMinimized());
        emit window->network.messageReceived("verdeckt", "p1");
        QCOMPARE(notes, QStringList{"Nachricht vom Handy: verdeckt"});
        emit window->findChild<TrayPresence *>()->toggleRequested();
        QTRY_VERIFY(window->isVisible() && window->isActiveWindow());
        emit window->findChild<TrayPresence *>()->toggleRequested();
        QTRY_VERIFY(!window->isVisible());
    }

    // Silence of more than 10 s removes a guest and takes a paired phone
    // offline; the user's selection follows its device through every rebuild.
    void expiryKeepsSelection()
    {
        setRegistry({dev("Gast", "198.51.100.1", 1, false, clockMs - 10001),
                     dev("Zwei", "198.51.100.2", 2, false, clockMs - 10000),
                     dev("Handy", "198.51.100.3", 3, true, clockMs - 20000)});
        ui()->deviceList->setCurrentRow(1);
        window->deviceFlow->prune();
        QCOMPARE(rows(), (QStringList{"Zwei \u2022 Nicht gepaired", "Handy \u2022 Offline"}));
        QCOMPARE(ui()->deviceList->currentRow(), 0);
        emit window->network.deviceFound(dev("Zwei neu", "198.51.100.2", 2, false));
        QCOMPARE(ui()->deviceList->currentItem()->text(), QStringLiteral("Zwei neu \u2022 Nicht gepaired"));
    }

    void dropSendsToSelectedPhone()
    {
        setRegistry({dev("Eins", "198.51.100.1", 1, true), dev("Zwei", "198.51.100.2", 2, true)});
        emit ui()->dropArea->filesDropped({"/tmp/a.jpg"});
        QCOMPARE(lastLog(), QStringLiteral("Kein Geraet ausgewaehlt."));
        QCOMPARE(ui()->transferSizeLabel->text(), lastLog()); // in sight, not only in the log
        ui()->deviceList->setCurrentRow(1);
        emit ui()->dropArea->filesDropped({"/tmp/b.png", "/tmp/c.mov"});
        QCOMPARE(sends, (QStringList{"Zwei:/tmp/b.png", "Zwei:/tmp/c.mov"}));
    }

    // A paired phone silent where it proved itself, claimed at another
    // address: the first send there asks, and only a yes moves it for good.
    void moveIsConfirmedBeforeSending()
    {
        RemoteDevice phone = dev("Pixel", "198.51.100.1", 1, true);
        phone.id = "p1";
        setRegistry({phone});
        QStringList asked;
        bool answer = false;
        window->outlets.confirm = [&](const QString &question) { return asked << question, answer; };
        window->outlets.sendFile = [this](const RemoteDevice &d, const QString &path) {
            sends << d.ip + ':' + path;
        };
        RemoteDevice claim = dev("Pixel", "198.51.100.9", 2, false);
        claim.id = "p1";
        emit window->network.deviceIdentityResolved(claim);
        QVERIFY(lastLog().startsWith("Pixel meldet sich unter einer neuen Adresse: 198.51.100.9:2."));
        QCOMPARE(rows(), QStringList{"Pixel \u2022 Online"});
        ui()->deviceList->setCurrentRow(0);
        emit ui()->dropArea->filesDropped({"/tmp/a.jpg", "/tmp/b.jpg"});
        const QString question = "Pixel meldet sich unter einer neuen Adresse: 198.51.100.1:1 \u2192 "
                                 "198.51.100.9:2. Trotzdem senden?";
        QCOMPARE(asked, QStringList{question});
        QCOMPARE(sends, QStringList());
        QCOMPARE(readPairedDevices().value(0).ip, QString());
        answer = true;
        emit ui()->dropArea->filesDropped({"/tmp/c.jpg"});
        QCOMPARE(sends, QStringList{"198.51.100.9:/tmp/c.jpg"});
        QCOMPARE(readPairedDevices().value(0).ip, QStringLiteral("198.51.100.9"));
        emit ui()->dropArea->filesDropped({"/tmp/d.jpg"});
        QCOMPARE(asked.size(), 2); // moved: no second question
    }

    // Both directions show size and speed in the same units, then clear.
    void progressShownThenReset_data()
    {
        QTest::addColumn<int>("direction"); // 0 send, 1 receive, 2 failed send
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("notified"); // the window is hidden
        const QString sending = "1.50 MB / 3.00 MB \u2022 1.5 MB/s";
        QTest::newRow("sending") << 0 << sending << "Gesendet: a.jpg"
                                 << "Datei gesendet: a.jpg";
        QTest::newRow("receiving") << 1 << "Empfange: 1.50 MB / 3.00 MB \u2022 1.5 MB/s"
                                   << "Empfange: a.jpg"
                                   << "Datei empfangen: a.jpg";
        QTest::newRow("failed") << 2 << sending << "a.jpg: Senden abgebrochen."
                                << "Senden fehlgeschlagen: a.jpg: Senden abgebrochen.";
    }

    void progressShownThenReset()
    {
        QFETCH(int, direction);
        QFETCH(QString, shown);
        QFETCH(QString, outcome);
        QFETCH(QString, notified);
        const bool receiving = direction == 1;
        NetworkService &network = window->network;
        if (receiving)
            emit network.fileReceiveProgress(50, 1572864, 3145728, 1.5 * 1048576);
        else
            emit network.fileTransferProgress(50, 1572864, 3145728, 1.5);
        QVERIFY(!ui()->transferProgress->isHidden());
        QCOMPARE(ui()->transferProgress->value(), 50);
        QCOMPARE(ui()->transferSizeLabel->text(), shown);
        if (receiving)
            emit network.fileReceiveFinished(QStringLiteral("a.jpg"));
        else if (direction == 0)
            emit network.fileTransferFinished(QStringLiteral("198.51.100.1"), 1, QStringLiteral("a.jpg"));
        else
            emit network.fileTransferFailed("198.51.100.1", 1, "a.jpg", "Senden abgebrochen.");
        QCOMPARE(ui()->transferProgress->value(), direction == 2 ? 0 : 100); // a failed bar does not linger
        QCOMPARE(ui()->transferSizeLabel->text(), outcome);
        QCOMPARE(notes, QStringList{notified});
        QTRY_VERIFY_WITH_TIMEOUT(ui()->transferProgress->isHidden(), 5000);
        QCOMPARE(ui()->transferProgress->value(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(ui()->transferSizeLabel->isHidden(), 6000);
        QVERIFY(ui()->transferSizeLabel->text().isEmpty());
    }

    void pairingThroughTheSheet_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("right code") << "4711" << true << "Pairing erfolgreich: Annas Pixel";
        QTest::newRow("wrong code") << "0000" << true << "Pairing fehlgeschlagen: Falscher Code.";
        QTest::newRow("unreachable") << "4711" << false
                                     << "Pairing fehlgeschlagen: Verbindung fehlgeschlagen.";
    }

    void pairingThroughTheSheet()
    {
        QFETCH(QString, code);
        QFETCH(bool, reachable);
        QFETCH(QString, outcome);
        QProcess phone; // stdin stays open: the phone ends with this test at the latest
        phone.start(KAVELTOR_PYTHON3, {KAVELTOR_SIM_PHONE, "--exit-on-stdin-eof", "--name", "Annas Pixel",
                                       "--code", "4711", "--device-id", "p1", "--secret", "s3"});
        QVERIFY(QTest::qWaitFor([&] { return phone.canReadLine(); }, 20000));
        const int port = phone.readLine().mid(6).trimmed().toInt(); // "READY <port>"
        setRegistry({dev("Pixel (entdeckt)", "127.0.0.1", reachable ? port : 9, false)});
        window->toggleSettings();
        inSheet<QLineEdit>("pairingCodeEdit")->setText(" " + code + " ");
        QTest::keyClick(inSheet<QLineEdit>("pairingCodeEdit"), Qt::Key_Return); // Enter pairs, once
        QTRY_VERIFY_WITH_TIMEOUT(window->log.lines().join('\n').contains(outcome), 15000);
        QCOMPARE(window->log.lines().filter("Pairing gestartet").size(), 1);
        QCOMPARE(ui()->transferSizeLabel->text(), outcome);
        const bool paired = outcome.startsWith("Pairing erfolgreich");
        QCOMPARE(readPairedDevices().size(), paired ? 1 : 0);
        QCOMPARE(rows(), QStringList{paired ? "Annas Pixel \u2022 Online"
                                            : "Pixel (entdeckt) \u2022 Nicht gepaired"});
        if (!paired)
            return;

        // The phone may now send to this computer; once unpaired, no more.
        const QByteArray upload =
            "POST /upload HTTP/1.1\r\nX-KAVELTORLink-DeviceId: p1\r\n"
            "X-KAVELTORLink-Secret: s3\r\nX-Filename: gruss.txt\r\nContent-Length: 2\r\n\r\nhi";
        QTRY_VERIFY_WITH_TIMEOUT(window->network.listeningPort() != 0, 10000);
        QVERIFY(testsupport::exchange(protocol::kHttpPort, {upload}).endsWith(protocol::kBodyReceived));
        QVERIFY(
            testsupport::exchange(protocol::kHttpPort, {QByteArray(upload).replace("/upload", "/message")})
                .endsWith(protocol::kBodyReceived));
        // One file, one notification: the server's note on it is a log line,
        // not a phone's message.
        QTRY_COMPARE(notes, (QStringList{"Datei empfangen: gruss.txt", "Nachricht vom Handy: hi"}));
        QCOMPARE(window->log.lines().filter("Empfangen: Datei empfangen: /").size(), 1);
        QTest::qWait(100);
        QCOMPARE(notes.size(), 2);

        // Text to the phone: dropped on the drop area, and the clipboard
        // from the row's menu.
        QByteArray events;
        const auto phoneGot = [&](const QByteArray &text) {
            return (events += phone.readAll()).contains(text);
        };
        ui()->deviceList->setCurrentRow(0);
        emit ui()->dropArea->textDropped("Hallo Handy");
        QTRY_VERIFY_WITH_TIMEOUT(phoneGot("received Hallo Handy"), 10000);
        QTRY_COMPARE(ui()->transferSizeLabel->text(), QStringLiteral("Nachricht gesendet."));
        QGuiApplication::clipboard()->setText("aus der Zwischenablage");
        QTimer::singleShot(100, this, [] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QVERIFY(menu && menu->actions().size() == 2 && menu->actions().at(1)->isEnabled());
            menu->setActiveAction(menu->actions().at(1));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        const QRect row = ui()->deviceList->visualItemRect(ui()->deviceList->item(0));
        emit ui()->deviceList->customContextMenuRequested(row.center());
        QTRY_VERIFY_WITH_TIMEOUT(phoneGot("received aus der Zwischenablage"), 10000);

        // The open sheet follows the registry: paired now, unpaired at once.
        QCOMPARE(inSheet<QComboBox>("pairedDeviceCombo")->currentText(), QStringLiteral("Annas Pixel"));
        inSheet<QPushButton>("unpairButton")->click();
        QCOMPARE(rows(), QStringList());
        QCOMPARE(inSheet<QComboBox>("pairedDeviceCombo")->count(), 0);
        QVERIFY(testsupport::exchange(protocol::kHttpPort, {upload}).endsWith(protocol::kBodyUnauthorized));

        // What came and went stays in the history, with its phone, after a restart.
        const auto history = [this] {
            QStringList out;
            for (const HistoryEntry &e : window->history->store()->entries())
                out << e.phoneName + ": " + (e.fileName.isEmpty() ? e.text : e.fileName);
            return out;
        };
        const QStringList newest{"Annas Pixel: aus der Zwischenablage", "Annas Pixel: Hallo Handy",
                                 "Annas Pixel: hi", "Annas Pixel: gruss.txt"};
        QTRY_COMPARE(history().mid(0, 4), newest);
        window.reset();
        window = std::make_unique<MainWindow>();
        QTRY_COMPARE(history().mid(0, 4), newest);
    }

    // The sheet reports back to the window while it dies, so it must go
    // while the window is still whole.
    void sheetsDieBeforeWindow()
    {
        // The first sheet is closed, its deferred deletion still pending.
        window->toggleSettings();
        QPointer<QObject> closed = window->settingsDialog;
        window->toggleSettings();
        window->toggleSettings();
        QVERIFY(closed && closed != window->settingsDialog);
        const MainWindow *whole = window.get();
        int diedBeforeWindow = 0;
        for (QObject *sheet : {closed.data(), static_cast<QObject *>(window->settingsDialog)})
            connect(sheet, &QObject::destroyed, this,
                    [&] { diedBeforeWindow += qobject_cast<const MainWindow *>(whole) != nullptr; });
        window.reset();
        QCOMPARE(diedBeforeWindow, 2);
    }

    // Without a tray (offscreen here; also run under a headless Wayland
    // compositor at scale 2) the window shows at start; the sheet lives inside
    // it and goes when it hides; closing it ends the program.
    void windowLifeWithoutTray()
    {
        QVERIFY(!window->windowMode->inTray());
        QVERIFY(window->log.lines().join('\n').contains("Kein Infobereich (Tray) gefunden"));
        window->showAtStart();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QPixmap logo = ui()->logoLabel->pixmap();
        QCOMPARE(logo.devicePixelRatio(), window->devicePixelRatio());
        QCOMPARE(logo.width(), qRound(300 * window->devicePixelRatio())); // drawn in device pixels, sharp
        // The default background comes big enough for scale 2: never scaled up.
        QVERIFY(window->background->findChild<QMovie *>()->currentImage().width() >= 2 * window->width());
        window->toggleSettings();
        QPointer<SettingsDialog> sheet = window->settingsDialog;
        QVERIFY(sheet && !sheet->isWindow() && sheet->isVisible());
        QTRY_COMPARE(sheet->geometry().bottom(), window->height() - 2); // slid up over the content
        window->hide();
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
        window->present();
        QVERIFY(sheet && sheet->isVisible());
        QTest::keyClick(sheet, Qt::Key_Escape); // Escape closes the sheet
        QTRY_VERIFY(!sheet);
        QApplication::setQuitOnLastWindowClosed(false); // as the program runs
        QTimer::singleShot(0, window.get(), [this] { window->close(); });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); }); // a window that does not quit
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    // A verified update goes to the system; the program quits only when
    // something took it, else it says why, shows the folder and stays.
    void installerHandOver_data()
    {
        QTest::addColumn<int>("opener"); // its exit status
        QTest::newRow("taken") << 0;
        QTest::newRow("no handler") << 3;
    }

    void installerHandOver()
    {
        QFETCH(int, opener);
        const bool taken = opener == 0;
        // A stand-in opener and a bus that is not there: nothing real is asked.
        QTemporaryDir dir;
        QFile script(dir.filePath("opener"));
        QVERIFY(script.open(QIODevice::WriteOnly) &&
                script.write("#!/bin/sh\nexit " + QByteArray::number(opener)));
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        window->updates.installerSetup = {.busAddress = "unix:path=" + dir.filePath("no-bus"),
                                          .opener = script.fileName()};
        QStringList opened;
        window->outlets.openUrl = [&](const QUrl &url) {
            opened << url.toLocalFile();
            return true;
        };
        QApplication::setQuitOnLastWindowClosed(false);
        window->toggleSettings();
        const QString deb = dir.filePath("Updates/KAVELTORCompanionSetup-2.0.deb");
        QTimer::singleShot(0, window.get(), [&] { emit window->updates.service().downloadFinished(deb); });
        QTimer::singleShot(taken ? 5000 : 2000, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), taken ? 0 : 7);
        QCOMPARE(opened, taken ? QStringList() : QStringList{dir.filePath("Updates")});
        const QString status = taken ? "Installer wird gestartet..."
                                     : "Update-Fehler: Kein Programm zum Installieren des Pakets gefunden. "
                                       "Der Ordner mit dem Paket wird geöffnet.";
        QCOMPARE(inSheet<QLabel>("updateStatusLabel")->text(), status);
        QCOMPARE(window->log.lines().filter(status).size(), taken ? 0 : 1);
    }

    // The desktop's autostart entry is the checkbox's one source of truth.
    void autostartFollowsCheckbox()
    {
        const QString entry = autostart::entryPath();
        QVERIFY(entry.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/"));
        window->toggleSettings();
        auto *box = inSheet<QCheckBox>("autostartBox");
        QVERIFY(!box->isChecked());
        box->click();
        QVERIFY(autostart::isEnabled(entry));
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(
            file.readAll().contains("Exec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\"\n"));
        file.close();
        box->click();
        QVERIFY(!QFile::exists(entry));
        // Switched off in the desktop's own settings: the sheet shows it off.
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[Desktop Entry]\nHidden=true\n") > 0);
        file.close();
        window->toggleSettings();
        window->toggleSettings();
        QVERIFY(!inSheet<QCheckBox>("autostartBox")->isChecked());
    }

    // A stored picture deleted behind the program's back: the default shows
    // as when nothing was chosen, and the log says so once.
    void storedBackgroundGone()
    {
        const QString gone = QDir::temp().filePath("kaveltor-weg.png");
        for (int start = 0; start < 2; ++start) {
            if (start == 0)
                SettingsStore()->setValue(settingskeys::kBackgroundPath, gone);
            window = std::make_unique<MainWindow>();
            QCOMPARE(window->log.lines().filter("Hintergrundbild nicht mehr vorhanden").size(), 1 - start);
            QCOMPARE(SettingsStore()->value(settingskeys::kBackgroundPath).toString(), QString());
            window->showAtStart();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            QTRY_COMPARE(window->background->findChild<QMovie *>()->state(), QMovie::Running);
        }
    }

    // A picture that cannot be read never replaces the working one; very
    // tall pictures show their centre, without ever being scaled whole.
    void backgroundImport()
    {
        QTemporaryDir dir;
        const auto picture = [&](const QString &name, QSize size) {
            QImage image(size, QImage::Format_RGB32);
            image.fill(Qt::red);
            QPainter(&image).fillRect(0, size.height() * 45 / 100, size.width(), size.height() / 10,
                                      Qt::darkGreen);
            image.save(dir.filePath(name));
            return dir.filePath(name);
        };
        const auto file = [&](const QString &name, const QByteArray &bytes) {
            QFile f(dir.filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? f.fileName() : QString();
        };
        const auto import = [&](const QString &path) {
            const qsizetype before = window->log.lines().size();
            emit window->settingsDialog->backgroundChanged(path);
            const auto said = [&] { return window->log.lines().mid(before).filter("Hintergrundbild"); };
            return QTest::qWaitFor([&] { return !said().isEmpty(); }, 10000) ? said().first().mid(11)
                                                                             : QString();
        };
        const auto centre = [&] {
            return QColor(window->background->layer()->pixmap().toImage().pixel(210, 210));
        };
        window->toggleSettings();
        QVERIFY(import(picture("gut.png", {40, 20})).startsWith("Hintergrundbild geaendert"));
        const QString working = window->backgroundPath;
        const QString unreadable = QStringLiteral("Hintergrundbild konnte nicht gelesen werden.");
        QCOMPARE(import(file("kaputt.png", "kein Bild")), unreadable);
        QCOMPARE(import(file("kaputt.gif", "GIF89a\x10\x00\x10\x00kaputt")), unreadable);
        QCOMPARE(import(dir.filePath("fehlt.png")), QStringLiteral("Hintergrundbild nicht gefunden."));
        QCOMPARE(window->backgroundPath, working);
        QVERIFY(QFileInfo(working).isFile());
        QCOMPARE(centre(), QColor(Qt::darkGreen));
        for (const QSize size : {QSize(100, 20000), QSize(1, 100000)}) {
            const QString tall = picture(QStringLiteral("hoch%1.png").arg(size.width()), size);
            QVERIFY(import(tall).startsWith("Hintergrundbild geaendert"));
            QCOMPARE(centre(), QColor(Qt::darkGreen));
            QCOMPARE(window->background->layer()->pixmap().size(),
                     window->size() * window->devicePixelRatio());
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
