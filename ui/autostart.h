// Starting the program at login through the desktop's autostart folder.
#pragma once

#include <QString>

namespace autostart {

// The entry's file: the installed desktop entry's id in the user's
// autostart folder ($XDG_CONFIG_HOME/autostart).
QString entryPath();

// Whether the desktop will start the program at login: the file is the one
// source of truth, so that a user who removes or disables it by hand (or in
// the desktop's own settings, which write Hidden=true) sees that here.
bool isEnabled(const QString &path);

// Writes an entry that starts the given program, or removes the entry.
// Returns false with a German reason when the file could not be changed.
bool setEnabled(const QString &path, bool enabled, const QString &program, QString *error);

// Turns start at login on or off for this program's own entry, as the user
// asked in the sheet; returns the line that tells the outcome.
QString apply(bool enabled);

} // namespace autostart
