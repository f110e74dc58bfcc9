#include "update_service.h"

#include "settings_store.h"

#include "protocol.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

namespace {
constexpr int kSha256HexLength = 64;

#if defined(Q_OS_WIN)
const char *const kInstallerSuffix = ".exe";
#elif defined(Q_OS_MACOS)
const char *const kInstallerSuffix = ".pkg";
#else
// What the project ships for Linux; the desktop's package installer takes it.
const char *const kInstallerSuffix = ".deb";
#endif

// The version becomes part of a file name; whatever the manifest says, the
// installer must land inside the update folder.
QString fileNameSafe(const QString &version)
{
    QString safe;
    for (const QChar c : version)
        safe += (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('.') ||
                        c == QLatin1Char('-') || c == QLatin1Char('_')
                    ? c
                    : QLatin1Char('_');
    return safe;
}

bool isHttpsUrl(const QUrl &url)
{
    return url.isValid() && url.scheme().toLower() == QLatin1String("https");
}
} // namespace

UpdateService::UpdateService(QObject *parent) : UpdateService(QUrl(QString::fromLatin1(kManifestUrl)), parent)
{
}

UpdateService::UpdateService(const QUrl &manifestUrl, QObject *parent)
    : QObject(parent), m_currentVersion(QString::fromLatin1(protocol::kAppVersion)),
      m_manifestUrl(manifestUrl)
{
    const QString appVersion = QCoreApplication::applicationVersion();
    if (!appVersion.isEmpty())
        m_currentVersion = appVersion;
}

QString UpdateService::currentVersion() const
{
    return m_currentVersion;
}

QNetworkRequest UpdateService::makeRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    // Never follow a redirect from https to http: the manifest and the
    // installer are only trusted over verified TLS.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(m_transferTimeoutMs);
    return request;
}

void UpdateService::checkForUpdates()
{
    emit updateCheckStarted();
    if (!isHttpsUrl(m_manifestUrl)) {
        emit updateError(QStringLiteral("Update-URL ist ungueltig oder nicht HTTPS."));
        return;
    }
    QNetworkReply *reply = network.get(makeRequest(m_manifestUrl));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        handleManifest(reply);
        reply->deleteLater();
    });
}

void UpdateService::handleManifest(QNetworkReply *reply)
{
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        emit updateError(reply->errorString());
        return;
    }
    const Manifest manifest = parseManifest(body);
    if (manifest.isObject) {
        latestVersion = manifest.version;
        downloadUrl = manifest.url;
        sha256 = manifest.sha256;
    }
    if (!manifest.error.isEmpty()) {
        emit updateError(manifest.error);
        return;
    }
    if (isNewerVersion(latestVersion, m_currentVersion))
        emit updateAvailable(latestVersion);
    else
        emit noupdateAvailable();
}

UpdateService::Manifest UpdateService::parseManifest(const QByteArray &body)
{
    Manifest m;
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject()) {
        m.error = QStringLiteral("Ungueltige version.json");
        return m;
    }
    m.isObject = true;
    const QJsonObject object = doc.object();
    m.version = object.value(QLatin1String("version")).toString();
    m.url = object.value(QLatin1String("url")).toString();
    m.sha256 = object.value(QLatin1String("sha256")).toString().trimmed().toLower();
    if (m.version.isEmpty() || m.url.isEmpty() || m.sha256.isEmpty())
        m.error = QStringLiteral("Update-Information unvollstaendig");
    else if (!isHttpsUrl(QUrl(m.url, QUrl::TolerantMode)))
        m.error = QStringLiteral("Installer-URL ist ungueltig oder nicht HTTPS.");
    else if (m.sha256.size() != kSha256HexLength)
        m.error = QStringLiteral("SHA-256 in Update-Information ist ungueltig.");
    return m;
}

void UpdateService::downloadUpdate()
{
    if (downloadUrl.isEmpty()) {
        emit updateError(QStringLiteral("Keine Download-URL vorhanden"));
        return;
    }
    if (sha256.isEmpty()) {
        emit updateError(QStringLiteral("Kein SHA-256 fuer den Installer vorhanden"));
        return;
    }
    QNetworkReply *reply = network.get(makeRequest(QUrl(downloadUrl, QUrl::TolerantMode)));
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64 total) {
        // At its end the network layer reports a reply of unknown length as
        // "received of received"; that is no progress the user could follow.
        if (total > 0 && reply->header(QNetworkRequest::ContentLengthHeader).isValid())
            emit downloadProgress(int(received * 100 / total));
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        handleInstaller(reply);
        reply->deleteLater();
    });
}

QString UpdateService::installerPath(const QString &version)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/Updates/KAVELTORCompanionSetup-") + fileNameSafe(version) +
           QLatin1String(kInstallerSuffix);
}

void UpdateService::handleInstaller(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        emit updateError(reply->errorString());
        return;
    }
    const QString path = installerPath(latestVersion);
    makeOwnerOnlyFolders(QFileInfo(path).absolutePath());
    const QByteArray installer = reply->readAll();
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex());
    if (digest.compare(sha256, Qt::CaseInsensitive) != 0) {
        emit updateError(QStringLiteral("SHA-256-Pruefung fehlgeschlagen."));
        return;
    }
    // The installer appears under its name complete or not at all; an older
    // file of that name stays as it was when anything goes wrong. A package
    // is opened by an installer, never run, so it is not executable even
    // where an older file of that name was.
    constexpr QFileDevice::Permissions kExecutable =
        QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QSaveFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(installer) == installer.size() &&
                       file.setPermissions((file.permissions() & ~kExecutable) | QFileDevice::ReadOwner |
                                           QFileDevice::WriteOwner) &&
                       file.commit();
    if (!saved) {
        emit updateError(QStringLiteral("Installer konnte nicht gespeichert werden"));
        return;
    }
    emit downloadFinished(path);
}

bool UpdateService::isNewerVersion(const QString &candidate, const QString &reference)
{
    const QStringList a = candidate.split(QLatin1Char('.'));
    const QStringList b = reference.split(QLatin1Char('.'));
    // Missing, empty, non-numeric and out-of-range parts all count as 0.
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
