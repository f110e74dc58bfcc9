#include "update_controller.h"

#include "settings_dialog.h"

#include <QFileInfo>

UpdateController::UpdateController(QObject *parent) : QObject(parent) {}

// The sheet is the context of every connection, so they end with it.
void UpdateController::attach(SettingsDialog *dialog)
{
    sheet = dialog;
    dialog->setStatusText(QStringLiteral("Version ") + updater.currentVersion());
    dialog->setInstallEnabled(false);
    connect(dialog, &SettingsDialog::checkUpdatesRequested, dialog, [this, dialog] {
        dialog->setInstallEnabled(false);
        dialog->showProgress(0);
        updater.checkForUpdates();
    });
    connect(dialog, &SettingsDialog::installUpdateRequested, dialog, [this, dialog] {
        dialog->setInstallEnabled(false);
        dialog->showProgress(0);
        updater.downloadUpdate();
    });
    connect(&updater, &UpdateService::updateCheckStarted, dialog,
            [dialog] { dialog->setStatusText(QStringLiteral("Suche nach Updates...")); });
    connect(&updater, &UpdateService::updateAvailable, dialog, [dialog](const QString &version) {
        dialog->setStatusText(QStringLiteral("Update verfuegbar: ") + version);
        dialog->setInstallEnabled(true);
    });
    connect(&updater, &UpdateService::noupdateAvailable, dialog, [dialog] {
        dialog->setStatusText(QStringLiteral("Du hast die neueste Version."));
        dialog->setInstallEnabled(false);
    });
    connect(&updater, &UpdateService::updateError, dialog, [dialog](const QString &message) {
        dialog->setStatusText(QStringLiteral("Update-Fehler: ") + message);
        dialog->setInstallEnabled(false);
    });
    connect(&updater, &UpdateService::downloadProgress, dialog, [dialog](int percent) {
        dialog->setStatusText(QStringLiteral("Update wird heruntergeladen..."));
        dialog->showProgress(percent);
    });
    connect(&updater, &UpdateService::downloadFinished, dialog, [this, dialog](const QString &installerPath) {
        dialog->setStatusText(QStringLiteral("Installer wird gestartet..."));
        handOver(installerPath);
    });
}

void UpdateController::handOver(const QString &installerPath)
{
    auto *handoff = new InstallerHandoff(installerSetup, this);
    connect(handoff, &InstallerHandoff::finished, this,
            [this, handoff, installerPath](bool accepted, const QString &reason) {
                handoff->deleteLater();
                if (accepted) {
                    emit quitRequested();
                    return;
                }
                // Quitting now would leave the user with neither the old
                // program nor the new one. The folder with the verified
                // file lets them install it by hand.
                const QString text = QStringLiteral("Update-Fehler: ") + reason +
                                     QStringLiteral(" Der Ordner mit dem Paket wird geöffnet.");
                if (sheet)
                    sheet->setStatusText(text);
                emit logLine(text);
                if (openUrl)
                    openUrl(QUrl::fromLocalFile(QFileInfo(installerPath).absolutePath()));
            });
    handoff->handOver(installerPath);
}
