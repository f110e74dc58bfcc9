// Fitting a backdrop image to the window: scale until it covers the window,
// then keep the centre.
#pragma once

#include <QPixmap>
#include <QRect>
#include <QSize>

// The part of an image scaled to cover target that stays visible: its
// rectangle within the scaled image. scaledSize receives the scaled size.
QRect coverCropRect(const QSize &image, const QSize &target, QSize *scaledSize = nullptr);

// The image scaled smoothly to cover target and cut to its centre.
QPixmap coverAndCrop(const QPixmap &image, const QSize &target);
