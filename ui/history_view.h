#pragma once

#include "file_manager.h"
#include "history_store.h"

#include <QWidget>

#include <functional>

class HistoryModel;
class QLabel;
class QListView;
class QModelIndex;
class QPushButton;
class QStackedWidget;
class QTimer;

// "Verlauf": what came from the phones and what went to them, newest first,
// a sheet of the window's width that the window slides up like the settings.
// A file can be opened or shown in its folder, a message's text copied, and
// any entry, or all of them, removed. Everything works from the keyboard:
// Enter opens a file or copies a text (as Ctrl+C does), the menu key (or
// Shift+F10) shows a row's menu, Delete removes the row, Escape closes the
// sheet.
class HistoryView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kWidth = 420;
    static constexpr int kHeight = 350;
    // How long a short note ("Text kopiert.") stays under the list.
    static constexpr int kNoteMs = 3000;

    // The store must outlive the view.
    explicit HistoryView(HistoryStore *store, QWidget *parent = nullptr);

    HistoryModel *model() const { return rows; }

    // The desktop's opener for files and folders (QDesktopServices::openUrl);
    // tests put their own in its place.
    filemanager::Opener open;
    // Asks before the whole history goes; true to go ahead.
    std::function<bool(QWidget *parent)> confirmClear;

signals:
    void closeRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void reload();
    void showMenu(const QModelIndex &index, const QPoint &globalPos);
    void activate(const QModelIndex &index);
    void openFile(const HistoryEntry &entry);
    void showInFolder(const HistoryEntry &entry);
    void copyText(const HistoryEntry &entry);
    void clearAll();
    void note(const QString &text);

    HistoryStore *store = nullptr;
    HistoryModel *rows = nullptr;
    QListView *list = nullptr;
    QLabel *placeholder = nullptr;
    QStackedWidget *stack = nullptr;
    QPushButton *clearButton = nullptr;
    QLabel *noteLabel = nullptr;
    QTimer *noteTimer = nullptr;
};
