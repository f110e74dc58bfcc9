#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

// Looks for a newer installer on the publisher's HTTPS server, downloads it
// and keeps it only when its SHA-256 digest matches the manifest. Runs on the
// GUI thread's event loop; every outcome is a signal.
class UpdateService : public QObject
{
    Q_OBJECT

public:
    // The publisher's manifest. Tests hand in their own local server instead.
    static constexpr const char *kManifestUrl =
        "https://updates.zeltraworks.example/downloads/kaveltor-companion/updates/latest.json";
    // A request that makes no progress for this long ends with an error.
    static constexpr int kTransferTimeoutMs = 30000;

    explicit UpdateService(QObject *parent = nullptr);
    explicit UpdateService(const QUrl &manifestUrl, QObject *parent = nullptr);

    QString currentVersion() const;
    void checkForUpdates();
    void downloadUpdate();

    // Whether candidate is a newer version text than reference: dot-separated
    // numbers compared left to right, anything unreadable counting as 0.
    static bool isNewerVersion(const QString &candidate, const QString &reference);

    // What a manifest body says. The three fields are filled whenever the
    // body is a JSON object, valid or not (a later download uses them);
    // error is empty for a manifest that may be acted on.
    struct Manifest
    {
        bool isObject = false;
        QString version;
        QString url;
        QString sha256; // trimmed, lower case
        QString error;
    };
    static Manifest parseManifest(const QByteArray &body);

    // Where the installer of a version is saved.
    static QString installerPath(const QString &version);

    // For tests: a shorter stall time-out.
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

signals:
    void updateCheckStarted();
    void updateAvailable(const QString &version);
    void noupdateAvailable();
    void updateError(const QString &message);
    void downloadProgress(int percent);
    void downloadFinished(const QString &installerPath);

private:
    QNetworkRequest makeRequest(const QUrl &url) const;
    void handleManifest(QNetworkReply *reply);
    void handleInstaller(QNetworkReply *reply);

    QNetworkAccessManager network;
    QString m_currentVersion;
    QString latestVersion;
    QString downloadUrl;
    QString sha256;
    QUrl m_manifestUrl;
    int m_transferTimeoutMs = kTransferTimeoutMs;
};
