// Where the frameless window goes when the tray brings it up: the corner of
// the screen nearest the tray, clear of the panel that holds it.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// What is known of one screen and the tray on it.
struct TrayScreen
{
    // The whole screen and the part the panels leave free (the same rect
    // where the window manager publishes no work area, as i3 does).
    QRect screen;
    QRect available;
    // The tray icon's rect on the screen, empty where the platform does not
    // tell (a StatusNotifier tray, Wayland).
    QRect icon;
};

// Top-left corner of a window of the given size, margin pixels from the two
// edges of the free area in the corner nearest the tray icon, or, without an
// icon rect, on the side the panels reserve (bottom right when none does).
// The window stays wholly on the screen whatever it is told.
QPoint trayCornerPosition(const TrayScreen &where, const QSize &window, int margin);
