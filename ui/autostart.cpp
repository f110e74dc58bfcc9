#include "autostart.h"

#include <QCoreApplication>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
const char *const kDesktopId = "example.zeltraworks.KaveltorCompanion";

// Desktop entries quote arguments with double quotes and escape these four
// inside them; a path with a space must survive as one argument.
QString quotedExec(const QString &program)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    return out + QLatin1Char('"');
}
} // namespace

namespace autostart {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + QLatin1String(kDesktopId) + QStringLiteral(".desktop");
}

bool isEnabled(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inEntry || eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if ((key == QLatin1String("Hidden") && value == QLatin1String("true")) ||
            (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false")))
            return false;
    }
    return true;
}

bool setEnabled(const QString &path, bool enabled, const QString &program, QString *error)
{
    if (!enabled) {
        if (!QFile::exists(path) || QFile::remove(path))
            return true;
        *error = QStringLiteral("Autostart-Eintrag konnte nicht entfernt werden: ") + path;
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const QByteArray entry = QByteArrayLiteral("[Desktop Entry]\n"
                                               "Type=Application\n"
                                               "Name=KAVELTOR Companion\n"
                                               "Exec=") +
                             quotedExec(program).toUtf8() + QByteArrayLiteral("\nIcon=") + kDesktopId +
                             QByteArrayLiteral("\nTerminal=false\n"
                                               "X-GNOME-Autostart-enabled=true\n");
    if (file.open(QIODevice::WriteOnly) && file.write(entry) == entry.size() && file.commit())
        return true;
    *error = QStringLiteral("Autostart-Eintrag konnte nicht geschrieben werden: ") + path;
    return false;
}

QString apply(bool enabled)
{
    QString error;
    if (!setEnabled(entryPath(), enabled, QCoreApplication::applicationFilePath(), &error))
        return error;
    return enabled ? QStringLiteral("Autostart aktiviert.") : QStringLiteral("Autostart deaktiviert.");
}

} // namespace autostart
