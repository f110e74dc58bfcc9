// Update manifests as the publisher's server (or anybody between, were TLS
// ever to fail) might send them, and the version texts in them.
#include "update_service.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const UpdateService::Manifest m = UpdateService::parseManifest(body);

    // A manifest that may be acted on names an https installer and a digest
    // of exactly 64 characters, all in lower case.
    if (m.error.isEmpty()) {
        if (!m.isObject || m.version.isEmpty() || m.sha256.size() != 64 || m.sha256 != m.sha256.toLower() ||
            !m.url.startsWith(QLatin1String("https"), Qt::CaseInsensitive))
            std::abort();
    }
    if (!m.isObject && (!m.version.isEmpty() || !m.url.isEmpty() || !m.sha256.isEmpty()))
        std::abort();

    // Comparing versions is a strict order: never both ways, never with itself.
    const QString other = QString::fromUtf8(body.left(qsizetype(size / 2)));
    if (UpdateService::isNewerVersion(m.version, m.version))
        std::abort();
    if (UpdateService::isNewerVersion(m.version, other) && UpdateService::isNewerVersion(other, m.version))
        std::abort();

    // Whatever the version says, the installer stays in the update folder.
    const QString path = UpdateService::installerPath(m.version.isEmpty() ? other : m.version);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                           QStringLiteral("/Updates/");
    if (!path.startsWith(folder) || path.mid(folder.size()).contains(QLatin1Char('/')))
        std::abort();
    return 0;
}
