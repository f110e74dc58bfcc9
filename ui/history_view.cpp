#include "history_view.h"

#include "device_menu.h"

#include "history_model.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {
constexpr int kMargin = 10;
constexpr int kSpacing = 8;
constexpr int kHeadingHeight = 26;
constexpr int kEntryHeight = 46;
constexpr int kIconSide = 28;
constexpr int kTextIndent = 48; // from the row's left edge, past the icon
constexpr int kRowRadius = 6;
constexpr int kNoteInset = 8;
// Of a row's second line, the phone keeps at least this share before a long
// reason takes the rest.
constexpr qreal kDetailShare = 0.45;

const QColor kTitleColour(0xff, 0xff, 0xff);
const QColor kDetailColour(0xb4, 0xbe, 0xcd);
const QColor kHeadingColour(0x8a, 0x94, 0xa6);
const QColor kProblemColour(0xf2, 0x8b, 0x82);
const QColor kSelectedColour(0x38, 0x65, 0xb4);
const QColor kHoverColour(0x2a, 0x31, 0x40);

const char *const kStyle = R"(
HistoryView { background-color: #161a21; }
QWidget { color: #e6ebf2; font-family: "DejaVu Sans Mono"; }
QLabel#historyTitle { color: white; font-size: 15px; font-weight: 700; }
QLabel#historyPlaceholder { color: #b4becd; font-weight: 700; }
QLabel#historyNote {
    background-color: #2a3140; border: 1px solid #3a4456; border-radius: 4px; padding: 5px; color: #4fdc82;
    font-weight: 700;
}
QListView#historyList { background-color: #1e232c; border: none; border-radius: 5px; padding: 4px; outline: 0; }
QPushButton {
    background-color: #2a3140; border: 1px solid transparent; border-radius: 4px; padding: 4px 10px;
    color: white; font-weight: 700;
}
QPushButton:hover { background-color: #6699ff; }
QPushButton:focus { border-color: #6699ff; }
QPushButton:disabled { background-color: #1e232c; color: #5b6577; }
QScrollBar:vertical { background: #1e232c; width: 10px; margin: 0; }
QScrollBar::handle:vertical { background: #465166; border-radius: 4px; min-height: 24px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QToolTip { background-color: #1e232c; color: white; border: 1px solid #2f3746; padding: 3px; }
QMessageBox { background-color: #1e232c; }
QMessageBox QLabel { color: #e6ebf2; }
)";

HistoryEntry entryAt(const QModelIndex &index)
{
    return index.data(HistoryModel::EntryRole).value<HistoryEntry>();
}

bool isEntry(const QModelIndex &index)
{
    return index.isValid() && !index.data(HistoryModel::HeadingRole).toBool();
}

// A heading is a line of small grey text; an entry its icon, the name with
// the time on the right, and below the phone and what went wrong, if
// anything.
class HistoryDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return {option.rect.width(), isEntry(index) ? kEntryHeight : kHeadingHeight};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QRect r = option.rect;
        QFont small = option.font;
        small.setBold(false);
        small.setPointSizeF(option.font.pointSizeF() - 1);
        if (!isEntry(index)) {
            QFont bold = small;
            bold.setBold(true);
            painter->setFont(bold);
            painter->setPen(kHeadingColour);
            painter->drawText(r.adjusted(kMargin, 0, -kMargin, -4), Qt::AlignLeft | Qt::AlignBottom,
                              index.data(HistoryModel::TitleRole).toString());
            painter->restore();
            return;
        }
        if (option.state & (QStyle::State_Selected | QStyle::State_MouseOver)) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(option.state & QStyle::State_Selected ? kSelectedColour : kHoverColour);
            painter->drawRoundedRect(QRectF(r).adjusted(1, 1, -1, -1), kRowRadius, kRowRadius);
        }
        const QRect icon(r.left() + kMargin, r.center().y() - kIconSide / 2, kIconSide, kIconSide);
        index.data(Qt::DecorationRole).value<QIcon>().paint(painter, icon);

        const int left = r.left() + kTextIndent;
        const int right = r.right() - kMargin;
        const int middle = r.center().y();
        const QFontMetrics smallMetrics(small);
        const QString time = index.data(HistoryModel::TimeRole).toString();
        const int timeWidth = smallMetrics.horizontalAdvance(time);

        QFont bold = option.font;
        bold.setBold(true);
        painter->setFont(bold);
        painter->setPen(kTitleColour);
        const QRect titleBox(left, r.top(), right - left - timeWidth - kSpacing, middle - r.top());
        painter->drawText(titleBox, Qt::AlignLeft | Qt::AlignBottom,
                          QFontMetrics(bold).elidedText(index.data(HistoryModel::TitleRole).toString(),
                                                        Qt::ElideRight, titleBox.width()));
        painter->setFont(small);
        painter->setPen(kDetailColour);
        painter->drawText(QRect(right - timeWidth, r.top(), timeWidth, middle - r.top()),
                          Qt::AlignRight | Qt::AlignBottom, time);

        // The phone first; what went wrong takes the rest of the line.
        const int width = right - left;
        const QString state = index.data(HistoryModel::StateRole).toString();
        const QString separator = QStringLiteral(" – ");
        QString detail = index.data(HistoryModel::DetailRole).toString();
        if (!state.isEmpty() && smallMetrics.horizontalAdvance(detail + separator + state) > width)
            detail = smallMetrics.elidedText(detail, Qt::ElideRight, int(width * kDetailShare));
        const QRect lower(left, middle + 2, width, r.bottom() - middle - 2);
        painter->drawText(lower, Qt::AlignLeft | Qt::AlignTop, detail);
        if (!state.isEmpty()) {
            const int used = smallMetrics.horizontalAdvance(detail + separator);
            painter->setPen(kProblemColour);
            painter->drawText(lower.adjusted(used, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                              smallMetrics.elidedText(state, Qt::ElideRight, width - used));
            painter->setPen(kDetailColour);
            painter->drawText(lower, Qt::AlignLeft | Qt::AlignTop, detail + separator);
        }
        painter->restore();
    }
};
} // namespace

HistoryView::HistoryView(HistoryStore *store, QWidget *parent) : QWidget(parent), store(store)
{
    open = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    confirmClear = [](QWidget *parent) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Verlauf leeren"),
                        QStringLiteral("Den ganzen Verlauf löschen? Die Dateien selbst bleiben erhalten."),
                        QMessageBox::NoButton, parent);
        QPushButton *yes = box.addButton(QStringLiteral("Leeren"), QMessageBox::DestructiveRole);
        QPushButton *no = box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
        box.setDefaultButton(no);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes;
    };

    setObjectName("historyView");
    setWindowTitle(QStringLiteral("Verlauf"));
    setAccessibleName(windowTitle());
    setFixedSize(kWidth, kHeight);
    // A child paints its own surface: the window would show through.
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QString::fromLatin1(kStyle));

    auto *title = new QLabel(windowTitle(), this);
    title->setObjectName("historyTitle");
    clearButton = new QPushButton(QStringLiteral("Verlauf leeren"), this);
    clearButton->setObjectName("clearHistoryButton");
    auto *closeButton = new QPushButton(QStringLiteral("\u2715"), this);
    closeButton->setObjectName("closeHistoryButton");
    closeButton->setAccessibleName(QStringLiteral("Schließen"));
    closeButton->setToolTip(QStringLiteral("Schließen (Esc)"));

    rows = new HistoryModel(this);
    list = new QListView(this);
    list->setObjectName("historyList");
    list->setAccessibleName(windowTitle());
    list->setModel(rows);
    list->setItemDelegate(new HistoryDelegate(list));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setMouseTracking(true);
    list->installEventFilter(this);
    list->viewport()->installEventFilter(this);

    placeholder = new QLabel(this);
    placeholder->setObjectName("historyPlaceholder");
    placeholder->setAlignment(Qt::AlignCenter);
    placeholder->setWordWrap(true);
    stack = new QStackedWidget(this);
    stack->addWidget(list);
    stack->addWidget(placeholder);

    // Floats over the list's foot while it has something to say.
    noteLabel = new QLabel(this);
    noteLabel->setObjectName("historyNote");
    noteLabel->setAlignment(Qt::AlignCenter);
    noteLabel->hide();
    noteTimer = new QTimer(this);
    noteTimer->setSingleShot(true);
    noteTimer->setInterval(kNoteMs);
    connect(noteTimer, &QTimer::timeout, noteLabel, &QLabel::hide);

    auto *top = new QHBoxLayout;
    top->addWidget(title);
    top->addStretch();
    top->addWidget(clearButton);
    top->addWidget(closeButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->setSpacing(kSpacing);
    layout->addLayout(top);
    layout->addWidget(stack, 1);

    // A hidden sheet catches up when it shows.
    connect(store, &HistoryStore::changed, this, [this] {
        if (isVisible())
            reload();
    });
    connect(list, &QListView::activated, this, &HistoryView::activate);
    // The day of the first entry under a heading stays in sight with it.
    connect(list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &index) {
                const QModelIndex above = rows->index(index.row() - 1);
                if (above.isValid() && !isEntry(above))
                    list->scrollTo(above);
                list->scrollTo(index);
            });
    connect(clearButton, &QPushButton::clicked, this, &HistoryView::clearAll);
    connect(closeButton, &QPushButton::clicked, this, &HistoryView::closeRequested);
    setTabOrder(list, clearButton);
    setTabOrder(clearButton, closeButton);
    reload();
}

void HistoryView::reload()
{
    // The same entry stays current; a removed one hands over to its
    // neighbour.
    const QModelIndex current = list->currentIndex();
    const qint64 currentId = isEntry(current) ? entryAt(current).id : 0;
    rows->setEntries(store->entries());
    QModelIndex next;
    for (int row = 0; row < rows->rowCount() && currentId != 0; ++row) {
        const QModelIndex candidate = rows->index(row);
        if (isEntry(candidate) && entryAt(candidate).id == currentId)
            next = candidate;
    }
    if (!next.isValid() && currentId != 0) {
        const int row = qMin(current.row(), rows->rowCount() - 1);
        next = rows->index(row);
        if (!isEntry(next))
            next = rows->index(row + 1);
        if (!isEntry(next))
            next = rows->index(row - 1);
    }
    if (isEntry(next))
        list->setCurrentIndex(next);

    const bool empty = rows->rowCount() == 0;
    clearButton->setEnabled(store->isAvailable() && !empty);
    if (!store->isAvailable())
        placeholder->setText(QStringLiteral("Verlauf nicht verfügbar.\n\n") + store->problem());
    else
        placeholder->setText(QStringLiteral("Noch nichts empfangen oder gesendet."));
    stack->setCurrentWidget(store->isAvailable() && !empty ? static_cast<QWidget *>(list) : placeholder);
}

void HistoryView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Files come and go, and days pass, while the sheet is closed.
    reload();
    if (!isEntry(list->currentIndex()))
        list->setCurrentIndex(rows->index(1)); // the newest entry, under its heading
    if (stack->currentWidget() == list)
        list->setFocus();
}

void HistoryView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        emit closeRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool HistoryView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && watched == list) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QModelIndex current = list->currentIndex();
        const bool menuKey = key->key() == Qt::Key_Menu ||
                             (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
        if (menuKey && isEntry(current)) {
            showMenu(current, list->viewport()->mapToGlobal(list->visualRect(current).center()));
            return true;
        }
        if (key->key() == Qt::Key_Delete && isEntry(current)) {
            store->remove(entryAt(current).id);
            return true;
        }
        if (key->matches(QKeySequence::Copy) && isEntry(current) &&
            entryAt(current).kind == HistoryEntry::Kind::Message) {
            copyText(entryAt(current));
            return true;
        }
    }
    if (event->type() == QEvent::ContextMenu && (watched == list || watched == list->viewport())) {
        const auto *menu = static_cast<QContextMenuEvent *>(event);
        const bool mouse = menu->reason() == QContextMenuEvent::Mouse;
        const QModelIndex index =
            mouse ? list->indexAt(list->viewport()->mapFrom(static_cast<QWidget *>(watched), menu->pos()))
                  : list->currentIndex();
        if (isEntry(index)) {
            list->setCurrentIndex(index);
            showMenu(index, mouse ? menu->globalPos()
                                  : list->viewport()->mapToGlobal(list->visualRect(index).center()));
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void HistoryView::showMenu(const QModelIndex &index, const QPoint &globalPos)
{
    const HistoryEntry entry = entryAt(index);
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setStyleSheet(QString::fromLatin1(devicemenu::kStyle));
    if (entry.kind == HistoryEntry::Kind::File) {
        const bool openable = index.data(HistoryModel::OpenableRole).toBool();
        menu->addAction(QStringLiteral("Öffnen"), this, [this, entry] { openFile(entry); })
            ->setEnabled(openable);
        menu->addAction(QStringLiteral("Im Ordner zeigen"), this, [this, entry] { showInFolder(entry); })
            ->setEnabled(openable);
    } else {
        menu->addAction(QStringLiteral("Kopieren"), this, [this, entry] { copyText(entry); });
    }
    menu->addSeparator();
    menu->addAction(QStringLiteral("Aus Verlauf entfernen"), this,
                    [this, id = entry.id] { store->remove(id); });
    menu->popup(globalPos);
}

void HistoryView::activate(const QModelIndex &index)
{
    if (!isEntry(index))
        return;
    const HistoryEntry entry = entryAt(index);
    if (entry.kind == HistoryEntry::Kind::Message)
        copyText(entry);
    else if (index.data(HistoryModel::OpenableRole).toBool())
        openFile(entry);
    else
        note(index.data(HistoryModel::StateRole).toString());
}

void HistoryView::openFile(const HistoryEntry &entry)
{
    // It may have gone since the menu was shown.
    if (!QFileInfo::exists(entry.path)) {
        reload();
        note(QStringLiteral("Datei nicht mehr vorhanden."));
        return;
    }
    if (!open(QUrl::fromLocalFile(entry.path)))
        note(QStringLiteral("Kein Programm zum Öffnen gefunden."));
}

void HistoryView::showInFolder(const HistoryEntry &entry)
{
    filemanager::showInFolder(entry.path, open, this);
}

void HistoryView::copyText(const HistoryEntry &entry)
{
    QString text = entry.clipped ? store->fullText(entry.id) : QString();
    if (text.isEmpty())
        text = entry.text;
    QGuiApplication::clipboard()->setText(text);
    note(QStringLiteral("Text kopiert."));
}

void HistoryView::clearAll()
{
    if (confirmClear(this))
        store->clear();
}

void HistoryView::note(const QString &text)
{
    noteLabel->setText(text);
    const QRect area = stack->geometry();
    const int height = noteLabel->sizeHint().height();
    noteLabel->setGeometry(area.left() + kNoteInset, area.bottom() - kNoteInset - height,
                           area.width() - 2 * kNoteInset, height);
    noteLabel->show();
    noteLabel->raise();
    noteTimer->start();
}
