#include "background_files.h"

#include "settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLibraryInfo>
#include <QStandardPaths>

namespace background {

namespace {
const QStringList kCleanupPatterns{
    QStringLiteral("background_custom_*.*"),  QStringLiteral("background_custom.gif"),
    QStringLiteral("background_custom.png"),  QStringLiteral("background_custom.jpg"),
    QStringLiteral("background_custom.jpeg"), QStringLiteral("background_custom.bmp"),
    QStringLiteral("background_custom.webp")};
// Small enough to decode in a moment, large enough to find damage.
constexpr QSize kCheckSize(64, 64);
} // namespace

QString appDataDir()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (folder.isEmpty())
        folder = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("data"));
    makeOwnerOnlyFolders(folder);
    return folder;
}

QString webpPluginFileName()
{
#if defined(Q_OS_WIN)
    return QStringLiteral("qwebp.dll");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("libqwebp.dylib");
#else
    return QStringLiteral("libqwebp.so");
#endif
}

bool webpSupported()
{
    return QImageReader::supportedImageFormats().contains("webp");
}

void ensureWebpPlugin()
{
    // Where Qt's own plugin folder already provides the reader (a packaged
    // Qt, as on Linux), nothing is written beside the executable.
    if (webpSupported())
        return;
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString pluginDir = QDir(appDir).filePath(QStringLiteral("imageformats"));
    const QString pluginFile = QDir(pluginDir).filePath(webpPluginFileName());
    QDir().mkpath(pluginDir);
    QCoreApplication::addLibraryPath(appDir);
    if (QFileInfo::exists(pluginFile))
        return;
    const QString source = QDir(QLibraryInfo::path(QLibraryInfo::PluginsPath))
                               .filePath(QStringLiteral("imageformats/") + webpPluginFileName());
    if (QFileInfo::exists(source))
        QFile::copy(source, pluginFile);
}

void removeOldBackgrounds(const QString &folder, const QString &keepPath)
{
    QDir dir(folder);
    const QString keep = QFileInfo(keepPath).absoluteFilePath();
    const QStringList files = dir.entryList(kCleanupPatterns, QDir::Files, QDir::Unsorted);
    for (const QString &name : files) {
        const QString path = dir.absoluteFilePath(name);
        if (path != keep)
            QFile::remove(path);
    }
}

bool importBackgroundFile(const QString &source, const QString &folder, qint64 nowMs, QString *target,
                          QString *error, QString *notice)
{
    const QFileInfo info(source);
    if (!info.exists() || !info.isFile()) {
        *error = QStringLiteral("Hintergrundbild nicht gefunden.");
        return false;
    }
    const QString suffix = info.suffix().toLower();
    // WebP without Qt's reader cannot be checked; it is kept for the day the
    // plugin is there, and the user is told.
    const bool unreadableWebp = suffix == QLatin1String("webp") && !webpSupported();
    if (!unreadableWebp) {
        // Decoding one frame, shrunk, finds a corrupt or mislabelled file
        // before anything in the folder changes.
        QImageReader reader(source);
        const QSize size = reader.size();
        if (size.isValid())
            reader.setScaledSize(size.scaled(kCheckSize, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
        if (reader.read().isNull()) {
            *error = QStringLiteral("Hintergrundbild konnte nicht gelesen werden.");
            return false;
        }
    }
    // The chosen file as it is: re-encoding a large photo costs time and
    // quality and gains nothing.
    // A fresh name: the working picture may carry this very stamp.
    QString copy;
    for (qint64 stamp = nowMs; copy.isEmpty() || QFileInfo::exists(copy); ++stamp)
        copy = QDir(folder).filePath(QLatin1String(kImportedPrefix) + QString::number(stamp) +
                                     QLatin1Char('.') + suffix);
    if (!QFile::copy(source, copy)) {
        *error = QStringLiteral("Hintergrundbild konnte nicht in den AppData-Ordner kopiert werden.");
        return false;
    }
    *target = copy;
    removeOldBackgrounds(folder, copy);
    if (unreadableWebp)
        *notice = QStringLiteral("WebP importiert. Zum Anzeigen wird imageformats/") + webpPluginFileName() +
                  QStringLiteral(" benoetigt.");
    return true;
}

} // namespace background
