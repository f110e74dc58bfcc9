// The update flow between the settings sheet and the update service: the
// sheet's buttons start a check or a download, the service's answers show in
// the sheet, and a verified package goes to the system's installer.
#pragma once

#include "installer_handoff.h"
#include "update_service.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

class SettingsDialog;

class UpdateController : public QObject
{
    Q_OBJECT

public:
    explicit UpdateController(QObject *parent = nullptr);

    UpdateService &service() { return updater; }
    // Where the installer goes; the program keeps the defaults, tests
    // replace them.
    InstallerHandoff::Setup installerSetup;
    // Opens the folder holding a package nobody took.
    std::function<bool(const QUrl &)> openUrl;

    // The sheet's update controls follow the service while that sheet lives.
    void attach(SettingsDialog *dialog);

signals:
    void logLine(const QString &line);
    // An installer took the package: the program makes way for it.
    void quitRequested();

private:
    void handOver(const QString &installerPath);

    UpdateService updater;
    // The sheet open now; the installer's answer may come after it closed.
    QPointer<SettingsDialog> sheet;
};
