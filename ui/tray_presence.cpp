#include "tray_presence.h"

#include "protocol.h"
#include "tray_placement.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QTimer>

namespace {
constexpr int kBalloonMs = 3000;
const char *const kIconResource = ":/KAVELTORCompanion.ico";
} // namespace

TrayPresence::TrayPresence(QObject *parent)
    : QObject(parent), menu(std::make_unique<QMenu>()), icon(new QSystemTrayIcon(this)),
      watch(new QTimer(this)), present(QSystemTrayIcon::isSystemTrayAvailable())
{
    icon->setIcon(QIcon(QString::fromLatin1(kIconResource)));
    icon->setToolTip(QString::fromLatin1(protocol::kAppName));
    connect(menu->addAction(QStringLiteral("\u00d6ffnen")), &QAction::triggered, this,
            &TrayPresence::openRequested);
    connect(menu->addAction(QStringLiteral("Beenden")), &QAction::triggered, this,
            &TrayPresence::quitRequested);
    icon->setContextMenu(menu.get());
    connect(icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            emit toggleRequested();
    });
    icon->show();
    connect(watch, &QTimer::timeout, this, [this] {
        if (QSystemTrayIcon::isSystemTrayAvailable() == present)
            return;
        present = !present;
        emit availabilityChanged(present);
    });
    watch->start(kWatchMs);
}

TrayPresence::~TrayPresence()
{
    delete icon; // before the menu it shows
}

void TrayPresence::showMessage(const QString &summary, const QString &body)
{
    if (present)
        icon->showMessage(summary, body, QSystemTrayIcon::Information, kBalloonMs);
}

QPoint TrayPresence::windowPosition(const QSize &window) const
{
    // The icon's screen where the tray tells where the icon is (an XEmbed
    // tray does, a StatusNotifier one does not), else the pointer's.
    const QRect iconRect = present ? icon->geometry() : QRect();
    QScreen *screen = QGuiApplication::screenAt(iconRect.isEmpty() ? QCursor::pos() : iconRect.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    return trayCornerPosition({screen->geometry(), screen->availableGeometry(), iconRect}, window, kMargin);
}
