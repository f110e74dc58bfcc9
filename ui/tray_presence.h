// The program's icon in the tray: its menu, its clicks, balloons where the
// desktop has no notification service, whether a tray is there at all, and
// the corner near it where the window opens.
#pragma once

#include <QObject>
#include <QPoint>
#include <QSize>
#include <QSystemTrayIcon>

#include <memory>

class QMenu;
class QTimer;

class TrayPresence : public QObject
{
    Q_OBJECT

public:
    // The window's distance from the edges of the screen's free area.
    static constexpr int kMargin = 17;
    // How often the program looks for a tray that came or went: Qt tells
    // nobody when a tray host starts after the program or ends before it.
    static constexpr int kWatchMs = 2000;

    explicit TrayPresence(QObject *parent);
    ~TrayPresence() override;

    // Whether a tray host shows the icon, as last seen.
    bool available() const { return present; }
    // A balloon at the icon, for a few seconds; nothing without a tray.
    void showMessage(const QString &summary, const QString &body);
    void hide() { icon->hide(); }
    // Where a window of this size opens: the corner of the screen nearest
    // the icon, kMargin away from the edges of its free area.
    QPoint windowPosition(const QSize &window) const;

signals:
    // A click on the icon.
    void toggleRequested();
    void openRequested();
    void quitRequested();
    // A tray host started or ended after the program did.
    void availabilityChanged(bool available);

private:
    // A menu is a widget and this is none: it goes with this object.
    std::unique_ptr<QMenu> menu;
    QSystemTrayIcon *icon;
    QTimer *watch;
    bool present;
};
