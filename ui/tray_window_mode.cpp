#include "tray_window_mode.h"

#include "tray_presence.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>

#if defined(KAVELTOR_HAVE_XCB) && QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {
xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return found;
}

// Task lists and pagers (XFCE's, Plasma's, GNOME's dash) leave out windows in
// these states. Written while the window is unmapped, just before Qt maps
// it: Qt adds its own states to the ones it finds there, and a window
// manager drops them all when the window is withdrawn.
void keepOffTaskList(QWidget *window, bool off)
{
    // The offscreen platform answers as X11 too, without a connection.
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const auto id = xcb_window_t(window->winId());
    const xcb_atom_t state = atom(connection, "_NET_WM_STATE");
    if (off) {
        const xcb_atom_t skip[] = {atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                   atom(connection, "_NET_WM_STATE_SKIP_PAGER")};
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32, 2, skip);
    } else {
        xcb_delete_property(connection, id, state);
    }
    xcb_flush(connection);
}
} // namespace
#else
namespace {
// Elsewhere (Wayland, Windows) there is no such state a program may set.
void keepOffTaskList(QWidget *, bool) {}
} // namespace
#endif

TrayWindowMode::TrayWindowMode(QWidget *window) : QObject(window), window(window)
{
    window->installEventFilter(this);
}

void TrayWindowMode::follow(const TrayPresence *presence)
{
    setInTray(presence->available());
    if (!tray)
        emit logLine(QStringLiteral("Kein Infobereich (Tray) gefunden: Das Fenster bleibt sichtbar, "
                                    "Schließen beendet das Programm."));
    connect(presence, &TrayPresence::availabilityChanged, this, [this](bool available) {
        // The frame comes or goes, which hides the window: one in view shows
        // again in its new life, and without a tray it is all the user has.
        const bool shown = window->isVisible() && !window->isMinimized();
        setInTray(available);
        emit logLine(available ? QStringLiteral("Infobereich (Tray) gefunden: Das Programm lebt jetzt dort.")
                               : QStringLiteral("Infobereich (Tray) verschwunden: Das Fenster bleibt "
                                                "sichtbar, Schließen beendet das Programm."));
        if (shown || !available)
            emit presentRequested();
    });
}

void TrayWindowMode::minimise()
{
    if (tray)
        window->hide();
    else
        window->showMinimized();
}

void TrayWindowMode::setInTray(bool inTray)
{
    tray = inTray;
    window->setWindowFlag(Qt::FramelessWindowHint, inTray);
}

bool TrayWindowMode::eventFilter(QObject *watched, QEvent *event)
{
    // A widget's show event comes before its native window is mapped.
    if (watched == window && event->type() == QEvent::Show)
        keepOffTaskList(window, tray);
    return QObject::eventFilter(watched, event);
}
