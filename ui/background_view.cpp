#include "background_view.h"

#include "background_files.h"
#include "cover_crop.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPixmap>
#include <QWidget>

namespace {
bool isAnimated(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("gif") || suffix == QLatin1String("webp");
}

// Reads only the part of the picture that stays visible, scaled on the way
// in where the format allows it (JPEG does): a 100 x 20000 picture never
// becomes 420 x 84000 pixels.
QImage readCovering(const QString &path, const QSize &target)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isEmpty())
        return reader.read(); // the reader cannot tell in advance; fit afterwards
    reader.setClipRect(coverSourceRect(size, target));
    reader.setScaledSize(target);
    return reader.read();
}
} // namespace

BackgroundView::BackgroundView(QWidget *window) : QObject(window), window(window), label(new QLabel(window))
{
    label->setObjectName("backgroundLayer");
    label->setGeometry(window->rect());
    label->setAlignment(Qt::AlignCenter);
    label->lower();
    importer.setMaxThreadCount(1);
}

BackgroundView::~BackgroundView()
{
    importer.waitForDone();
}

QSize BackgroundView::devicePixels() const
{
    QSize size = label->size();
    if (size.isEmpty())
        size = window->size();
    return size * window->devicePixelRatio();
}

bool BackgroundView::show(const QString &path)
{
    if (movie) {
        movie->stop();
        delete movie;
        movie = nullptr;
    }
    stillPath.clear();
    const QString defaultPath = QString::fromLatin1(background::kDefaultResource);
    const QString wanted = path.isEmpty() ? defaultPath : path;

    if (isAnimated(wanted)) {
        if (wanted.endsWith(QLatin1String(".webp"), Qt::CaseInsensitive))
            background::ensureWebpPlugin();
        movie = new QMovie(wanted, QByteArray(), this);
        if (movie->isValid()) {
            connect(movie, &QMovie::frameChanged, this, &BackgroundView::showFrame);
            // A hidden window only needs the first frame.
            if (window->isVisible())
                movie->start();
            else
                movie->jumpToFrame(0);
            showFrame();
            return true;
        }
        delete movie;
        movie = nullptr;
        if (wanted.endsWith(QLatin1String(".webp"), Qt::CaseInsensitive))
            emit logLine(QStringLiteral("WebP kann ohne Qt-WebP-Plugin nicht angezeigt werden: ") +
                         QCoreApplication::applicationDirPath() + QStringLiteral("/imageformats/") +
                         background::webpPluginFileName());
    } else if (QImageReader(wanted).canRead()) {
        stillPath = wanted;
        stillDrawnFor = QSize();
        if (drawStill())
            return true;
        stillPath.clear();
    }
    if (wanted != defaultPath)
        show(QString());
    return false;
}

void BackgroundView::fit()
{
    label->setGeometry(window->rect());
    if (movie)
        showFrame();
    else
        drawStill();
}

void BackgroundView::showFrame()
{
    const QSize target = devicePixels();
    QImage shown = coverAndCrop(movie->currentImage(), target);
    if (shown.isNull())
        return;
    shown.setDevicePixelRatio(window->devicePixelRatio());
    label->setPixmap(QPixmap::fromImage(std::move(shown)));
}

bool BackgroundView::drawStill()
{
    const QSize target = devicePixels();
    if (stillPath.isEmpty() || target == stillDrawnFor)
        return true;
    QImage shown = readCovering(stillPath, target);
    if (shown.size() != target)
        shown = coverAndCrop(shown, target);
    if (shown.isNull())
        return false;
    stillDrawnFor = target;
    shown.setDevicePixelRatio(window->devicePixelRatio());
    label->setPixmap(QPixmap::fromImage(std::move(shown)));
    return true;
}

void BackgroundView::setAnimationRunning(bool running)
{
    if (!movie)
        return;
    if (running) {
        if (movie->state() == QMovie::NotRunning)
            movie->start();
        else if (movie->state() == QMovie::Paused)
            movie->setPaused(false);
    } else if (movie->state() == QMovie::Running) {
        movie->setPaused(true);
    }
}

void BackgroundView::import(const QString &source, const QString &folder, qint64 nowMs)
{
    // Plugin paths are the application's; set them up here, not on the worker.
    if (source.endsWith(QLatin1String(".webp"), Qt::CaseInsensitive))
        background::ensureWebpPlugin();
    importer.start([this, source, folder, nowMs] {
        QString target, error, notice;
        background::importBackgroundFile(source, folder, nowMs, &target, &error, &notice);
        // Queued to this object: dropped unread if it is gone by then, and
        // the destructor waits for this thread before it goes.
        QMetaObject::invokeMethod(
            this, [this, target, error, notice] { onImported(target, error, notice); }, Qt::QueuedConnection);
    });
}

void BackgroundView::restore(const QString &storedPath)
{
    chosenPath = storedPath;
    if (show(storedPath) || storedPath.isEmpty() || QFileInfo::exists(storedPath))
        return;
    // Said once: the forgotten path is not looked for again.
    emit logLine(
        QStringLiteral("Hintergrundbild nicht mehr vorhanden, der Standard-Hintergrund wird gezeigt: ") +
        storedPath);
    chosenPath.clear();
    emit pathChanged(chosenPath);
}

void BackgroundView::choose(const QString &source, qint64 nowMs)
{
    import(source, background::appDataDir(), nowMs);
}

void BackgroundView::onImported(const QString &target, const QString &error, const QString &notice)
{
    if (target.isEmpty()) {
        emit logLine(error);
        emit pathChanged(chosenPath); // the working picture stays
        return;
    }
    if (!notice.isEmpty())
        emit logLine(notice);
    restore(target);
    emit pathChanged(chosenPath);
    emit logLine(QStringLiteral("Hintergrundbild geaendert: ") + chosenPath);
}
