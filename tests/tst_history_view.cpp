#include "history_model.h"
#include "history_view.h"

#include <QClipboard>
#include <QDBusConnectionInterface>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

#include "private_bus.h"

#include <ctime>

using E = HistoryEntry;

class HistoryViewTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess bus;

    static qint64 at(const QString &local)
    {
        return QDateTime::fromString(local, "yyyy-MM-dd hh:mm").toMSecsSinceEpoch();
    }
    static E entry(E::Kind kind, const QString &name, const QString &local)
    {
        E e;
        e.kind = kind;
        e.time = at(local);
        e.phoneName = "Pixel 7";
        (kind == E::Kind::File ? e.fileName : e.text) = name;
        return e;
    }
    // Adds entries, shows the sheet and hands back its list.
    static QListView *shown(HistoryStore &store, HistoryView &view, const QList<E> &list)
    {
        for (const E &e : list)
            store.add(e);
        store.fullText(0); // after the writes before it
        QCoreApplication::processEvents();
        view.show();
        return view.findChild<QListView *>("historyList");
    }
    // The row menu, opened from the keyboard, picks the action named.
    static bool pick(QListView *list, int row, const QString &action)
    {
        list->setCurrentIndex(list->model()->index(row, 0));
        QTest::keyClick(list, Qt::Key_Menu);
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return false;
        const QList<QAction *> actions = menu->actions();
        const auto it = std::find_if(actions.begin(), actions.end(),
                                     [&](QAction *a) { return a->text() == action && a->isEnabled(); });
        menu->close();
        return it != actions.end() && ((*it)->trigger(), true);
    }

private slots:
    void initTestCase()
    {
        // Days begin at local midnight, which is not UTC's.
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QVERIFY(startPrivateSessionBus(dir.path(), bus));
    }

    void cleanupTestCase() { bus.terminate(), bus.waitForFinished(); }

    void groupsByDay_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("heading");
        for (const char *row :
             {"this morning|2026-12-09 00:00|Heute", "late yesterday|2026-12-08 23:59|Gestern",
              "two days ago|2026-12-07 10:00|Montag, 7. Dezember 2026",
              "a year ago|2025-12-09 10:00|Dienstag, 9. Dezember 2025"}) {
            const QStringList f = QString(row).split('|');
            QTest::newRow(qPrintable(f[0])) << f[1] << f[2];
        }
    }

    // Headings follow the injected clock; each entry reads out as a whole.
    void groupsByDay()
    {
        QFETCH(QString, time);
        QFETCH(QString, heading);
        HistoryModel model;
        model.setClock([] { return QDateTime::fromString("2026-12-09 14:30", "yyyy-MM-dd hh:mm"); });
        E gone = entry(E::Kind::File, "bericht.pdf", time);
        gone.path = dir.filePath("nicht-da.pdf");
        model.setEntries({entry(E::Kind::Message, "Hallo\nzweite Zeile", "2026-12-09 14:00"), gone});
        QCOMPARE(model.index(0).data().toString(), "Heute");
        QCOMPARE(model.index(1).data(Qt::AccessibleTextRole).toString(),
                 "Nachricht empfangen: Hallo…, von Pixel 7, 14:00");
        const int row = heading == "Heute" ? 2 : 3;
        QCOMPARE(model.rowCount(), row + 1);
        if (row == 3)
            QCOMPARE(model.index(2).data().toString(), heading);
        QCOMPARE(model.index(row).data().toString(), "Datei empfangen: bericht.pdf, von Pixel 7, " +
                                                         time.right(5) + ", Datei nicht mehr vorhanden");
        QVERIFY(!model.index(row).data(HistoryModel::OpenableRole).toBool());
    }

    // Enter opens a file; "Kopieren" takes a message's whole text, also the
    // part the list does not keep in memory.
    void opensAndCopies()
    {
        QFile file(dir.filePath("foto.jpg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        E photo = entry(E::Kind::File, "foto.jpg", "2026-12-09 10:00");
        photo.path = file.fileName();
        const QString text = "Erste Zeile\n" + QString(HistoryStore::kPreviewChars, 'z');
        HistoryStore store(dir.filePath("opens.sqlite"));
        HistoryView view(&store);
        QList<QUrl> opened;
        view.open = [&](const QUrl &url) { return opened << url, true; };
        QListView *list = shown(store, view, {photo, entry(E::Kind::Message, text, "2026-12-09 11:00")});
        list->setCurrentIndex(list->model()->index(2, 0));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(photo.path)});
        QVERIFY(pick(list, 1, "Kopieren"));
        QCOMPARE(QGuiApplication::clipboard()->text(), text);
    }

    void showsInFolder_data()
    {
        QTest::addColumn<bool>("withFileManager");
        QTest::newRow("file manager") << true;
        QTest::newRow("none on the bus") << false;
    }

    // The file manager gets the file's URI, encoded; without one the folder
    // opens.
    void showsInFolder()
    {
        QFETCH(bool, withFileManager);
        QProcess manager;
        if (withFileManager) {
            manager.start(KAVELTOR_PYTHON3, {KAVELTOR_FAKE_FILE_MANAGER});
            QTRY_VERIFY(
                QDBusConnection::sessionBus().interface()->isServiceRegistered(filemanager::kService));
        }
        const QString folder = dir.filePath("Mein Ordner");
        QDir().mkpath(folder);
        QFile file(folder + "/Bild München #1 100%.jpg");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        E photo = entry(E::Kind::File, "Bild München #1 100%.jpg", "2026-12-09 10:00");
        photo.path = file.fileName();
        HistoryStore store(dir.filePath("folder.sqlite"));
        HistoryView view(&store);
        QList<QUrl> opened;
        view.open = [&](const QUrl &url) { return opened << url, true; };
        QVERIFY(pick(shown(store, view, {photo}), 1, "Im Ordner zeigen"));
        if (withFileManager) {
            QVERIFY(manager.waitForReadyRead(5000));
            const QJsonObject call = QJsonDocument::fromJson(manager.readLine()).object();
            QCOMPARE(call["uris"].toVariant().toStringList(),
                     QStringList{"file://" + QUrl::toPercentEncoding(folder, "/") +
                                 "/Bild%20M%C3%BCnchen%20%231%20100%25.jpg"});
            QCOMPARE(call["startup"].toString(), "");
            QTest::qWait(100);
            QVERIFY(opened.isEmpty());
            manager.closeWriteChannel(), manager.waitForFinished();
        } else {
            QTRY_COMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(folder)});
        }
    }

    // "Verlauf leeren" asks, and only a yes empties the list.
    void clearingAsks()
    {
        HistoryStore store(dir.filePath("clear.sqlite"));
        HistoryView view(&store);
        QList<bool> answers{false, true};
        view.confirmClear = [&](QWidget *) { return answers.takeFirst(); };
        shown(store, view, {entry(E::Kind::Message, "a", "2026-12-09 10:00")});
        auto *button = view.findChild<QPushButton *>("clearHistoryButton");
        button->click();
        QTest::qWait(100);
        QCOMPARE(store.entries().size(), 1);
        button->click();
        QTRY_VERIFY(store.entries().isEmpty());
        QVERIFY(answers.isEmpty());
    }

    // Not a check: with KAVELTOR_HISTORY_SHOT naming a PNG, draws the sheet
    // with a few entries there, for people to look at.
    void picture()
    {
        const QString target = qEnvironmentVariable("KAVELTOR_HISTORY_SHOT");
        if (target.isEmpty())
            QSKIP("KAVELTOR_HISTORY_SHOT names no file");
        // Kind and direction, name, days ago and time, phone, size, and a
        // reason it failed or "weg" for a file that is gone.
        const QStringList samples{
            "F<|Urlaub_Strand_2026.jpg|0 14:32|Pixel 7|2516582",
            "M<|Bin gleich da! Soll ich noch Brötchen mitbringen?\nUnd Milch?|0 13:05|Pixel 7|60",
            "F>|Rechnung_Dezember.pdf|0 11:47|Galaxy S23|184320|Verbindung abgebrochen",
            "M>|Der Türcode ist 4711|1 21:10|Galaxy S23|20",
            "F<|Präsentation_Q4.pptx|1 18:03|Pixel 7|8912896|weg",
            "F>|Einkaufsliste.txt|4 09:15|Pixel 7|1024"};
        QList<E> list;
        for (const QString &sample : samples) {
            const QStringList f = sample.split('|');
            const QDate day = QDate::currentDate().addDays(-f[2].left(1).toInt());
            E e = entry(f[0][0] == 'F' ? E::Kind::File : E::Kind::Message, f[1],
                        day.toString("yyyy-MM-dd ") + f[2].mid(2));
            e.direction = f[0][1] == '>' ? E::Direction::Sent : E::Direction::Received;
            e.phoneName = f[3], e.size = f[4].toLongLong(), e.path = dir.filePath(f[1]);
            if (e.kind == E::Kind::File && f.value(5) != "weg")
                QFile(e.path).open(QIODevice::WriteOnly);
            if (f.size() > 5 && f[5] != "weg")
                e.outcome = E::Outcome::Failed, e.reason = f[5];
            list << e;
        }
        HistoryStore store(dir.filePath("shot.sqlite"));
        HistoryView view(&store);
        QListView *shownList = shown(store, view, list);
        shownList->setCurrentIndex(shownList->model()->index(2, 0));
        QTest::qWait(50);
        QVERIFY(view.grab().save(target));
    }
};

QTEST_MAIN(HistoryViewTest)
#include "tst_history_view.moc"
