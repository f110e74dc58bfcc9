#pragma once

#include <QObject>
#include <QString>

class QProcess;

// Hands a verified installer to the system and says whether something took
// it. A package goes to the session's package installer (PackageKit's
// session interface, which GNOME Software and others offer) and otherwise to
// the desktop's opener; a Windows installer is started. Only an installer
// that was taken lets the program quit for it.
class InstallerHandoff : public QObject
{
    Q_OBJECT

public:
    // Where the installer goes. The program keeps the defaults.
    struct Setup
    {
        // Empty: the session bus.
        QString busAddress;
        QString service = QStringLiteral("org.freedesktop.PackageKit");
        // Looked up on PATH unless it is a path itself.
        QString opener = QStringLiteral("xdg-open");
    };

    // The installer's dialog stays open while the user reads, decides and
    // types a password; only a package installer silent for this long counts
    // as gone.
    static constexpr int kInstallerReplyTimeoutMs = 30 * 60 * 1000;

    explicit InstallerHandoff(Setup setup, QObject *parent = nullptr);
    ~InstallerHandoff() override;

    // Answers once with finished(), never before this returns.
    void handOver(const QString &installerPath);

signals:
    // accepted: something took the installer. Otherwise reason says in
    // German, as one or more sentences, why nothing did.
    void finished(bool accepted, const QString &reason);

private:
    void askPackageInstaller();
    void runOpener();
    void answer(bool accepted, const QString &reason);

    Setup setup;
    QString path;
    QString busName; // of a connection to setup.busAddress, while it is open
    QProcess *opener = nullptr;
    bool answered = false;
};
