#include "sheet_slide.h"

#include <QPropertyAnimation>
#include <QWidget>

namespace {
constexpr int kSheetSlideMs = 340;
}

void slideUpInto(QWidget *sheet, QWidget *window)
{
    // The sheet is a child, so its coordinates are the window's own.
    sheet->adjustSize();
    const int sheetHeight = sheet->height();
    const int sheetWidth = window->width();
    sheet->setFixedWidth(sheetWidth);
    const int bottomRow = window->height() - 1;
    sheet->setGeometry(0, bottomRow, sheetWidth, sheetHeight);
    sheet->show();
    sheet->raise();
    auto *slide = new QPropertyAnimation(sheet, "geometry", sheet);
    slide->setDuration(kSheetSlideMs);
    slide->setEasingCurve(QEasingCurve::OutCubic);
    slide->setStartValue(QRect(0, bottomRow, sheetWidth, sheetHeight));
    slide->setEndValue(QRect(0, bottomRow - sheetHeight, sheetWidth, sheetHeight));
    slide->start(QAbstractAnimation::DeleteWhenStopped);
}
