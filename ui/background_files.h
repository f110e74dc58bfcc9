// Importing a user's background picture into the application data folder.
// Kept apart from the window so that the file rules can be tested on their
// own.
#pragma once

#include <QString>

namespace background {

inline constexpr const char *kDefaultResource = ":/back.gif";
inline constexpr const char *kImportedPrefix = "background_custom_";

// The per-user application data folder (beside the executable as "data"
// when the platform names none), created when missing.
QString appDataDir();

// The platform's file name of Qt's WebP image-format plugin.
QString webpPluginFileName();

// Makes Qt's WebP reader available if it is not already (best effort).
void ensureWebpPlugin();

// Whether the image reader can decode WebP at all.
bool webpSupported();

// Deletes earlier imported backgrounds in folder, except keepPath.
void removeOldBackgrounds(const QString &folder, const QString &keepPath);

// Checks that source decodes, then copies it as it is into folder under a
// fresh name stamped with nowMs and removes earlier imports. On success
// target holds the new file's path and notice may hold a line worth
// logging; on failure error holds the line to log and nothing in folder has
// changed. Safe on any thread.
bool importBackgroundFile(const QString &source, const QString &folder, qint64 nowMs, QString *target,
                          QString *error, QString *notice);

} // namespace background
