// Fitting pictures to the window: the centre of a backdrop image that has
// the window's shape, scaled to cover it; the logo scaled to fit its label.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QSize>

// The centred part of an image of size image that has target's aspect ratio:
// what stays visible when the image covers target. At least 1 x 1.
QRect coverSourceRect(const QSize &image, const QSize &target);

// The visible part cut out first, then scaled smoothly to target: memory
// stays bounded by the target, however tall or wide the picture.
QImage coverAndCrop(const QImage &image, const QSize &target);

// Scaled to fit size in the screen's device pixels, so that it stays sharp
// on HiDPI screens instead of being blown up from one pixel per point.
QPixmap scaledForScreen(const QPixmap &picture, const QSize &size, qreal dpr);
