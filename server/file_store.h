// Naming and placing received files. The naming rules are pure functions
// over strings so they can be tested and fuzzed without a disk; the few file
// system calls that must be atomic or durable sit behind small portable
// functions at the end.
#pragma once

#include <QString>

#include <functional>

class QFile;

namespace filestore {

// A proposal that leaves nothing usable is stored under this name.
inline constexpr const char *kFallbackName = "received_file";
// Names longer than this (UTF-16 code units) are shortened ...
inline constexpr qsizetype kMaxNameUnits = 180;
// ... to a base of at most this many units and a suffix of at most this many.
inline constexpr qsizetype kMaxBaseUnits = 160;
inline constexpr qsizetype kMaxSuffixUnits = 16;
// Most file systems outside Windows cap a name at 255 bytes, not characters.
// A name is kept this far below that so that a counter (" (12)") and the
// temporary suffix still fit.
inline constexpr qsizetype kMaxNameUtf8Bytes = 200;
// How often the final move looks for the next free name when other uploads
// keep taking the one it chose.
inline constexpr int kMaxFinalizeAttempts = 1000;
// A file is received under a temporary name (temporaryPath) that holds this
// many lower-case hex digits.
inline constexpr int kTempUniqueDigits = 8;

struct NameParts
{
    QString base;   // text before the last "."
    QString suffix; // text after it; empty when there is no "."
};

// Splits at the last ".": "a.tar.gz" is {"a.tar", "gz"}, "notes" {"notes", ""}.
NameParts splitName(const QString &name);

// A name that is safe to create inside the receive folder: never empty, no
// path separators or characters that Windows refuses, no device name, no
// trailing dots or blanks, bounded in length.
QString sanitizeFileName(const QString &proposal);

// "base (n).suffix", or "base (n)" without a suffix.
QString numberedName(const QString &name, int counter);

// The first of name, "base (1).suffix", "base (2).suffix", ... for which
// isTaken is false.
QString chooseFreeName(const QString &name, const std::function<bool(const QString &)> &isTaken);

// The temporary path beside target that an upload writes to: a dot, a
// left-to-right mark (U+200E), target's file name, a dot, unique in
// kTempUniqueDigits hex digits, ".part".
//
// The dot hides a file that is still growing from file managers and file
// choosers. The mark makes the name one that no received file can have:
// sanitizeFileName replaces it wherever it occurs, so the leftover sweep can
// never take a received file for a temporary one. Users hardly ever type
// it, and in front of left-to-right text it changes nothing on screen.
QString temporaryPath(const QString &target, quint32 unique);
// The file name the upload writing to the temporary file fileName meant to
// give it; empty when fileName does not have exactly the temporary shape.
QString finalNameOf(const QString &fileName);

// ---- File system, portable wrappers ----

// Pushes the file's written data to stable storage.
bool syncToStorage(QFile &file);
// The system's rename that never replaces, and its hard link: 0, or -1 with
// errno set. Windows moves without replacing by itself and needs neither.
int renameNoReplace(const char *from, const char *to);
int hardLink(const char *from, const char *to);

// The file system calls whose answers differ between file systems (FAT knows
// neither a no-replace rename nor hard links) or that take their time (a
// slow USB stick). The program uses the system's; tests make them answer as
// such a file system does.
struct FileSystemOps
{
    bool (*sync)(QFile &file) = syncToStorage;
    int (*renameNoReplace)(const char *from, const char *to) = filestore::renameNoReplace;
    int (*hardLink)(const char *from, const char *to) = filestore::hardLink;
};

// Whether anything holds the path, a dangling symbolic link included.
bool nameTaken(const QString &path);

enum class MoveResult { Moved, TargetExists, Failed };
// Renames from to to, never replacing an existing file, also on file systems
// that know neither a no-replace rename nor hard links.
MoveResult moveNoReplace(const QString &from, const QString &to, const FileSystemOps &fs = {});

// Creates, exclusively, the temporary file in which a file proposed as name
// is received into folder: no other upload can share it. Returns the path
// the file is meant to get, the first free one for name; empty when the
// folder is unusable.
QString placeTemporary(const QString &folder, const QString &name, QFile &file);
// Gives the fully written file that placeTemporary opened for target its
// name: pushes its bytes to stable storage, then moves it to target without
// replacing anything, or, when another upload or the user took target
// meanwhile, to the next free name for name. Returns the path the file got;
// empty when it could not be stored, and then the file is gone.
QString finalize(QFile &file, QString target, const QString &name, const FileSystemOps &fs = {});

} // namespace filestore
