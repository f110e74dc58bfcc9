#include "cover_crop.h"

#include <algorithm>

QRect coverCropRect(const QSize &image, const QSize &target, QSize *scaledSize)
{
    const QSize scaled = image.scaled(target, Qt::KeepAspectRatioByExpanding);
    if (scaledSize)
        *scaledSize = scaled;
    const int x = scaled.width() > target.width() ? (scaled.width() - target.width()) / 2 : 0;
    const int y = scaled.height() > target.height() ? (scaled.height() - target.height()) / 2 : 0;
    return QRect(x, y, std::min(scaled.width(), target.width()), std::min(scaled.height(), target.height()));
}

QPixmap coverAndCrop(const QPixmap &image, const QSize &target)
{
    if (image.isNull() || target.isEmpty())
        return QPixmap();
    QSize scaledSize;
    const QRect crop = coverCropRect(image.size(), target, &scaledSize);
    return image.scaled(scaledSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).copy(crop);
}
