// Proposed file names as a peer's header carries them (UTF-8), checked for
// what makes a name safe to create in the receive folder.
#include "file_store.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}

const QString &receiveFolder()
{
    static QTemporaryDir dir;
    static const QString path = dir.path();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString proposal = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString name = filestore::sanitizeFileName(proposal);

    check(!name.isEmpty());
    check(name.size() <= filestore::kMaxNameUnits);
    check(name.toUtf8().size() <= filestore::kMaxNameUtf8Bytes);
    for (QChar c : name)
        check(!QStringLiteral("\\/:*?\"<>|").contains(c) && c.unicode() >= 0x20);
    check(!name.endsWith(QLatin1Char('.')) && !name.endsWith(QLatin1Char(' ')));
    const QString base = filestore::splitName(name).base.toUpper();
    for (const char *device : {"CON", "PRN", "AUX", "NUL"})
        check(base != QLatin1String(device));
    for (int n = 1; n <= 9; ++n)
        check(base != QStringLiteral("COM%1").arg(n) && base != QStringLiteral("LPT%1").arg(n));
    check(filestore::sanitizeFileName(name) == name);

    // Created under its name, the file lands in the folder itself, under
    // exactly that name.
    const QString folder = receiveFolder();
    QFile file(folder + QLatin1Char('/') + name);
    check(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
    file.close();
    const QStringList entries =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    check(entries == QStringList{name});
    check(file.remove());
    return 0;
}
