// The program's icon in the tray: its menu, its clicks, balloons where the
// desktop has no notification service, and the corner above it where the
// window opens.
#pragma once

#include <QObject>
#include <QPoint>
#include <QSize>
#include <QSystemTrayIcon>

#include <memory>

class QMenu;

class TrayPresence : public QObject
{
    Q_OBJECT

public:
    // The window's distance from the edges of the screen's free area.
    static constexpr int kMargin = 17;

    explicit TrayPresence(QObject *parent);
    ~TrayPresence() override;

    // Whether a tray host shows the icon.
    bool available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }
    // A balloon at the icon, for a few seconds.
    void showMessage(const QString &summary, const QString &body);
    void hide() { icon->hide(); }
    // Where a window of this size opens: the corner of the free area of the
    // screen under the pointer, kMargin away from its edges.
    static QPoint windowPosition(const QSize &window);

signals:
    // A click on the icon.
    void toggleRequested();
    void openRequested();
    void quitRequested();

private:
    // A menu is a widget and this is none: it goes with this object.
    std::unique_ptr<QMenu> menu;
    QSystemTrayIcon *icon;
};
