// Showing a file in the desktop's file manager, selected among its
// neighbours, rather than opening its folder and leaving the user to find it.
#pragma once

#include <QString>

#include <functional>

class QObject;
class QUrl;

namespace filemanager {

// The desktop's opener for files and folders: true when it took the URL.
using Opener = std::function<bool(const QUrl &)>;

// The freedesktop file manager interface on the session bus.
inline constexpr const char *kService = "org.freedesktop.FileManager1";
inline constexpr const char *kPath = "/org/freedesktop/FileManager1";

// Asks the file manager to show path selected; where none offers that (the
// call fails or nobody owns the name), opens its folder through opener.
// Returns at once; the answer is awaited while context lives.
void showInFolder(const QString &path, const Opener &opener, QObject *context);

} // namespace filemanager
