#include "cover_crop.h"
#include "main_window.h"
#include "main_window_form.h"
#include "settings_dialog.h"
#include "settings_store.h"
#include "test_support.h"
#include "transfer_format.h"
#include "tray_placement.h"
#include "widget_test_support.h"

#include <QElapsedTimer>
#include <QMenu>
#include <QMimeData>
#include <QMovie>
#include <QPointer>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

using namespace testsupport;

namespace {
const QString kNoDevice = QStringLiteral("Kein Geraet ausgewaehlt.");

RemoteDevice device(const QString &name, const QString &ip, int port, bool paired = false,
                    const QString &id = QString(), qint64 lastSeen = 0)
{
    RemoteDevice d;
    d.id = id;
    d.name = name;
    d.host = name.toLower() + QStringLiteral(".local.");
    d.ip = ip;
    d.port = port;
    d.paired = paired;
    d.lastSeen = lastSeen;
    return d;
}

// "name@ip:port/paired/lastSeen" per entry, to compare registries at a glance.
QStringList summary(const QList<RemoteDevice> &devices)
{
    QStringList out;
    for (const RemoteDevice &d : devices)
        out.append(QStringLiteral("%1@%2:%3/%4/%5")
                       .arg(d.name, d.ip)
                       .arg(d.port)
                       .arg(d.paired ? QStringLiteral("p") : QStringLiteral("u"))
                       .arg(d.lastSeen));
    return out;
}

struct Send
{
    QString name;
    QString path;
};
} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    qint64 clockMs = 1'000'000;
    QList<RemoteDevice> lookups;
    QList<Send> sends;
    QStringList balloons;
    std::function<QString()> chooser;

    Ui::MainWindow *ui() const { return window->ui; }
    QList<RemoteDevice> &devices() const { return window->devices; }
    QStringList logSince(qsizetype from) const { return logTexts(window->logLines.mid(from)); }

    void makeWindow()
    {
        window = std::make_unique<MainWindow>();
        window->outlets.now = [this] { return clockMs; };
        window->outlets.resolveIdentity = [this](const RemoteDevice &d) { lookups.append(d); };
        window->outlets.sendFile = [this](const RemoteDevice &d, const QString &path) {
            sends.append({d.name, path});
        };
        window->outlets.chooseFile = [this] { return chooser ? chooser() : QString(); };
        window->outlets.balloon = [this](const QString &title, const QString &text, int ms) {
            balloons.append(QStringLiteral("%1|%2|%3").arg(title, text).arg(ms));
        };
    }

    void setRegistry(const QList<RemoteDevice> &list)
    {
        devices() = list;
        window->refreshDeviceList();
    }

    QStringList shownRows() const
    {
        QStringList rows;
        for (int i = 0; i < ui()->deviceList->count(); ++i)
            rows.append(ui()->deviceList->item(i)->text());
        return rows;
    }

    void drop(const QStringList &paths)
    {
        auto *mime = new QMimeData;
        QList<QUrl> urls;
        for (const QString &p : paths)
            urls.append(p.startsWith(QLatin1String("http")) ? QUrl(p) : QUrl::fromLocalFile(p));
        mime->setUrls(urls);
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        // Straight to the widget: a drop without a drag in progress would
        // trip the application's drag bookkeeping.
        static_cast<QObject *>(ui()->dropArea)->event(&event);
        delete mime;
    }

private slots:
    void init()
    {
        SettingsStore store;
        store->clear();
        lookups.clear();
        sends.clear();
        balloons.clear();
        chooser = nullptr;
        clockMs = 1'000'000;
        makeWindow();
    }

    void cleanup() { window.reset(); }

    // ---- layout -------------------------------------------------------------

    void widgetTree_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QSize>("fixedSize"); // invalid: not fixed
        QTest::addColumn<int>("pointSize");   // -1: not set
        QTest::addColumn<QString>("text");

        QTest::newRow("label") << "label"
                               << "QLabel" << QSize() << 17 << "KAVELTOR";
        QTest::newRow("titleBar") << "titleBar"
                                  << "QFrame" << QSize() << -1 << QString();
        QTest::newRow("minimise") << "minimierenButton"
                                  << "QPushButton" << QSize(50, 30) << 25 << "-";
        QTest::newRow("settings") << "settingsButtton"
                                  << "QPushButton" << QSize(50, 30) << 15 << "\u2261";
        QTest::newRow("status") << "statusLabel"
                                << "QLabel" << QSize() << -1 << "\u25cf Online";
        QTest::newRow("section") << "sectionLabel"
                                 << "QLabel" << QSize(310, 15) << -1 << "Ger\u00e4te";
        QTest::newRow("list") << "deviceList"
                              << "QListWidget" << QSize(330, 130) << -1 << QString();
        QTest::newRow("explorer") << "sendFileButton"
                                  << "QPushButton" << QSize(80, 100) << 8 << "Explorer";
        QTest::newRow("drop area") << "dropArea"
                                   << "DropAreaWidget" << QSize(300, 100) << -1 << QString();
        QTest::newRow("drop text") << "label_2"
                                   << "QLabel" << QSize() << 7 << "Dateien hier ablegen";
        QTest::newRow("progress") << "transferProgress"
                                  << "QProgressBar" << QSize() << -1 << QString();
        QTest::newRow("size line") << "transferSizeLabel"
                                   << "QLabel" << QSize() << -1 << QString();
        QTest::newRow("logo") << "logoLabel"
                              << "QLabel" << QSize(300, 40) << -1 << QString();
    }

    void widgetTree()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QSize, fixedSize);
        QFETCH(int, pointSize);
        QFETCH(QString, text);

        auto *w = window->findChild<QWidget *>(name);
        QVERIFY2(w, qPrintable(name));
        QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
        if (fixedSize.isValid()) {
            QCOMPARE(w->minimumSize(), fixedSize);
            QCOMPARE(w->maximumSize(), fixedSize);
        }
        if (pointSize > 0)
            QCOMPARE(w->font().pointSize(), pointSize);
        QVERIFY(w->font().bold());
        QVERIFY(!w->font().italic());
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->text(), text);
        if (auto *button = qobject_cast<QPushButton *>(w))
            QCOMPARE(button->text(), text);
    }

    void windowProperties()
    {
        QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window->windowTitle(), QStringLiteral("KAVELTOR Companion"));
        QCOMPARE(window->size(), QSize(420, 420));
        QCOMPARE(window->minimumSize(), QSize(420, 420));
        QCOMPARE(window->maximumSize(), QSize(420, 420));
        QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(std::abs(window->windowOpacity() - 0.92) < 0.005); // kept as 0..255
        QCOMPARE(window->font().family(), QStringLiteral("DejaVu Sans Mono"));

        QCOMPARE(ui()->titleBar->minimumSize(), QSize(200, 40));
        QCOMPARE(ui()->titleBar->maximumSize(), QSize(300, 40));
        QCOMPARE(ui()->horizontalLayoutWidget->geometry(), QRect(0, 0, 201, 42));
        QCOMPARE(ui()->label_2->geometry(), QRect(40, 30, 211, 41));
        QCOMPARE(ui()->minimierenButton->font().family(), QStringLiteral("Bahnschrift SemiBold Condensed"));
        QVERIFY(!ui()->minimierenButton->font().kerning());
        QCOMPARE(ui()->mainLayout->contentsMargins(), QMargins(0, 0, 0, 5));
        QCOMPARE(ui()->verticalLayout->contentsMargins().left(), 22);
        QCOMPARE(ui()->verticalLayout->contentsMargins().right(), 22);
        QCOMPARE(ui()->deviceList->styleSheet(), QStringLiteral("background-color: rgba(45, 52, 64, 200);;"));
        QCOMPARE(ui()->sendFileButton->styleSheet(),
                 QStringLiteral("background-color: rgba(24, 24, 24, 0.77);"));
        QVERIFY(ui()->dropArea->styleSheet().contains(QLatin1String("DropAreaWidget#dropArea:hover")));
        QVERIFY(ui()->dropArea->styleSheet().contains(QLatin1String("rgba(30, 35, 44, 200)")));
        QVERIFY(ui()->centralwidget->styleSheet().contains(QLatin1String("QPushButton:hover")));
        QVERIFY(ui()->transferProgress->isHidden());
        QVERIFY(ui()->transferSizeLabel->text().isEmpty());
        QVERIFY(!ui()->logoLabel->pixmap().isNull());
    }

    // The backdrop is the bottom-most child and stays there across resizes.
    void backgroundStaysBeneath()
    {
        auto stackIndex = [this](QObject *o) { return window->children().indexOf(o); };
        QVERIFY(window->backgroundLayer);
        QCOMPARE(window->backgroundLayer->parent(), window.get());
        QCOMPARE(window->backgroundLayer->geometry(), window->rect());
        QVERIFY(stackIndex(window->backgroundLayer) < stackIndex(ui()->centralwidget));
        QVERIFY(!window->backgroundLayer->pixmap().isNull());
        QCOMPARE(window->backgroundLayer->pixmap().size(), QSize(420, 420));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->backgroundLayer->geometry(), window->rect());
        QVERIFY(stackIndex(window->backgroundLayer) < stackIndex(ui()->centralwidget));
    }

    void coverCrop_data()
    {
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QSize>("scaled");
        QTest::addColumn<QRect>("crop");
        QTest::newRow("wide") << QSize(1000, 500) << QSize(840, 420) << QRect(210, 0, 420, 420);
        QTest::newRow("tall") << QSize(300, 900) << QSize(420, 1260) << QRect(0, 420, 420, 420);
        QTest::newRow("small square") << QSize(100, 100) << QSize(420, 420) << QRect(0, 0, 420, 420);
        QTest::newRow("odd overhang rounds down")
            << QSize(421, 420) << QSize(421, 420) << QRect(0, 0, 420, 420);
    }

    void coverCrop()
    {
        QFETCH(QSize, image);
        QFETCH(QSize, scaled);
        QFETCH(QRect, crop);
        QSize got;
        QCOMPARE(coverCropRect(image, QSize(420, 420), &got), crop);
        QCOMPARE(got, scaled);

        // Left half red, right half blue: the crop of a wide image keeps both
        // halves, centred.
        QImage picture(image, QImage::Format_RGB32);
        picture.fill(Qt::red);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = picture.width() / 2; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb(0, 0, 255));
        const QImage out = coverAndCrop(QPixmap::fromImage(picture), QSize(420, 420)).toImage();
        QCOMPARE(out.size(), QSize(420, 420));
        QCOMPARE(QColor(out.pixel(5, 210)), QColor(Qt::red));
        QCOMPARE(QColor(out.pixel(414, 210)), QColor(Qt::blue));
    }

    // The default animation plays only while the window is shown; hidden, the
    // program does no per-frame work at all.
    void backgroundAnimationFollowsVisibility()
    {
        QVERIFY(window->backgroundMovie);
        QVERIFY(window->backgroundMovie->state() != QMovie::Running);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->backgroundMovie->state(), QMovie::Running);
        QSignalSpy frames(window->backgroundMovie, &QMovie::frameChanged);
        QVERIFY(frames.wait(2000));
        window->hide();
        QCOMPARE(window->backgroundMovie->state(), QMovie::Paused);
        frames.clear();
        QTest::qWait(500);
        QCOMPARE(frames.count(), 0);
        window->show();
        QCOMPARE(window->backgroundMovie->state(), QMovie::Running);
    }

    // A stored background is shown as it is; one whose file has gone falls
    // back to the default and is forgotten.
    void storedBackground_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("animated");
        QTest::newRow("still image") << "custom.png" << true << false;
        QTest::newRow("animated copy") << "custom.gif" << true << true;
        QTest::newRow("still image gone") << "gone.png" << false << false;
        QTest::newRow("animation gone") << "gone.gif" << false << false;
    }

    void storedBackground()
    {
        QFETCH(QString, file);
        QFETCH(bool, exists);
        QFETCH(bool, animated);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        if (exists && file.endsWith(QLatin1String(".gif"))) {
            QVERIFY(QFile::copy(QStringLiteral(":/back.gif"), path));
        } else if (exists) {
            QImage image(QSize(100, 50), QImage::Format_RGB32);
            image.fill(Qt::darkGreen);
            QVERIFY(image.save(path));
        }
        window.reset();
        SettingsStore()->setValue(QStringLiteral("BackgroundPath"), path);
        makeWindow();

        QCOMPARE(window->backgroundPath, exists ? path : QString());
        QCOMPARE(SettingsStore()->value(QStringLiteral("BackgroundPath")).toString(),
                 exists ? path : QString());
        QCOMPARE(window->backgroundMovie != nullptr, animated);
        QCOMPARE(window->backgroundLayer->pixmap().size(), QSize(420, 420));
        if (exists && !animated)
            QCOMPARE(QColor(window->backgroundLayer->pixmap().toImage().pixel(210, 210)),
                     QColor(Qt::darkGreen));
    }

    // ---- device list ----------------------------------------------------------

    void rowTexts_data()
    {
        QTest::addColumn<bool>("paired");
        QTest::addColumn<qint64>("lastSeen");
        QTest::addColumn<QString>("row");
        QTest::newRow("unpaired") << false << qint64(5) << "Pixel \u2022 Nicht gepaired";
        QTest::newRow("paired, never seen") << true << qint64(0) << "Pixel \u2022 Offline";
        QTest::newRow("paired, negative") << true << qint64(-3) << "Pixel \u2022 Offline";
        QTest::newRow("paired, seen") << true << qint64(1) << "Pixel \u2022 Online";
    }

    void rowTexts()
    {
        QFETCH(bool, paired);
        QFETCH(qint64, lastSeen);
        QFETCH(QString, row);
        setRegistry({device("Pixel", "198.51.100.2", 1, paired, QString(), lastSeen)});
        QCOMPARE(shownRows(), QStringList{row});
        QCOMPARE(window->rowToDevice, QList<int>{0});
    }

    void sightingMerge_data()
    {
        QTest::addColumn<RemoteDevice>("sighting");
        QTest::addColumn<QStringList>("after");
        // Registry before each row: A@198.51.100.1:10 paired id "a", B@198.51.100.2:20 unpaired.
        const QString now = QStringLiteral("1000000");
        QTest::newRow("same id moves the entry")
            << device("A2", "203.0.113.5", 30, false, "a")
            << QStringList{"A2@203.0.113.5:30/p/" + now, "B@198.51.100.2:20/u/0"};
        QTest::newRow("same address renames")
            << device("B-neu", "198.51.100.2", 20)
            << QStringList{"A@198.51.100.1:10/p/0", "B-neu@198.51.100.2:20/u/" + now};
        QTest::newRow("same name moves to the new address")
            << device("B", "203.0.113.9", 99)
            << QStringList{"A@198.51.100.1:10/p/0", "B@203.0.113.9:99/u/" + now};
        QTest::newRow("other port is another device")
            << device("C", "198.51.100.2", 21)
            << QStringList{"A@198.51.100.1:10/p/0", "B@198.51.100.2:20/u/0", "C@198.51.100.2:21/u/" + now};
        QTest::newRow("name compared case-sensitively")
            << device("b", "203.0.113.9", 99)
            << QStringList{"A@198.51.100.1:10/p/0", "B@198.51.100.2:20/u/0", "b@203.0.113.9:99/u/" + now};
        QTest::newRow("entries are tested in list order, so a name match can win")
            << device("A", "198.51.100.2", 20)
            << QStringList{"A@198.51.100.2:20/p/" + now, "B@198.51.100.2:20/u/0"};
        QTest::newRow("no address still merged and appended")
            << device("D", "", 0)
            << QStringList{"A@198.51.100.1:10/p/0", "B@198.51.100.2:20/u/0", "D@:0/u/" + now};
    }

    void sightingMerge()
    {
        QFETCH(RemoteDevice, sighting);
        QFETCH(QStringList, after);
        RemoteDevice a = device("A", "198.51.100.1", 10, true, "a");
        a.sharedSecret = QStringLiteral("s3cret");
        setRegistry({a, device("B", "198.51.100.2", 20)});
        window->onDeviceFound(sighting);
        QCOMPARE(summary(devices()), after);
        // Discovery never touches what pairing established.
        QCOMPARE(devices().at(0).id, QStringLiteral("a"));
        QCOMPARE(devices().at(0).sharedSecret, QStringLiteral("s3cret"));
        QCOMPARE(shownRows().size(), after.size());
    }

    void expirySweep()
    {
        QCOMPARE(window->pruneTimer->interval(), 3000);
        QVERIFY(window->pruneTimer->isActive());
        window->pruneDevices(); // empty registry: nothing to do
        QVERIFY(shownRows().isEmpty());

        setRegistry({device("Stored", "198.51.100.1", 1, true)});
        QCOMPARE(shownRows(), QStringList{"Stored \u2022 Offline"});
        window->onDeviceFound(device("Stored", "198.51.100.1", 1));
        window->onDeviceFound(device("Guest", "198.51.100.2", 2));
        QCOMPARE(shownRows(), (QStringList{"Stored \u2022 Online", "Guest \u2022 Nicht gepaired"}));

        clockMs += 10000; // exactly 10 s of silence is not yet silence
        window->pruneDevices();
        QCOMPARE(shownRows(), (QStringList{"Stored \u2022 Online", "Guest \u2022 Nicht gepaired"}));

        clockMs += 1;
        window->pruneDevices();
        QCOMPARE(shownRows(), QStringList{"Stored \u2022 Offline"});
        QCOMPARE(devices().at(0).lastSeen, qint64(0));
        QCOMPARE(window->rowToDevice, QList<int>{0});

        clockMs += 60000; // an offline entry stays listed
        window->pruneDevices();
        QCOMPARE(shownRows(), QStringList{"Stored \u2022 Offline"});
    }

    // Several unpaired entries go at once; the survivors keep their order.
    void expiryRemovesInterleaved()
    {
        setRegistry({device("U1", "198.51.100.1", 1, false, {}, clockMs - 20000),
                     device("P1", "198.51.100.2", 2, true, {}, clockMs - 20000),
                     device("U2", "198.51.100.3", 3, false, {}, clockMs - 1000),
                     device("U3", "198.51.100.4", 4, false, {}, clockMs - 20000)});
        window->pruneDevices();
        QCOMPARE(shownRows(), (QStringList{"P1 \u2022 Offline", "U2 \u2022 Nicht gepaired"}));
        QCOMPARE(window->rowToDevice, (QList<int>{0, 1}));
    }

    void identityLookups()
    {
        const RemoteDevice phone = device("Phone", "198.51.100.7", 53317);
        window->onDeviceFound(phone);
        window->onDeviceFound(phone);
        QCOMPARE(lookups.size(), 1);
        QCOMPARE(lookups.at(0).ip, phone.ip);
        QVERIFY(window->pendingIdentity.contains(QStringLiteral("198.51.100.7:53317")));
        QCOMPARE(devices().size(), 1); // a pending key skips the lookup, never the merge

        // No lookup without address, with a port of 0 or with a known id.
        window->onDeviceFound(device("NoIp", "", 53317));
        window->onDeviceFound(device("NoPort", "198.51.100.8", 0));
        window->onDeviceFound(device("Known", "198.51.100.9", 1, false, "id-9"));
        QCOMPARE(lookups.size(), 1);

        // The answer frees the key: the next sighting asks again.
        RemoteDevice answer = phone;
        answer.id = QStringLiteral("phone-id");
        window->applyResolvedIdentity(answer);
        QVERIFY(window->pendingIdentity.isEmpty());
        window->onDeviceFound(phone);
        QCOMPARE(lookups.size(), 2);
    }

    // A lookup that never answers blocks new ones for 8 s, not for ever.
    void identityLookupExpires()
    {
        const RemoteDevice phone = device("Silent", "198.51.100.7", 53317);
        QElapsedTimer clock;
        clock.start();
        window->onDeviceFound(phone);
        QTRY_VERIFY_WITH_TIMEOUT(window->pendingIdentity.isEmpty(), 12000);
        const qint64 took = clock.elapsed();
        QVERIFY2(took >= 7900 && took < 11000, qPrintable(QString::number(took)));
        window->onDeviceFound(phone);
        QCOMPARE(lookups.size(), 2);
    }

    // ---- log and messages ------------------------------------------------------

    void logLineFormat()
    {
        QCOMPARE(logTexts(window->logLines).value(0), QStringLiteral("KAVELTOR Companion gestartet."));
        const qsizetype from = window->logLines.size();
        window->onLogMessage(QStringLiteral("HTTP Server aktiv."));
        const QString line = window->logLines.last();
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\[([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d\\] HTTP Server aktiv\\.$"))
                     .match(line)
                     .hasMatch(),
                 qPrintable(line));
        QCOMPARE(logSince(from), QStringList{"HTTP Server aktiv."});
    }

    // A program that runs for weeks keeps the newest lines, in order.
    void logIsBounded()
    {
        for (int i = 0; i < MainWindow::kMaxLogLines + 25; ++i)
            window->appendLog(QString::number(i));
        QCOMPARE(window->logLines.size(), MainWindow::kMaxLogLines);
        QCOMPARE(logTexts(window->logLines).first(), QString::number(25));
        QCOMPARE(logTexts(window->logLines).last(), QString::number(MainWindow::kMaxLogLines + 24));
    }

    void messagesAndBalloons()
    {
        const qsizetype from = window->logLines.size();
        window->onMessageReceived(QStringLiteral("Hallo vom Telefon"));
        QCOMPARE(logSince(from), QStringList{"Empfangen: Hallo vom Telefon"});
        QCOMPARE(balloons, QStringList{"KAVELTOR Companion|Hallo vom Telefon|3000"});

        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->onMessageReceived(QStringLiteral("Datei empfangen: /tmp/a.jpg"));
        QCOMPARE(balloons.size(), 1); // shown: only the log line
        QCOMPARE(logSince(from).last(), QStringLiteral("Empfangen: Datei empfangen: /tmp/a.jpg"));
    }

    // The sheet follows the log while it is open and is forgotten once closed.
    void settingsSheetToggles()
    {
        window->toggleSettings();
        QPointer<SettingsDialog> sheet = window->settingsDialog;
        QVERIFY(sheet);
        window->appendLog(QStringLiteral("while open"));
        window->toggleSettings();
        QTRY_VERIFY(sheet.isNull());
        QVERIFY(!window->settingsDialog);
        window->appendLog(QStringLiteral("after closing"));
        QCOMPARE(logTexts(window->logLines).last(), QStringLiteral("after closing"));
    }

    // ---- drops and sending -----------------------------------------------------

    void dropAcceptance_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("jpg") << "/tmp/a.jpg" << true;
        QTest::newRow("upper case suffix") << "/tmp/photo.JPG" << true;
        QTest::newRow("usdz") << "/tmp/scene.usdz" << true;
        QTest::newRow("last suffix counts") << "/tmp/archive.tar.gz" << false;
        QTest::newRow("gltf after other dots") << "/tmp/v1.2/model.final.gltf" << true;
        QTest::newRow("no dot") << "/tmp/README" << false;
        QTest::newRow("dot in folder only") << "/tmp/x.png/README" << false;
        QTest::newRow("text") << "/tmp/notes.txt" << false;
        QTest::newRow("hidden file named like a suffix") << "/tmp/.png" << true;
    }

    void dropAcceptance()
    {
        QFETCH(QString, path);
        QFETCH(bool, accepted);
        QCOMPARE(ui()->dropArea->isAcceptedFile(path), accepted);

        auto *mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        static_cast<QObject *>(ui()->dropArea)->event(&enter);
        QCOMPARE(enter.isAccepted(), accepted);
        delete mime;
    }

    void dropSendsAcceptedFilesInOrder()
    {
        setRegistry({device("Eins", "198.51.100.1", 1, true), device("Zwei", "198.51.100.2", 2, true)});
        ui()->deviceList->setCurrentRow(1);
        drop({"/tmp/b.png", "/tmp/notes.txt", "https://example.invalid/c.jpg", "/tmp/a.MOV"});
        QCOMPARE(sends.size(), 2);
        QCOMPARE(sends.at(0).name, QStringLiteral("Zwei"));
        QCOMPARE(sends.at(0).path, QStringLiteral("/tmp/b.png"));
        QCOMPARE(sends.at(1).path, QStringLiteral("/tmp/a.MOV"));
    }

    void dropWithoutSelection()
    {
        setRegistry({device("Eins", "198.51.100.1", 1, true)});
        const qsizetype from = window->logLines.size();
        drop({"/tmp/a.jpg"});
        QVERIFY(sends.isEmpty());
        QCOMPARE(logSince(from), QStringList{kNoDevice});

        // A row whose device has gone (registry changed, list not yet rebuilt).
        ui()->deviceList->setCurrentRow(0);
        devices().clear();
        drop({"/tmp/a.jpg"});
        QVERIFY(sends.isEmpty());
        QCOMPARE(logSince(from), (QStringList{kNoDevice, kNoDevice}));
    }

    void chooserSends()
    {
        setRegistry({device("Eins", "198.51.100.1", 1, true), device("Zwei", "198.51.100.2", 2, true)});
        ui()->deviceList->setCurrentRow(1);
        chooser = [] { return QStringLiteral("/tmp/report.pdf"); }; // any type may be chosen
        ui()->sendFileButton->click();
        QCOMPARE(sends.size(), 1);
        QCOMPARE(sends.at(0).name, QStringLiteral("Zwei"));
        QCOMPARE(sends.at(0).path, QStringLiteral("/tmp/report.pdf"));
        QVERIFY(devices().at(1).sending);
        QVERIFY(!devices().at(0).sending);
    }

    void chooserWithoutSelection()
    {
        setRegistry({device("Eins", "198.51.100.1", 1, true)});
        bool opened = false;
        chooser = [&opened] {
            opened = true;
            return QStringLiteral("/tmp/a.jpg");
        };
        const qsizetype from = window->logLines.size();
        window->chooseAndSendFile();
        QVERIFY(!opened);
        QCOMPARE(logSince(from), QStringList{kNoDevice});

        ui()->deviceList->setCurrentRow(0);
        chooser = [] { return QString(); }; // cancelled
        window->chooseAndSendFile();
        QVERIFY(sends.isEmpty());
        QCOMPARE(logSince(from), QStringList{kNoDevice});
    }

    // While the modal chooser is open discovery rebuilds the list: the file
    // goes to the device selected before, or, when that one is gone, nowhere.
    void chooserStaleSelection_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("sentTo");
        QTest::newRow("list rebuilt, selection kept") << 0 << "Zwei";
        QTest::newRow("selected device expired") << 1 << "";
        QTest::newRow("registry emptied, rows left") << 2 << "";
    }

    void chooserStaleSelection()
    {
        QFETCH(int, change);
        QFETCH(QString, sentTo);
        setRegistry({device("Eins", "198.51.100.1", 1, false, {}, clockMs),
                     device("Zwei", "198.51.100.2", 2, false, {}, clockMs)});
        ui()->deviceList->setCurrentRow(1);
        chooser = [this, change] {
            if (change == 0) {
                window->onDeviceFound(device("Drei", "198.51.100.3", 3));
            } else if (change == 1) {
                clockMs += 20000;
                window->onDeviceFound(device("Eins", "198.51.100.1", 1));
                window->pruneDevices();
            } else {
                devices().clear();
            }
            return QStringLiteral("/tmp/a.jpg");
        };
        const qsizetype from = window->logLines.size();
        window->chooseAndSendFile();
        if (!sentTo.isEmpty()) {
            QCOMPARE(sends.size(), 1);
            QCOMPARE(sends.at(0).name, sentTo);
            QVERIFY(logSince(from).isEmpty());
            return;
        }
        QVERIFY(sends.isEmpty());
        QCOMPARE(logSince(from), QStringList{kNoDevice});
        for (const RemoteDevice &d : devices())
            QVERIFY(!d.sending);
    }

    // A rebuild keeps the user's selection on the same device, wherever its
    // row moved to, and drops it once the device has left the list.
    void selectionSurvivesRebuilds()
    {
        setRegistry({device("Eins", "198.51.100.1", 1, false, {}, clockMs - 20000),
                     device("Zwei", "198.51.100.2", 2, false, {}, clockMs)});
        ui()->deviceList->setCurrentRow(1);
        window->pruneDevices(); // Eins ages out, Zwei moves up a row
        QCOMPARE(ui()->deviceList->currentRow(), 0);
        QCOMPARE(ui()->deviceList->currentItem()->text(), QStringLiteral("Zwei \u2022 Nicht gepaired"));
        window->onDeviceFound(device("Zwei neu", "198.51.100.2", 2)); // renamed in place
        QCOMPARE(ui()->deviceList->currentItem()->text(), QStringLiteral("Zwei neu \u2022 Nicht gepaired"));

        clockMs += 20000;
        window->pruneDevices();
        QCOMPARE(ui()->deviceList->count(), 0);
        window->onDeviceFound(device("Zwei neu", "198.51.100.2", 2));
        QCOMPARE(ui()->deviceList->currentRow(), -1); // gone once: not selected again by itself
    }

    // ---- progress ----------------------------------------------------------------

    void sizeTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0 B";
        QTest::newRow("below KB") << qint64(1023) << "1023 B";
        QTest::newRow("one KB") << qint64(1024) << "1.00 KB";
        QTest::newRow("1.5 KB") << qint64(1536) << "1.50 KB";
        QTest::newRow("just below MB") << qint64(1048575) << "1024.00 KB";
        QTest::newRow("one MB") << qint64(1048576) << "1.00 MB";
        QTest::newRow("one GB") << qint64(1073741824) << "1.00 GB";
        QTest::newRow("five TB in GB") << qint64(5) * 1024 * 1073741824 << "5120.00 GB";
    }

    void sizeTexts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatSize(bytes), text);
    }

    void speedTexts_data()
    {
        QTest::addColumn<double>("bytesPerSecond");
        QTest::addColumn<QString>("text");
        QTest::newRow("standing still") << 0.0 << "0 B/s";
        QTest::newRow("rounded after the threshold test") << 1023.6 << "1024 B/s";
        QTest::newRow("one KB/s") << 1024.0 << "1.0 KB/s";
        QTest::newRow("1.5 MB/s") << 1.5 * 1048576 << "1.5 MB/s";
        QTest::newRow("GB/s has two decimals") << 1.25 * 1073741824 << "1.25 GB/s";
        QTest::newRow("negative reads 0") << -5.0 << "0 B/s";
        QTest::newRow("not a number reads 0") << std::nan("") << "0 B/s";
        QTest::newRow("infinity reads 0") << HUGE_VAL << "0 B/s";
    }

    void speedTexts()
    {
        QFETCH(double, bytesPerSecond);
        QFETCH(QString, text);
        QCOMPARE(formatSpeed(bytesPerSecond), text);
    }

    void sendProgress()
    {
        RemoteDevice a = device("A", "198.51.100.1", 1, true);
        a.sending = true;
        RemoteDevice b = device("B", "198.51.100.2", 2, true);
        b.sending = true;
        setRegistry({a, b, a});

        window->onFileTransferProgress(0, 1536, 3 * 1048576, 0.0);
        QVERIFY(!ui()->transferProgress->isHidden());
        QVERIFY(!ui()->transferSizeLabel->isHidden());
        QCOMPARE(ui()->transferProgress->value(), 0);
        QCOMPARE(ui()->transferSizeLabel->text(), QStringLiteral("1.50 KB / 3.00 MB \u2022 0 B/s"));
        window->onFileTransferProgress(50, 1572864, 3 * 1048576, 1.5);
        QCOMPARE(ui()->transferProgress->value(), 50);
        QCOMPARE(ui()->transferSizeLabel->text(), QStringLiteral("1.50 MB / 3.00 MB \u2022 1.5 MB/s"));

        const qsizetype from = window->logLines.size();
        clockMs = 2'000'000;
        window->onFileTransferFinished(QStringLiteral("198.51.100.1"), 1, QStringLiteral("a.jpg"));
        QCOMPARE(ui()->transferProgress->value(), 100);
        QCOMPARE(logSince(from), QStringList{"Datei fertig: a.jpg"});
        // Every entry of that address, not only the first.
        QVERIFY(!devices().at(0).sending && !devices().at(2).sending);
        QCOMPARE(devices().at(2).lastSeen, clockMs);
        QVERIFY(devices().at(1).sending);
        QCOMPARE(shownRows().at(0), QStringLiteral("A \u2022 Online"));

        QTest::qWait(1000);
        QVERIFY(!ui()->transferProgress->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(ui()->transferProgress->isHidden(), 1000);
        QVERIFY(ui()->transferSizeLabel->isHidden());
        QCOMPARE(ui()->transferProgress->value(), 0);
        QVERIFY(ui()->transferSizeLabel->text().isEmpty());

        // The next report shows both again.
        window->onFileTransferProgress(1, 10, 1000, 0.0);
        QVERIFY(!ui()->transferProgress->isHidden());
        QVERIFY(!ui()->transferSizeLabel->isHidden());
    }

    void receiveProgress()
    {
        window->onFileReceiveProgress(25, 1024, 4096, 2048.0);
        QVERIFY(!ui()->transferProgress->isHidden());
        QCOMPARE(ui()->transferProgress->value(), 25);
        QCOMPARE(ui()->transferSizeLabel->text(),
                 QStringLiteral("Empfange: 1.00 KB / 4.00 KB \u2022 2.0 KB/s"));
        const qsizetype from = window->logLines.size();
        window->onFileReceiveFinished(QStringLiteral("bild (1).jpg"));
        QCOMPARE(ui()->transferProgress->value(), 100);
        QCOMPARE(ui()->transferSizeLabel->text(), QStringLiteral("Empfange: bild (1).jpg"));
        QVERIFY(logSince(from).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(ui()->transferProgress->isHidden(), 2000);
        QVERIFY(ui()->transferSizeLabel->text().isEmpty());
    }

    // ---- tray and life -------------------------------------------------------------

    void trayPlacement_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("topLeft");
        QTest::newRow("full HD without task bar") << QRect(0, 0, 1920, 1080) << QPoint(1483, 643);
        QTest::newRow("task bar at the bottom") << QRect(0, 0, 1920, 1040) << QPoint(1483, 603);
        QTest::newRow("second screen to the right") << QRect(1920, 0, 1280, 1024) << QPoint(2763, 587);
        QTest::newRow("screen above, negative") << QRect(0, -900, 1600, 900) << QPoint(1163, -437);
        QTest::newRow("dock on the left") << QRect(64, 25, 1216, 775) << QPoint(843, 363);
    }

    void trayPlacement()
    {
        QFETCH(QRect, available);
        QFETCH(QPoint, topLeft);
        QCOMPARE(trayCornerPosition(available, QSize(420, 420), 17), topLeft);
    }

    void trayClicksToggle()
    {
        QCOMPARE(window->trayIcon->toolTip(), QStringLiteral("KAVELTOR Companion"));
        QVERIFY(window->trayIcon->isVisible());
        const QList<QAction *> actions = window->trayMenu->actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("\u00d6ffnen"));
        QCOMPARE(actions.at(1)->text(), QStringLiteral("Beenden"));

        window->onTrayActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!window->isVisible());
        window->onTrayActivated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(window->x() + 420 + 17, area.x() + area.width());
        QCOMPARE(window->y() + 420 + 17, area.y() + area.height());

        window->move(area.topLeft());
        actions.at(0)->trigger(); // "Öffnen" brings it back to the corner
        QVERIFY(window->isVisible());
        QCOMPARE(window->pos(), trayCornerPosition(area, QSize(420, 420), 17));
        window->onTrayActivated(QSystemTrayIcon::Context);
        QVERIFY(window->isVisible());
        window->onTrayActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!window->isVisible());
    }

    void minimiseAndClose()
    {
        window->receiveFolder = QStringLiteral("/tmp/empfang");
        window->showWindowFromTray();
        ui()->minimierenButton->click();
        QVERIFY(!window->isVisible());
        QCOMPARE(SettingsStore()->value(QStringLiteral("ReceiveFolder")).toString(),
                 QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));

        window->showWindowFromTray();
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        QCOMPARE(SettingsStore()->value(QStringLiteral("ReceiveFolder")).toString(),
                 QStringLiteral("/tmp/empfang"));
        QVERIFY(SettingsStore()->contains(QStringLiteral("BackgroundPath")));
    }

    void quitEndsWithZero()
    {
        QTimer::singleShot(0, window.get(), [this] { window->trayMenu->actions().at(1)->trigger(); });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        watchdog.start(5000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!window->trayIcon->isVisible());
    }

    // Quitting must not wait for peers that keep their connections open.
    void destroyWithOpenConnections()
    {
        QVERIFY(QTest::qWaitFor(
            [this] {
                return window->logLines.join(QLatin1Char('\n')).contains(QLatin1String("53319")) &&
                       connectFrom(0, NetworkService::kHttpPort).valid();
            },
            5000));
        std::vector<sock::Socket> peers;
        for (int i = 0; i < 8; ++i) {
            peers.push_back(connectFrom(0, NetworkService::kHttpPort));
            QVERIFY(peers.back().valid());
        }
        // Half a head, a body that never comes, and silent connections.
        sendAll(peers[0], "POST /upload HTTP/1.1\r\nContent-Le");
        sendAll(peers[1], "POST /message HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{\"te");
        QTest::qWait(200);
        QElapsedTimer clock;
        clock.start();
        window.reset();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
