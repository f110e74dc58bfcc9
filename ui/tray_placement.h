// Where the frameless window goes when the tray brings it up.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Top-left corner that puts a window of the given size margin pixels away
// from the right and bottom edges of the available area.
inline QPoint trayCornerPosition(const QRect &available, const QSize &window, int margin)
{
    return {available.left() + available.width() - window.width() - margin,
            available.top() + available.height() - window.height() - margin};
}
