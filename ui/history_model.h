// The history as the window lists it: newest first, under a heading per day.
#pragma once

#include "history_store.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QIcon>

#include <functional>

class HistoryModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        EntryRole = Qt::UserRole + 1, // the HistoryEntry behind a row
        HeadingRole,                  // bool: the row is a day's heading
        TitleRole,                    // the file name, or the first line of the text
        DetailRole,                   // the phone and, for files, the size
        TimeRole,                     // "hh:mm"
        StateRole,                    // what went wrong, if anything, for the user
        OpenableRole,                 // bool: a file that is there to open
    };
    // Local time now; tests set their own.
    using Clock = std::function<QDateTime()>;

    explicit HistoryModel(QObject *parent = nullptr);

    void setClock(Clock clock);
    // Newest first, as HistoryStore::entries() gives them.
    void setEntries(const QList<HistoryEntry> &entries);
    // Looks again which files are still there and which day is today.
    void refresh();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // "Heute", "Gestern", else the date in words ("Montag, 7. Dezember 2026").
    static QString dayHeading(const QDate &day, const QDate &today);
    // An icon for the kind and direction, drawn to any size.
    static QIcon kindIcon(HistoryEntry::Direction direction, HistoryEntry::Kind kind);

private:
    struct Row
    {
        QString heading; // set on headings only
        qsizetype entry = -1;
        bool missing = false; // a stored file that is gone
    };

    QString spoken(const HistoryEntry &entry, bool missing) const;

    Clock clock;
    // By direction, then kind: made once, drawn on every paint.
    QIcon icons[2][2];
    QList<HistoryEntry> entries;
    QList<Row> rows;
};
