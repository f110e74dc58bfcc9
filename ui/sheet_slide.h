// Sheets (settings, history) slide up inside the window from its bottom edge.
#pragma once

class QWidget;

// Shows sheet, a child of window, at its natural height and window's width,
// sliding up from the window's bottom row to cover its lower part.
void slideUpInto(QWidget *sheet, QWidget *window);
