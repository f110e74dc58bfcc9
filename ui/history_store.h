// What arrived from the phones and what went to them, kept across runs in a
// small SQLite database in the application data folder.
#pragma once

#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QtSql/QSqlDatabase>

class QSqlError;
class QThread;
class HistoryWriter;
struct HistoryChange;

// One received or sent file or message.
struct HistoryEntry
{
    enum class Direction { Received, Sent };
    enum class Kind { File, Message };
    enum class Outcome { Done, Failed };

    qint64 id = 0;   // given by the store; 0 until stored
    qint64 time = 0; // milliseconds since the epoch, UTC
    Direction direction = Direction::Received;
    Kind kind = Kind::File;
    QString phoneName;
    QString phoneId;
    QString fileName; // files: the name shown
    QString path;     // files: the full path on this computer
    // Messages: the text. In entries() only its first kPreviewChars
    // characters when clipped is set; fullText() has all of it.
    QString text;
    bool clipped = false;
    qint64 size = 0; // bytes of the file, or of the text in UTF-8
    Outcome outcome = Outcome::Done;
    QString reason; // why it failed, as the user was told
};
Q_DECLARE_METATYPE(HistoryEntry)

// The history's one owner. Every write goes to a thread of its own with its
// own connection, so neither a transfer's report nor the window ever waits
// for the disk; the window reads a copy kept in memory that follows what
// was written, in the order it was written, once it is on disk. A database that cannot be used
// (damaged, of an unknown format, locked, in a folder that cannot be written)
// is reported once through logLine() and then left alone: the program goes
// on without history.
class HistoryStore : public QObject
{
    Q_OBJECT

public:
    // The newest entries kept; older ones are removed as new ones come.
    static constexpr qsizetype kMaxEntries = 1000;
    // Characters of a message that entries() carries; a phone may send a
    // megabyte, and a thousand of those do not belong in memory.
    static constexpr qsizetype kPreviewChars = 1000;

    // "history.sqlite" in the per-user application data folder.
    static QString defaultPath();

    // Opens (or creates, owner-only) the database at path and reads it.
    explicit HistoryStore(const QString &path = defaultPath(), QObject *parent = nullptr);
    // Writes still queued are finished first, for a bounded time.
    ~HistoryStore() override;

    bool isAvailable() const { return available; }
    // Why the history is not available, for the place that shows it.
    QString problem() const { return why; }

    // Records an entry (the store gives it its id); returns at once.
    void add(const HistoryEntry &entry);
    // Newest first.
    QList<HistoryEntry> entries() const { return rows; }
    void remove(qint64 id);
    // Removes every entry from the disk, not just from view.
    void clear();
    // The whole text of a message; waits for the writes queued before it.
    QString fullText(qint64 id) const;

signals:
    // entries() changed.
    void changed();
    // A line for the activity log (German).
    void logLine(const QString &line);

private:
    void onApplied(const QList<HistoryChange> &changes);
    void onFailed(const QString &reason);

    QThread *thread = nullptr;
    HistoryWriter *writer = nullptr;
    QList<HistoryEntry> rows;
    bool available = false;
    QString why;
};

// The store's own, used by nothing else: a change the writer makes, and
// then reports back with the ids it gave.
struct HistoryChange
{
    enum class Type { Add, Remove, Clear };
    Type type = Type::Add;
    HistoryEntry entry; // Add: the entry; Remove: only its id
};
Q_DECLARE_METATYPE(QList<HistoryChange>)

// Owns the database connection and runs on the store's thread; it never
// touches the store, so it may outlive it. Changes queued while it writes
// go together into the next transaction: a burst of received files costs
// one wait for the disk, not one each.
class HistoryWriter : public QObject
{
    Q_OBJECT

public:
    struct Opened
    {
        QString error;
        QList<HistoryEntry> rows;
    };

    Opened open(const QString &file);
    // Any thread.
    void enqueue(HistoryChange change);
    QString fullText(qint64 id);
    // Ends the connection and the thread; the writer goes with the thread.
    void close();

signals:
    // In the order they were queued, once they are on disk.
    void applied(const QList<HistoryChange> &changes);
    void failed(const QString &reason);

private:
    void drain();
    bool insert(HistoryEntry *entry);
    QString prepareSchema();
    // Reads every entry into rows; the reason when it cannot.
    QString readAll(QList<HistoryEntry> *rows);
    QString unknownFormat() const;
    // Runs sql with the values bound in order; false after reporting.
    bool run(const QString &sql, const QVariantList &values = {});
    void fail(const QSqlError &error);

    QMutex mutex;
    QList<HistoryChange> queue; // under mutex
    QSqlDatabase db;
    QString name;
    QString path;
    bool broken = false;
};
