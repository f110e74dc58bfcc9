#pragma once

#include <QObject>
#include <QString>

// Looks for a newer installer on the publisher's HTTPS server, downloads it
// and keeps it only when its SHA-256 digest matches the manifest.
class UpdateService : public QObject
{
    Q_OBJECT

public:
    explicit UpdateService(QObject *parent = nullptr);

    QString currentVersion() const;

    // Whether candidate is a newer version text than reference: dot-separated
    // numbers compared left to right, anything unreadable counting as 0.
    static bool isNewerVersion(const QString &candidate, const QString &reference);

signals:
    void updateCheckStarted();
    void updateAvailable(const QString &version);
    void noupdateAvailable();
    void updateError(const QString &message);
    void downloadProgress(int percent);
    void downloadFinished(const QString &installerPath);
};
