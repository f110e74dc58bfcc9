#include "history_store.h"

#include "settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <algorithm>
#include <atomic>

namespace {
// A lock held by another program is waited for this long before the history
// gives up; the first wait happens while the window is being built.
constexpr int kBusyTimeoutMs = 500;
// Quitting waits this long for queued writes, then leaves the writer behind.
constexpr int kStopWaitMs = 1000;
constexpr int kSchemaVersion = 1;
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// SQLite's primary result codes, as Qt reports them.
constexpr int kSqliteCodeMask = 0xff;
enum SqliteCode {
    Perm = 3,
    Busy = 5,
    Locked = 6,
    ReadOnly = 8,
    Corrupt = 11,
    Full = 13,
    CantOpen = 14,
    NotADb = 26
};

const char *const kColumns = "id, time, direction, kind, phone_name, phone_id, file_name, path, "
                             "substr(text, 1, ?), size, outcome, reason";

HistoryEntry preview(HistoryEntry entry)
{
    if (entry.text.size() > HistoryStore::kPreviewChars) {
        qsizetype end = HistoryStore::kPreviewChars;
        if (entry.text.at(end - 1).isHighSurrogate())
            --end;
        entry.text.truncate(end);
        entry.clipped = true;
    }
    return entry;
}

// Newest first: later time, and of equal times the later stored.
bool newer(const HistoryEntry &a, const HistoryEntry &b)
{
    return a.time != b.time ? a.time > b.time : a.id > b.id;
}

QString describe(const QSqlError &error, const QString &path)
{
    const QString detail = QStringLiteral(" (%1)").arg(error.text().trimmed());
    const QString name = QDir::toNativeSeparators(path);
    switch (error.nativeErrorCode().toInt() & kSqliteCodeMask) {
    case NotADb:
    case Corrupt:
        return QStringLiteral("%1 ist beschädigt").arg(name) + detail;
    case Busy:
    case Locked:
        return QStringLiteral("%1 ist von einem anderen Programm gesperrt").arg(name) + detail;
    case Perm:
    case ReadOnly:
    case CantOpen:
        return QStringLiteral("%1 kann nicht geschrieben werden").arg(name) + detail;
    case Full:
        return QStringLiteral("Der Datenträger ist voll") + detail;
    default:
        return QStringLiteral("Datenbankfehler") + detail;
    }
}

// The file is made before SQLite opens it, so that neither it nor the
// journal SQLite makes beside it (with the same permissions) is ever
// readable by others.
QString prepareFile(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!makeOwnerOnlyFolders(folder))
        return QStringLiteral("Ordner %1 kann nicht angelegt werden").arg(QDir::toNativeSeparators(folder));
    QFile file(path);
    if (!file.exists() && !file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly))
        return QStringLiteral("%1 kann nicht angelegt werden (%2)")
            .arg(QDir::toNativeSeparators(path), file.errorString());
    file.close();
    // Also narrows a file that an older copy left readable by others.
    file.setPermissions(kOwnerOnly);
    return {};
}
} // namespace

HistoryWriter::Opened HistoryWriter::open(const QString &file)
{
    static std::atomic<int> serial{0};
    path = file;
    Opened opened;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        opened.error = QStringLiteral("Qt fehlt der SQLite-Treiber (Paket libqt6sql6-sqlite)");
    else
        opened.error = prepareFile(path);
    if (opened.error.isEmpty()) {
        name = QStringLiteral("kaveltor-history-%1").arg(++serial);
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        opened.error = db.open() ? prepareSchema() : describe(db.lastError(), path);
    }
    if (opened.error.isEmpty())
        opened.error = readAll(&opened.rows);
    broken = !opened.error.isEmpty();
    return opened;
}

// Creates the table in a new file; in an existing one, checks that it is
// ours and that it can be written now rather than at the first transfer.
QString HistoryWriter::prepareSchema()
{
    QSqlQuery query(db);
    // Removed entries are overwritten, not just unlinked from the tree.
    if (!query.exec(QStringLiteral("PRAGMA secure_delete = ON")) ||
        !query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return describe(query.lastError(), path);
    const int version = query.value(0).toInt();
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !query.next())
        return describe(query.lastError(), path);
    const bool empty = query.value(0).toInt() == 0;
    query.finish();
    if (version != kSchemaVersion && !(version == 0 && empty))
        return unknownFormat();
    // A table without the columns read is someone else's; found before
    // anything is written to the file.
    if (!empty && !query.prepare(QStringLiteral("SELECT %1 FROM entries").arg(QLatin1String(kColumns))))
        return unknownFormat();
    query.finish();
    if (!db.transaction())
        return describe(db.lastError(), path);
    const QString setVersion = QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion);
    const bool written =
        (!empty ||
         query.exec(QStringLiteral("CREATE TABLE entries ("
                                   "id INTEGER PRIMARY KEY, time INTEGER NOT NULL, "
                                   "direction TEXT NOT NULL CHECK (direction IN ('received', 'sent')), "
                                   "kind TEXT NOT NULL CHECK (kind IN ('file', 'message')), "
                                   "phone_name TEXT, phone_id TEXT, file_name TEXT, path TEXT, text TEXT, "
                                   "size INTEGER NOT NULL, "
                                   "outcome TEXT NOT NULL CHECK (outcome IN ('done', 'failed')), "
                                   "reason TEXT)"))) &&
        query.exec(setVersion);
    const QSqlError error = written ? QSqlError() : query.lastError();
    query.finish();
    if (!written || !db.commit()) {
        const QSqlError reported = written ? db.lastError() : error;
        db.rollback();
        return describe(reported, path);
    }
    return {};
}

QString HistoryWriter::unknownFormat() const
{
    return QStringLiteral("%1 hat ein unbekanntes Format").arg(QDir::toNativeSeparators(path));
}

QString HistoryWriter::readAll(QList<HistoryEntry> *rows)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT %1 FROM entries ORDER BY time DESC, id DESC")
                           .arg(QLatin1String(kColumns))))
        return describe(query.lastError(), path);
    // One character more than a preview shows whether there is more.
    query.addBindValue(HistoryStore::kPreviewChars + 1);
    if (!query.exec())
        return describe(query.lastError(), path);
    while (query.next()) {
        HistoryEntry e;
        e.id = query.value(0).toLongLong();
        e.time = query.value(1).toLongLong();
        e.direction = query.value(2).toString() == QLatin1String("sent") ? HistoryEntry::Direction::Sent
                                                                         : HistoryEntry::Direction::Received;
        e.kind = query.value(3).toString() == QLatin1String("message") ? HistoryEntry::Kind::Message
                                                                       : HistoryEntry::Kind::File;
        e.phoneName = query.value(4).toString();
        e.phoneId = query.value(5).toString();
        e.fileName = query.value(6).toString();
        e.path = query.value(7).toString();
        e.text = query.value(8).toString();
        e.size = query.value(9).toLongLong();
        e.outcome = query.value(10).toString() == QLatin1String("failed") ? HistoryEntry::Outcome::Failed
                                                                          : HistoryEntry::Outcome::Done;
        e.reason = query.value(11).toString();
        rows->append(preview(e));
    }
    return {};
}

bool HistoryWriter::run(const QString &sql, const QVariantList &values)
{
    QSqlQuery query(db);
    bool ok = query.prepare(sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    if (!ok)
        fail(query.lastError());
    return ok;
}

void HistoryWriter::fail(const QSqlError &error)
{
    broken = true;
    db.rollback();
    emit failed(describe(error, path));
}

void HistoryWriter::enqueue(HistoryChange change)
{
    QMutexLocker lock(&mutex);
    queue.append(std::move(change));
    if (queue.size() == 1)
        QMetaObject::invokeMethod(this, &HistoryWriter::drain, Qt::QueuedConnection);
}

void HistoryWriter::drain()
{
    QList<HistoryChange> changes;
    {
        QMutexLocker lock(&mutex);
        changes.swap(queue);
    }
    if (broken || changes.isEmpty())
        return;
    if (!db.transaction())
        return fail(db.lastError());
    bool emptied = false;
    for (HistoryChange &change : changes) {
        bool ok = true;
        switch (change.type) {
        case HistoryChange::Type::Add:
            ok = insert(&change.entry);
            break;
        case HistoryChange::Type::Remove:
            ok = run(QStringLiteral("DELETE FROM entries WHERE id = ?"), {change.entry.id});
            break;
        case HistoryChange::Type::Clear:
            ok = run(QStringLiteral("DELETE FROM entries"));
            emptied = true;
            break;
        }
        if (!ok)
            return;
    }
    if (!db.commit())
        return fail(db.lastError());
    emit applied(changes);
    // The deleted rows were overwritten; VACUUM then rebuilds the file from
    // what is left, so it shrinks back too.
    if (emptied)
        run(QStringLiteral("VACUUM"));
}

// Stores the entry, gives it its id and cuts the history back to the newest
// entries, as the store's copy does after each one.
bool HistoryWriter::insert(HistoryEntry *entry)
{
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("INSERT INTO entries (time, direction, kind, phone_name, phone_id, file_name, "
                       "path, text, size, outcome, reason) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    const bool sent = entry->direction == HistoryEntry::Direction::Sent;
    const bool message = entry->kind == HistoryEntry::Kind::Message;
    const bool failedOutcome = entry->outcome == HistoryEntry::Outcome::Failed;
    for (const QVariant &value :
         QVariantList{entry->time, sent ? QStringLiteral("sent") : QStringLiteral("received"),
                      message ? QStringLiteral("message") : QStringLiteral("file"), entry->phoneName,
                      entry->phoneId, entry->fileName, entry->path, entry->text, entry->size,
                      failedOutcome ? QStringLiteral("failed") : QStringLiteral("done"), entry->reason})
        query.addBindValue(value);
    if (!query.exec()) {
        fail(query.lastError());
        return false;
    }
    entry->id = query.lastInsertId().toLongLong();
    *entry = preview(*entry);
    return run(QStringLiteral("DELETE FROM entries WHERE id NOT IN "
                              "(SELECT id FROM entries ORDER BY time DESC, id DESC LIMIT ?)"),
               {HistoryStore::kMaxEntries});
}

QString HistoryWriter::fullText(qint64 id)
{
    QSqlQuery query(db);
    if (broken || !query.prepare(QStringLiteral("SELECT text FROM entries WHERE id = ?")))
        return {};
    query.addBindValue(id);
    return query.exec() && query.next() ? query.value(0).toString() : QString();
}

void HistoryWriter::close()
{
    if (db.isValid()) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    deleteLater();
    QThread::currentThread()->quit();
}

// ---- the store -------------------------------------------------------------

QString HistoryStore::defaultPath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return folder.isEmpty() ? QString() : QDir(folder).filePath(QStringLiteral("history.sqlite"));
}

HistoryStore::HistoryStore(const QString &path, QObject *parent) : QObject(parent)
{
    qRegisterMetaType<QList<HistoryChange>>();
    thread = new QThread;
    thread->setObjectName(QStringLiteral("history"));
    writer = new HistoryWriter;
    writer->moveToThread(thread);
    connect(writer, &HistoryWriter::applied, this, &HistoryStore::onApplied);
    connect(writer, &HistoryWriter::failed, this, &HistoryStore::onFailed);
    // A writer left behind at the end deletes its thread when it is done.
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();

    HistoryWriter::Opened opened;
    if (path.isEmpty())
        opened.error = QStringLiteral("Kein Datenordner");
    else
        QMetaObject::invokeMethod(
            writer, [&opened, w = writer, &path] { opened = w->open(path); }, Qt::BlockingQueuedConnection);
    if (opened.error.isEmpty()) {
        available = true;
        rows = opened.rows;
        return;
    }
    // Nobody can be connected yet: the line goes out once the caller is.
    why = opened.error;
    QTimer::singleShot(0, this, [this] { emit logLine(QStringLiteral("Verlauf nicht verfügbar: ") + why); });
}

HistoryStore::~HistoryStore()
{
    // Queued behind the writes still waiting, so those are done first.
    QMetaObject::invokeMethod(writer, &HistoryWriter::close, Qt::QueuedConnection);
    if (thread->wait(kStopWaitMs))
        delete thread;
}

void HistoryStore::add(const HistoryEntry &entry)
{
    if (available)
        writer->enqueue({HistoryChange::Type::Add, entry});
}

void HistoryStore::remove(qint64 id)
{
    HistoryEntry entry;
    entry.id = id;
    if (available)
        writer->enqueue({HistoryChange::Type::Remove, entry});
}

void HistoryStore::clear()
{
    if (available)
        writer->enqueue({HistoryChange::Type::Clear, {}});
}

QString HistoryStore::fullText(qint64 id) const
{
    QString text;
    if (available)
        QMetaObject::invokeMethod(
            writer, [&text, w = writer, id] { text = w->fullText(id); }, Qt::BlockingQueuedConnection);
    return text;
}

void HistoryStore::onApplied(const QList<HistoryChange> &changes)
{
    for (const HistoryChange &change : changes) {
        const HistoryEntry &entry = change.entry;
        switch (change.type) {
        case HistoryChange::Type::Add:
            rows.insert(std::partition_point(rows.begin(), rows.end(),
                                             [&entry](const HistoryEntry &row) { return newer(row, entry); }),
                        entry);
            if (rows.size() > kMaxEntries)
                rows.resize(kMaxEntries);
            break;
        case HistoryChange::Type::Remove:
            rows.removeIf([&entry](const HistoryEntry &row) { return row.id == entry.id; });
            break;
        case HistoryChange::Type::Clear:
            rows.clear();
            break;
        }
    }
    emit changed();
}

void HistoryStore::onFailed(const QString &reason)
{
    available = false;
    why = reason;
    rows.clear();
    emit changed();
    emit logLine(QStringLiteral("Verlauf nicht verfügbar: ") + reason);
}
