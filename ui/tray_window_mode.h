// How the window lives: as the tray's panel (frameless, kept off the task
// list and the pager) or, without a tray, as an ordinary application window
// with the window manager's frame to move and close it by.
#pragma once

#include <QObject>

class QWidget;
class TrayPresence;

class TrayWindowMode : public QObject
{
    Q_OBJECT

public:
    explicit TrayWindowMode(QWidget *window);

    // Lives as the tray is there or not, from now on: says so once where
    // there is none at start, and again whenever a tray comes or goes.
    void follow(const TrayPresence *tray);
    // Takes effect at once for the frame, which hides a shown window; the
    // task list hears of it at the window's next showing.
    void setInTray(bool inTray);
    bool inTray() const { return tray; }
    // "-": behind the tray icon, or down to the task list without a tray.
    void minimise();

signals:
    void logLine(const QString &line);
    // The window must show in its new life.
    void presentRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *window;
    bool tray = false;
};
