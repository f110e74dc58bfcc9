// Helpers shared by the widget tests: finding a form's child by object name
// and reading log lines without their time stamp.
#pragma once

#include <QDebug>
#include <QObject>
#include <QString>
#include <QStringList>

namespace testsupport {

// The named child, or null with a warning that says which name was missing.
template <typename T> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qWarning() << "no child" << name;
    return found;
}

// Log lines with the "[hh:mm:ss] " stamp cut off, so tests compare texts.
inline QStringList logTexts(const QStringList &lines)
{
    QStringList out;
    for (const QString &line : lines)
        out.append(line.mid(int(sizeof "[hh:mm:ss] ") - 1));
    return out;
}

} // namespace testsupport
