#include "history_store.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using E = HistoryEntry;

namespace {
// Root passes every permission check; while this lives, the calling thread
// (and the threads it starts) do not, as an ordinary user would not.
class WithoutOverride
{
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{}, reduced[2]{};

public:
    WithoutOverride()
    {
        syscall(SYS_capget, &head, saved);
        std::copy(saved, saved + 2, reduced);
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &head, reduced);
    }
    ~WithoutOverride() { syscall(SYS_capset, &head, saved); }
};

E entry(qint64 time, const QString &text, E::Kind kind = E::Kind::Message)
{
    E e;
    e.time = time;
    e.kind = kind;
    e.text = text;
    e.phoneName = "Pixel 7";
    e.phoneId = "id-1";
    return e;
}

QString fields(const E &e)
{
    return QStringList{e.phoneName, e.phoneId, e.fileName, e.path, e.reason}.join('|') +
           QString::asprintf("|%lld|%d|%d|%lld|%d", e.time, int(e.direction), int(e.kind), e.size,
                             int(e.outcome));
}

// A second connection to the file, as another program would hold one.
struct Intruder
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "intruder");
    explicit Intruder(const QString &path) { db.setDatabaseName(path); }
    ~Intruder()
    {
        db.close();
        db = {};
        QSqlDatabase::removeDatabase("intruder");
    }
    bool exec(const char *sql) { return db.open() && QSqlQuery(db).exec(sql); }
};

QByteArray bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Adds entries and waits until the store has them all: fullText() comes
// after the writes queued before it, and their report is then on its way.
void addAll(HistoryStore &store, const QList<E> &list)
{
    for (const E &e : list)
        store.add(e);
    store.fullText(0);
    QCoreApplication::processEvents();
}
} // namespace

class HistoryStoreTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path() const { return dir.filePath("data/history.sqlite"); }

private slots:
    void init() { QDir(dir.filePath("data")).removeRecursively(); }

    // Every field comes back after a restart, including writes still queued
    // when the store went away; a long text comes back whole on request.
    void keepsEntriesAcrossRuns()
    {
        E file = entry(2000, {}, E::Kind::File);
        file.direction = E::Direction::Received;
        file.fileName = "Bild München.jpg";
        file.path = "/home/u/Downloads/Bild München.jpg";
        file.size = 2'500'000;
        E failed = entry(3000, {}, E::Kind::File);
        failed.direction = E::Direction::Sent;
        failed.outcome = E::Outcome::Failed;
        failed.reason = "Verbindung abgebrochen";
        const QString longText = QString(HistoryStore::kPreviewChars - 1, 'x') + "😀 und mehr";
        const E message = entry(1000, longText);
        {
            HistoryStore store(path());
            QVERIFY(store.isAvailable());
            for (const E &e : {message, file, failed})
                store.add(e);
        }
        HistoryStore store(path());
        const QList<E> got = store.entries();
        QCOMPARE(got.size(), 3);
        QCOMPARE(fields(got[0]), fields(failed));
        QCOMPARE(fields(got[1]), fields(file));
        // Cut before the emoji, never inside it.
        QCOMPARE(got[2].text, QString(HistoryStore::kPreviewChars - 1, 'x'));
        QVERIFY(got[2].clipped);
        QCOMPARE(store.fullText(got[2].id), longText);
    }

    // The newest thousand stay, by time; one older than all of them never
    // shows, and the copy in memory agrees with the disk.
    void keepsTheNewest()
    {
        QList<E> list;
        for (int i = 0; i < HistoryStore::kMaxEntries + 5; ++i)
            list << entry(10'000 + i, QString::number(i));
        list << entry(1, "zu alt");
        QList<E> mirror;
        {
            HistoryStore store(path());
            addAll(store, list);
            mirror = store.entries();
        }
        HistoryStore store(path());
        QCOMPARE(store.entries().size(), HistoryStore::kMaxEntries);
        QCOMPARE(store.entries().first().text, QString::number(HistoryStore::kMaxEntries + 4));
        QCOMPARE(store.entries().last().text, "5");
        QCOMPARE(mirror.size(), store.entries().size());
        QCOMPARE(mirror.last().id, store.entries().last().id);
    }

    // What is removed is gone from the file itself, not only from the list.
    void removeAndClearLeaveNoTrace()
    {
        HistoryStore store(path());
        addAll(store, {entry(1, "geheim-eins"), entry(2, "geheim-zwei"), entry(3, QString(100'000, 'g'))});
        QVERIFY(bytes(path()).contains("geheim-eins"));
        const qint64 full = QFileInfo(path()).size();
        QSignalSpy changed(&store, &HistoryStore::changed);
        store.remove(store.entries().last().id);
        QVERIFY(changed.wait());
        QCOMPARE(store.entries().size(), 2);
        QVERIFY(!bytes(path()).contains("geheim-eins"));
        QVERIFY(bytes(path()).contains("geheim-zwei"));
        store.clear();
        QVERIFY(changed.wait());
        QVERIFY(store.entries().isEmpty());
        // The file is compacted after the list empties.
        QTRY_VERIFY(QFileInfo(path()).size() < full / 4);
        QVERIFY(!bytes(path()).contains("geheim"));
        QVERIFY(!QFile::exists(path() + "-journal"));
    }

    // A file the store cannot use stops nothing: one line, no history, and
    // the file is left as it was.
    void unusable_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("garbage") << "garbage";
        QTest::newRow("newer format") << "version 7";
        QTest::newRow("someone else's") << "foreign";
        QTest::newRow("locked") << "locked";
        QTest::newRow("read-only folder") << "read-only";
        QTest::newRow("read-only folder, no file yet") << "read-only new";
    }

    void unusable()
    {
        QFETCH(QString, setup);
        const QString folder = QFileInfo(path()).absolutePath();
        QDir().mkpath(folder);
        if (setup == "garbage") {
            QFile file(path());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, '\x5a'));
        } else if (setup != "read-only new") {
            HistoryStore(path()).add(entry(1, "alt"));
        }
        Intruder other(path());
        if (setup == "version 7")
            QVERIFY(other.exec("PRAGMA user_version = 7"));
        if (setup == "foreign")
            QVERIFY(other.exec("ALTER TABLE entries RENAME COLUMN text TO body"));
        if (setup == "locked")
            QVERIFY(other.exec("BEGIN EXCLUSIVE"));
        if (setup.startsWith("read-only"))
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        const QByteArray before = bytes(path());
        {
            WithoutOverride asUser;
            HistoryStore store(path());
            QSignalSpy lines(&store, &HistoryStore::logLine);
            QVERIFY(!store.isAvailable());
            QVERIFY(lines.wait());
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0][0].toString().startsWith("Verlauf nicht verfügbar: "),
                     qPrintable(lines[0][0].toString()));
            store.add(entry(2, "neu"));
            QVERIFY(store.entries().isEmpty());
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(bytes(path()), before);
    }

    // A lock taken while the program runs ends the history for this run,
    // said once, however many entries follow.
    void lockedLater()
    {
        HistoryStore store(path());
        Intruder other(path());
        QVERIFY(other.exec("BEGIN EXCLUSIVE"));
        QSignalSpy lines(&store, &HistoryStore::logLine);
        store.add(entry(1, "x"));
        QTest::qWait(100); // the writer waits for the lock; these queue behind
        store.add(entry(2, "y"));
        store.add(entry(3, "z"));
        QVERIFY(lines.wait());
        QVERIFY(!store.isAvailable());
        QVERIFY(!lines.wait(1000));
    }

    // Owner-only whatever the umask, also for a file an older run left open
    // to others.
    void ownerOnly()
    {
        const mode_t old = umask(0);
        {
            HistoryStore store(path());
            QVERIFY(store.isAvailable());
        }
        QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        HistoryStore again(path());
        umask(old);
        const auto mode = [](const QString &file) {
            struct stat info = {};
            return stat(QFile::encodeName(file).constData(), &info) == 0 ? info.st_mode & 0777 : 0u;
        };
        QCOMPARE(mode(path()), 0600u);
        QCOMPARE(mode(QFileInfo(path()).absolutePath()), 0700u);
    }
};

QTEST_GUILESS_MAIN(HistoryStoreTest)
#include "tst_history_store.moc"
