#include "update_service.h"

#include <QCoreApplication>
#include <QStringList>

UpdateService::UpdateService(QObject *parent) : QObject(parent) {}

QString UpdateService::currentVersion() const
{
    return QCoreApplication::applicationVersion();
}

bool UpdateService::isNewerVersion(const QString &candidate, const QString &reference)
{
    const QStringList a = candidate.split(QLatin1Char('.'));
    const QStringList b = reference.split(QLatin1Char('.'));
    const auto part = [](const QStringList &parts, qsizetype i) {
        if (i >= parts.size())
            return 0;
        bool ok = false;
        const int value = parts.at(i).toInt(&ok, 10);
        return ok ? value : 0;
    };
    for (qsizetype i = 0; i < qMax(a.size(), b.size()); ++i) {
        const int x = part(a, i);
        const int y = part(b, i);
        if (x != y)
            return x > y;
    }
    return false;
}
