// Proposed file names as a peer's header carries them (UTF-8), checked for
// what makes a name safe to create in the receive folder, and never one the
// leftover sweep would take for a temporary file.
#include "file_store.h"

#include <QRegularExpression>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A separator, a character Windows refuses, a control character, a mark
    // that turns text around, a trailing dot or blank (so also "." and ".."),
    // or a device name.
    static const QRegularExpression unsafe(
        QStringLiteral(
            R"([\\/:*?"<>|\x00-\x1f\x7f-\x9f\x{61c}\x{200e}\x{200f}\x{202a}-\x{202e}\x{2066}-\x{2069}])"
            R"(|[. ]$|^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\.[^.]*)?$)"),
        QRegularExpression::CaseInsensitiveOption);
    const QString name =
        filestore::sanitizeFileName(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (name.isEmpty() || name.size() > filestore::kMaxNameUnits ||
        name.toUtf8().size() > filestore::kMaxNameUtf8Bytes || filestore::sanitizeFileName(name) != name ||
        unsafe.match(name).hasMatch() || !filestore::finalNameOf(name).isEmpty())
        __builtin_trap();
    return 0;
}
