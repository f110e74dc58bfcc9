#include "file_store.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#include <array>
#include <cerrno>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace filestore {

namespace {
const QLatin1String kTempSuffix(".part");
constexpr QStringView kTempPrefix = u".\u200E";
// Random temporary names tried before giving up on creating one.
constexpr int kTempNameAttempts = 16;

#ifndef _WIN32
// The answers with which a file system (FAT, exFAT, many FUSE mounts) says it
// cannot do this kind of call at all, as opposed to failing this one.
bool unsupportedHere(int error)
{
    return error == EINVAL || error == ENOSYS || error == EPERM || error == EOPNOTSUPP || error == ENOTSUP ||
           error == EXDEV;
}
#endif

// Device names that Windows resolves in every folder, whatever the suffix.
constexpr std::array<const char *, 22> kReservedBases = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

bool isReservedBase(const QString &base)
{
    const QString upper = base.toUpper();
    for (const char *reserved : kReservedBases) {
        if (upper == QLatin1String(reserved))
            return true;
    }
    return false;
}

// Characters no file name may carry: separators, what Windows refuses,
// control characters (a NUL would silently cut the name at the system call;
// DEL and the C1 range are controls too), and the invisible marks that turn
// text around ("\u202Eexe.jpg" shows as "gpj.exe"), so that the name a user
// sees is the name the file has.
bool isForbidden(QChar c)
{
    switch (c.unicode()) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case 0x061C: // Arabic letter mark
    case 0x200E: // left-to-right mark
    case 0x200F: // right-to-left mark
        return true;
    default:
        return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F) ||
               (c.unicode() >= 0x202A && c.unicode() <= 0x202E) || // embeddings and overrides
               (c.unicode() >= 0x2066 && c.unicode() <= 0x2069);   // isolates
    }
}

// The first n code units of text, one fewer when the cut would leave half a
// surrogate pair, which no file system can encode.
QString leftUnits(const QString &text, qsizetype n)
{
    if (text.size() <= n)
        return text;
    if (n > 0 && text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n);
}

// The longest prefix of text whose UTF-8 encoding fits in maxBytes, cut
// between characters only.
QString leftUtf8Bytes(const QString &text, qsizetype maxBytes)
{
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const char32_t c = text.at(i).unicode();
        qsizetype units = 1;
        qsizetype length = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            units = 2;
            length = 4;
        }
        if (bytes + length > maxBytes)
            break;
        bytes += length;
        i += units;
    }
    return text.left(i);
}

QString pathIn(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// The path in folder for the first free name for name.
QString freePathIn(const QString &folder, const QString &name)
{
    // A dangling symbolic link holds its name too: moving onto it would fail.
    return pathIn(folder, chooseFreeName(name, [&folder](const QString &candidate) {
                      return nameTaken(pathIn(folder, candidate));
                  }));
}

QString joinName(const QString &base, const QString &suffix)
{
    return suffix.isEmpty() ? base : base + QLatin1Char('.') + suffix;
}

// Trailing dots and blanks go (Windows drops them and would then open
// another file), an empty result falls back, device names get a "_".
QString settle(QString name)
{
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    // Blanks alone, such as a narrow no-break space, name nothing a user can see.
    if (name.trimmed().isEmpty())
        return QString::fromLatin1(kFallbackName);
    const NameParts parts = splitName(name);
    if (isReservedBase(parts.base))
        return QLatin1Char('_') + joinName(parts.base, parts.suffix);
    return name;
}
} // namespace

NameParts splitName(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return {name, QString()};
    return {name.left(dot), name.mid(dot + 1)};
}

QString sanitizeFileName(const QString &proposal)
{
    QString name = proposal;
    const qsizetype separator = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (separator >= 0)
        name = name.mid(separator + 1);
    else if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        name = name.mid(2); // drive prefix such as "C:"

    for (QChar &c : name) {
        if (isForbidden(c))
            c = QLatin1Char('_');
    }
    name = settle(name);

    if (name.size() > kMaxNameUnits) {
        const NameParts parts = splitName(name);
        name = joinName(leftUnits(parts.base, kMaxBaseUnits), leftUnits(parts.suffix, kMaxSuffixUnits));
    }
    if (name.toUtf8().size() > kMaxNameUtf8Bytes) {
        const NameParts parts = splitName(name);
        const QString suffix = leftUnits(parts.suffix, kMaxSuffixUnits);
        const qsizetype suffixBytes = suffix.isEmpty() ? 0 : suffix.toUtf8().size() + 1;
        name = joinName(leftUtf8Bytes(parts.base, kMaxNameUtf8Bytes - suffixBytes), suffix);
    }
    // Cutting may have left a trailing blank or bared a device name.
    return settle(name);
}

QString numberedName(const QString &name, int counter)
{
    const NameParts parts = splitName(name);
    if (parts.suffix.isEmpty())
        return QStringLiteral("%1 (%2)").arg(parts.base).arg(counter);
    return QStringLiteral("%1 (%2).%3").arg(parts.base).arg(counter).arg(parts.suffix);
}

QString chooseFreeName(const QString &name, const std::function<bool(const QString &)> &isTaken)
{
    QString candidate = name;
    for (int counter = 1; isTaken(candidate); ++counter)
        candidate = numberedName(name, counter);
    return candidate;
}

QString temporaryPath(const QString &target, quint32 unique)
{
    const qsizetype name = target.lastIndexOf(QLatin1Char('/')) + 1;
    QString path = target.left(name);
    path.append(kTempPrefix).append(QStringView(target).mid(name)).append(QLatin1Char('.'));
    path.append(QString::number(unique, 16).rightJustified(kTempUniqueDigits, u'0')).append(kTempSuffix);
    return path;
}

QString finalNameOf(const QString &fileName)
{
    const qsizetype dot = fileName.size() - kTempSuffix.size() - kTempUniqueDigits - 1;
    if (dot <= kTempPrefix.size() || !fileName.startsWith(kTempPrefix) || !fileName.endsWith(kTempSuffix) ||
        fileName.at(dot) != QLatin1Char('.'))
        return QString();
    for (qsizetype i = dot + 1; i <= dot + kTempUniqueDigits; ++i) {
        const char16_t c = fileName.at(i).unicode();
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return QString();
    }
    return fileName.mid(kTempPrefix.size(), dot - kTempPrefix.size());
}

bool syncToStorage(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef _WIN32
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
#else
    int r;
    do {
        r = ::fsync(file.handle());
    } while (r != 0 && errno == EINTR);
    return r == 0;
#endif
}

int renameNoReplace(const char *from, const char *to)
{
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#else
    (void)from;
    (void)to;
    errno = EINVAL;
    return -1;
#endif
}

int hardLink(const char *from, const char *to)
{
#ifdef _WIN32
    (void)from;
    (void)to;
    errno = ENOSYS;
    return -1;
#else
    return ::link(from, to);
#endif
}

bool nameTaken(const QString &path)
{
#ifdef _WIN32
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
#else
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
#endif
}

MoveResult moveNoReplace(const QString &from, const QString &to, const FileSystemOps &fs)
{
#ifdef _WIN32
    (void)fs;
    // Without MOVEFILE_REPLACE_EXISTING the move fails when to exists.
    if (MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()), reinterpret_cast<LPCWSTR>(to.utf16()), 0))
        return MoveResult::Moved;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveResult::TargetExists
                                                                       : MoveResult::Failed;
#else
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (fs.renameNoReplace(source.constData(), target.constData()) == 0)
        return MoveResult::Moved;
    if (errno == EEXIST)
        return MoveResult::TargetExists;
    if (!unsupportedHere(errno))
        return MoveResult::Failed;
    // A hard link cannot replace either.
    if (fs.hardLink(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return MoveResult::Moved;
    }
    if (errno == EEXIST)
        return MoveResult::TargetExists;
    if (!unsupportedHere(errno))
        return MoveResult::Failed;
    // Neither: claim the name with an empty file that only this call can have
    // made, so the plain rename that every file system knows replaces nothing
    // but that.
    const int placeholder = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (placeholder < 0)
        return errno == EEXIST ? MoveResult::TargetExists : MoveResult::Failed;
    ::close(placeholder);
    if (::rename(source.constData(), target.constData()) == 0)
        return MoveResult::Moved;
    ::unlink(target.constData());
    return MoveResult::Failed;
#endif
}

QString placeTemporary(const QString &folder, const QString &name, QFile &file)
{
    const QString target = freePathIn(folder, name);
    // A random element in the name, and created only if it did not exist.
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        file.setFileName(temporaryPath(target, QRandomGenerator::global()->generate()));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return target;
        if (!nameTaken(file.fileName()))
            return QString(); // not a name clash: the folder is unusable
    }
    return QString();
}

QString finalize(QFile &file, QString target, const QString &name, const FileSystemOps &fs)
{
    // The peer may delete its copy once told "received": the bytes must be
    // on stable storage before the file gets its name.
    const bool synced = fs.sync(file);
    file.close();
    const QString folder = target.left(target.lastIndexOf(QLatin1Char('/')) + 1);
    for (int attempt = 1; synced; ++attempt) {
        const MoveResult moved = moveNoReplace(file.fileName(), target, fs);
        if (moved == MoveResult::Moved)
            return target;
        // Another upload, or the user, took the name meanwhile: never replace
        // that file and never drop this one, take the next free name.
        if (moved == MoveResult::Failed || attempt >= kMaxFinalizeAttempts)
            break;
        target = freePathIn(folder, name);
    }
    file.remove();
    return QString();
}

} // namespace filestore
