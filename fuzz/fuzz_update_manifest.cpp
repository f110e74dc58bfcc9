// Update manifests as the publisher's server (or anybody between, were TLS
// ever to fail) might send them, and the version texts in them.
#include "update_service.h"

#include <QStandardPaths>

#define CHECK(condition)                                                                                     \
    if (!(condition))                                                                                        \
    __builtin_trap()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using U = UpdateService;
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const U::Manifest m = U::parseManifest(body);
    // A manifest that may be acted on is an object naming a version, an https
    // installer and a digest of exactly 64 characters, all in lower case.
    CHECK(!m.error.isEmpty() ||
          (m.isObject && !m.version.isEmpty() && m.sha256.size() == 64 && m.sha256 == m.sha256.toLower() &&
           m.url.startsWith("https", Qt::CaseInsensitive)));

    // Versions are strictly ordered, and a missing part counts as 0.
    const QString v = m.version, other = QString::fromUtf8(body.left(qsizetype(size / 2)));
    CHECK(!U::isNewerVersion(v, v) && !(U::isNewerVersion(v, other) && U::isNewerVersion(other, v)));
    CHECK(!U::isNewerVersion(v + ".0", v) &&
          U::isNewerVersion(v + ".0", other) == U::isNewerVersion(v, other));

    // Whatever the version says, the installer stays in the update folder.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/Updates/";
    const QString path = U::installerPath(v.isEmpty() ? other : v);
    CHECK(path.startsWith(dir) && !path.mid(dir.size()).contains('/'));
    return 0;
}
