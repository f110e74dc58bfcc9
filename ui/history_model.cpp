#include "history_model.h"

#include "transfer_format.h"

#include <QFileInfo>
#include <QIconEngine>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>

namespace {
const QColor kPaper(0x2a, 0x31, 0x40);
const QColor kOutline(0xb4, 0xbe, 0xcd);
const QColor kReceived(0x4f, 0xdc, 0x82);
const QColor kSent(0x66, 0x99, 0xff);
const QColor kArrow(0x16, 0x1a, 0x21);

// A page or a speech bubble, with a round badge whose arrow points down for
// what came in and up for what went out. Drawn for the size asked, so it is
// sharp at every scale.
class KindIconEngine : public QIconEngine
{
public:
    KindIconEngine(HistoryEntry::Direction direction, HistoryEntry::Kind kind)
        : direction(direction), kind(kind)
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const qreal side = qMin(rect.width(), rect.height());
        painter->translate(rect.center() - QPointF(side / 2, side / 2));
        painter->scale(side, side);
        QPen outline(kOutline, 0.06);
        outline.setJoinStyle(Qt::RoundJoin);
        painter->setPen(outline);
        painter->setBrush(kPaper);
        QPainterPath shape;
        if (kind == HistoryEntry::Kind::File) {
            shape.moveTo(0.16, 0.06);
            shape.lineTo(0.56, 0.06);
            shape.lineTo(0.76, 0.26);
            shape.lineTo(0.76, 0.94);
            shape.lineTo(0.16, 0.94);
            shape.closeSubpath();
            painter->drawPath(shape);
            painter->drawPolyline(QPolygonF({{0.56, 0.06}, {0.56, 0.26}, {0.76, 0.26}}));
        } else {
            shape.addRoundedRect(QRectF(0.04, 0.12, 0.80, 0.56), 0.14, 0.14);
            QPainterPath tail;
            tail.moveTo(0.18, 0.60);
            tail.lineTo(0.14, 0.86);
            tail.lineTo(0.40, 0.64);
            painter->drawPath(shape.united(tail));
        }
        const bool sent = direction == HistoryEntry::Direction::Sent;
        painter->setPen(Qt::NoPen);
        painter->setBrush(sent ? kSent : kReceived);
        const QPointF centre(0.74, 0.72);
        painter->drawEllipse(centre, 0.25, 0.25);
        QPen arrow(kArrow, 0.08, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter->setPen(arrow);
        const qreal tip = sent ? -0.13 : 0.13;
        painter->drawLine(centre - QPointF(0, tip), centre + QPointF(0, tip));
        painter->drawPolyline(QPolygonF({centre + QPointF(-0.09, tip * 0.3), centre + QPointF(0, tip),
                                         centre + QPointF(0.09, tip * 0.3)}));
        painter->restore();
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(), size), mode, state);
        return pixmap;
    }

    QIconEngine *clone() const override { return new KindIconEngine(direction, kind); }

private:
    HistoryEntry::Direction direction;
    HistoryEntry::Kind kind;
};

bool isFile(const HistoryEntry &entry)
{
    return entry.kind == HistoryEntry::Kind::File;
}

QDate localDay(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).date();
}

QString title(const HistoryEntry &entry)
{
    if (isFile(entry))
        return entry.fileName.isEmpty() ? QFileInfo(entry.path).fileName() : entry.fileName;
    const QString text = entry.text.trimmed();
    const qsizetype end = text.indexOf(QLatin1Char('\n'));
    if (end < 0 && !entry.clipped)
        return text;
    return (end < 0 ? text : text.left(end)).trimmed() + QStringLiteral("…");
}

// A size says little about a file that failed or is gone, and the line
// needs the room for saying so.
QString detail(const HistoryEntry &entry, bool withSize)
{
    const QString phone = entry.phoneName.isEmpty() ? entry.phoneId : entry.phoneName;
    QString line =
        (entry.direction == HistoryEntry::Direction::Sent ? QStringLiteral("an ") : QStringLiteral("von ")) +
        phone;
    if (withSize && isFile(entry) && entry.size > 0)
        line += QStringLiteral(" • ") + formatSize(entry.size);
    return line;
}

QString state(const HistoryEntry &entry, bool missing)
{
    if (entry.outcome == HistoryEntry::Outcome::Failed)
        return entry.reason.isEmpty() ? QStringLiteral("Fehlgeschlagen")
                                      : QStringLiteral("Fehlgeschlagen: ") + entry.reason;
    return missing ? QStringLiteral("Datei nicht mehr vorhanden") : QString();
}

QString clockTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("hh:mm"));
}
} // namespace

HistoryModel::HistoryModel(QObject *parent)
    : QAbstractListModel(parent), clock([] { return QDateTime::currentDateTime(); })
{
    for (const auto direction : {HistoryEntry::Direction::Received, HistoryEntry::Direction::Sent}) {
        for (const auto kind : {HistoryEntry::Kind::File, HistoryEntry::Kind::Message})
            icons[int(direction)][int(kind)] = kindIcon(direction, kind);
    }
}

void HistoryModel::setClock(Clock now)
{
    clock = std::move(now);
    refresh();
}

void HistoryModel::setEntries(const QList<HistoryEntry> &list)
{
    entries = list;
    refresh();
}

void HistoryModel::refresh()
{
    beginResetModel();
    rows.clear();
    const QDate today = clock().date();
    QDate shown;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const HistoryEntry &entry = entries.at(i);
        const QDate day = localDay(entry.time);
        if (rows.isEmpty() || day != shown) {
            shown = day;
            rows.append({dayHeading(day, today), -1, false});
        }
        const bool missing =
            isFile(entry) && entry.outcome == HistoryEntry::Outcome::Done && !QFileInfo::exists(entry.path);
        rows.append({QString(), i, missing});
    }
    endResetModel();
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return {};
    const Row &row = rows.at(index.row());
    if (row.entry < 0) {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
        case TitleRole:
            return row.heading;
        case HeadingRole:
            return true;
        default:
            return {};
        }
    }
    const HistoryEntry &entry = entries.at(row.entry);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
    case Qt::ToolTipRole: // the row may have cut some of it short
        return spoken(entry, row.missing);
    case Qt::DecorationRole:
        return icons[int(entry.direction)][int(entry.kind)];
    case EntryRole:
        return QVariant::fromValue(entry);
    case HeadingRole:
        return false;
    case TitleRole:
        return title(entry);
    case DetailRole:
        return detail(entry, state(entry, row.missing).isEmpty());
    case TimeRole:
        return clockTime(entry.time);
    case StateRole:
        return state(entry, row.missing);
    case OpenableRole:
        return isFile(entry) && !entry.path.isEmpty() && !row.missing && QFileInfo::exists(entry.path);
    default:
        return {};
    }
}

Qt::ItemFlags HistoryModel::flags(const QModelIndex &index) const
{
    if (!index.isValid() || index.row() >= rows.size() || rows.at(index.row()).entry < 0)
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QString HistoryModel::spoken(const HistoryEntry &entry, bool missing) const
{
    const bool sent = entry.direction == HistoryEntry::Direction::Sent;
    QString kind = isFile(entry) ? QStringLiteral("Datei") : QStringLiteral("Nachricht");
    kind += sent ? QStringLiteral(" gesendet") : QStringLiteral(" empfangen");
    const QString what = state(entry, missing);
    QString text = QStringLiteral("%1: %2, %3, %4")
                       .arg(kind, title(entry), detail(entry, what.isEmpty()), clockTime(entry.time));
    if (!what.isEmpty())
        text += QStringLiteral(", ") + what;
    return text;
}

QString HistoryModel::dayHeading(const QDate &day, const QDate &today)
{
    if (day == today)
        return QStringLiteral("Heute");
    if (day == today.addDays(-1))
        return QStringLiteral("Gestern");
    return QLocale(QLocale::German).toString(day, QStringLiteral("dddd, d. MMMM yyyy"));
}

QIcon HistoryModel::kindIcon(HistoryEntry::Direction direction, HistoryEntry::Kind kind)
{
    return QIcon(new KindIconEngine(direction, kind));
}
