#include "tray_placement.h"

#include <algorithm>

namespace {
enum class Edge { Top, Bottom, Left, Right };

// The screen edge whose panel holds the icon: the side of the free area it
// lies beyond, else the edge it is nearest to. An icon in a corner belongs to
// a horizontal panel: vertical ones are the rarer kind.
Edge panelEdge(const QRect &screen, const QRect &area, const QRect &icon)
{
    if (icon.top() > area.bottom())
        return Edge::Bottom;
    if (icon.bottom() < area.top())
        return Edge::Top;
    if (icon.left() > area.right())
        return Edge::Right;
    if (icon.right() < area.left())
        return Edge::Left;
    const int toTop = icon.top() - screen.top();
    const int toBottom = screen.bottom() - icon.bottom();
    const int toSide = std::min(icon.left() - screen.left(), screen.right() - icon.right());
    if (toSide + icon.height() < std::min(toTop, toBottom))
        return icon.center().x() < screen.center().x() ? Edge::Left : Edge::Right;
    return toTop < toBottom ? Edge::Top : Edge::Bottom;
}

// Keeps the area on the inner side of the icon: a panel that reserves no
// room (i3's bar) is not covered either.
void keepClearOf(QRect &area, Edge edge, const QRect &icon)
{
    switch (edge) {
    case Edge::Bottom:
        area.setBottom(std::min(area.bottom(), icon.top() - 1));
        break;
    case Edge::Top:
        area.setTop(std::max(area.top(), icon.bottom() + 1));
        break;
    case Edge::Right:
        area.setRight(std::min(area.right(), icon.left() - 1));
        break;
    case Edge::Left:
        area.setLeft(std::max(area.left(), icon.right() + 1));
        break;
    }
}
} // namespace

QPoint trayCornerPosition(const TrayScreen &where, const QSize &window, int margin)
{
    const QRect &screen = where.screen;
    QRect area = where.available.intersected(screen);
    if (area.isEmpty())
        area = screen;
    bool right = true;
    bool bottom = true;
    if (const QRect icon = where.icon.intersected(screen); !icon.isEmpty()) {
        right = icon.center().x() >= screen.center().x();
        bottom = icon.center().y() >= screen.center().y();
        keepClearOf(area, panelEdge(screen, area, icon), icon);
    } else if (area != screen) {
        // The side with the most room reserved holds the panels; a tie
        // keeps the usual bottom right.
        right = screen.right() - area.right() >= area.left() - screen.left();
        bottom = screen.bottom() - area.bottom() >= area.top() - screen.top();
    }
    const int x = right ? area.right() + 1 - margin - window.width() : area.left() + margin;
    const int y = bottom ? area.bottom() + 1 - margin - window.height() : area.top() + margin;
    // Wholly on the screen; on one too small for it, its top left shows.
    return {std::max(screen.left(), std::min(x, screen.right() + 1 - window.width())),
            std::max(screen.top(), std::min(y, screen.bottom() + 1 - window.height()))};
}
