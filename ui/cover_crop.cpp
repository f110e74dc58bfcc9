#include "cover_crop.h"

#include <algorithm>

QRect coverSourceRect(const QSize &image, const QSize &target)
{
    if (image.isEmpty() || target.isEmpty())
        return {};
    const qint64 iw = image.width(), ih = image.height(), tw = target.width(), th = target.height();
    qint64 w = iw, h = ih;
    if (iw * th > ih * tw) // wider than the target: keep the full height
        w = std::clamp<qint64>((ih * tw + th / 2) / th, 1, iw);
    else
        h = std::clamp<qint64>((iw * th + tw / 2) / tw, 1, ih);
    return QRect(int((iw - w) / 2), int((ih - h) / 2), int(w), int(h));
}

QImage coverAndCrop(const QImage &image, const QSize &target)
{
    if (image.isNull() || target.isEmpty())
        return QImage();
    return image.copy(coverSourceRect(image.size(), target))
        .scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QPixmap scaledForScreen(const QPixmap &picture, const QSize &size, qreal dpr)
{
    if (picture.isNull())
        return QPixmap();
    QPixmap out = picture.scaled(size * dpr, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    out.setDevicePixelRatio(dpr);
    return out;
}
