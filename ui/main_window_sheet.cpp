// The window's side of the settings sheet: opening and closing it, pairing
// and unpairing, the receive folder, importing a background, start at login
// and the update flow; and text messages to a phone from its row's menu.
#include "main_window.h"

#include "autostart.h"
#include "background_files.h"
#include "background_view.h"
#include "installer_handoff.h"
#include "settings_dialog.h"
#include "transfer_status.h"

#include "ui_main_window.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QPropertyAnimation>
#include <QUrl>

namespace {
// The sheet slides up from the window's bottom edge.
constexpr int kSheetSlideMs = 340;
const char *const kMenuStyle =
    "QMenu { background-color: #1e232c; color: white; border: 1px solid #2f3746; padding: 4px 0; }"
    "QMenu::item { padding: 5px 18px; } QMenu::item:selected { background-color: #3865b4; }"
    "QMenu::item:disabled { color: #5b6577; }";
} // namespace

// ---- pairing ---------------------------------------------------------------

void MainWindow::onPairRequested(const RemoteDevice &device, const QString &code)
{
    const QString line = QStringLiteral("Pairing gestartet mit: ") + device.name;
    appendLog(line);
    qDebug().noquote() << line;
    outlets.pairDevice(device, code);
}

void MainWindow::onPairingSucceeded(const RemoteDevice &device)
{
    const QString line = QStringLiteral("Pairing erfolgreich: ") + device.name;
    appendLog(line);
    qDebug().noquote() << line;
    applyPairedDevice(device);
    showPairingOutcome(line);
}

void MainWindow::onPairingFailed(const QString &reason)
{
    const QString line = QStringLiteral("Pairing fehlgeschlagen: ") + reason;
    appendLog(line);
    qDebug().noquote() << line;
    showPairingOutcome(line);
}

void MainWindow::showPairingOutcome(const QString &line)
{
    status->showOutcome(line);
    // The user waits in the sheet, whose log is usually scrolled out of view.
    if (settingsDialog)
        settingsDialog->revealHistory();
}

void MainWindow::onUnpairRequested(const QString &deviceId)
{
    unpairDevice(deviceId);
    appendLog(QStringLiteral("Geraet entkoppelt."));
}

// ---- settings sheet --------------------------------------------------------

void MainWindow::toggleSettings()
{
    if (settingsDialog) {
        // Open means not closed: a sheet in a hidden window is still open
        // and shows again with the window.
        if (settingsDialog->isVisibleTo(this)) {
            settingsDialog->close();
            return;
        }
        settingsDialog->deleteLater();
        settingsDialog = nullptr;
    }

    auto *dialog = new SettingsDialog(this);
    settingsDialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);

    dialog->showReceiveFolder(receiveFolder);
    dialog->showBackgroundPath(backgroundPath);
    dialog->setPairingCandidates(devices.list());
    dialog->setPairedDevices(devices.list());
    dialog->setHistory(logLines);
    dialog->setStatusText(QStringLiteral("Version ") + updater.currentVersion());
    dialog->setInstallEnabled(false);
    dialog->showAutostart(autostart::isEnabled(autostart::entryPath()));

    connect(dialog, &QObject::destroyed, this, [this, dialog] {
        if (settingsDialog == dialog)
            settingsDialog = nullptr;
    });
    connect(dialog, &SettingsDialog::pairRequested, this, &MainWindow::onPairRequested);
    connect(dialog, &SettingsDialog::unpairRequested, this, &MainWindow::onUnpairRequested);
    connect(dialog, &SettingsDialog::receiveFolderChanged, this, &MainWindow::onReceiveFolderChanged);
    connect(dialog, &SettingsDialog::backgroundChanged, this, &MainWindow::onBackgroundChanged);
    connect(dialog, &SettingsDialog::autostartChanged, this, &MainWindow::onAutostartChanged);
    connectUpdateFlow(dialog);

    // Slide up from the window's bottom row to cover its lower part; the
    // sheet is a child, so its coordinates are the window's own.
    dialog->adjustSize();
    const int sheetHeight = dialog->height();
    const int sheetWidth = width();
    dialog->setFixedWidth(sheetWidth);
    const int bottomRow = height() - 1;
    dialog->setGeometry(0, bottomRow, sheetWidth, sheetHeight);
    dialog->show();
    dialog->raise();
    auto *slide = new QPropertyAnimation(dialog, "geometry", dialog);
    slide->setDuration(kSheetSlideMs);
    slide->setEasingCurve(QEasingCurve::OutCubic);
    slide->setStartValue(QRect(0, bottomRow, sheetWidth, sheetHeight));
    slide->setEndValue(QRect(0, bottomRow - sheetHeight, sheetWidth, sheetHeight));
    slide->start(QAbstractAnimation::DeleteWhenStopped);
}

void MainWindow::onAutostartChanged(bool enabled)
{
    const QString path = autostart::entryPath();
    QString error;
    if (!autostart::setEnabled(path, enabled, QCoreApplication::applicationFilePath(), &error)) {
        appendLog(error);
        if (settingsDialog)
            settingsDialog->showAutostart(autostart::isEnabled(path));
        return;
    }
    appendLog(enabled ? QStringLiteral("Autostart aktiviert.") : QStringLiteral("Autostart deaktiviert."));
}

// The update controls of a sheet follow the update service while that sheet
// lives; the sheet is the context of every connection, so they end with it.
void MainWindow::connectUpdateFlow(SettingsDialog *dialog)
{
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
        handOverInstaller(installerPath);
    });
}

// The answer may come long after the sheet closed (the installer's dialog
// stays open as long as the user likes), so the window takes it.
void MainWindow::handOverInstaller(const QString &installerPath)
{
    auto *handoff = new InstallerHandoff(installerSetup, this);
    connect(handoff, &InstallerHandoff::finished, this,
            [this, handoff, installerPath](bool accepted, const QString &reason) {
                handoff->deleteLater();
                if (accepted) {
                    QCoreApplication::quit();
                    return;
                }
                // Quitting now would leave the user with neither the old
                // program nor the new one. The folder with the verified
                // file lets them install it by hand.
                const QString text = QStringLiteral("Update-Fehler: ") + reason +
                                     QStringLiteral(" Der Ordner mit dem Paket wird geöffnet.");
                if (settingsDialog)
                    settingsDialog->setStatusText(text);
                appendLog(text);
                outlets.openUrl(QUrl::fromLocalFile(QFileInfo(installerPath).absolutePath()));
            });
    handoff->handOver(installerPath);
}

void MainWindow::onReceiveFolderChanged(const QString &folder)
{
    receiveFolder = folder;
    network.setReceiveFolder(receiveFolder);
    saveSettings();
    appendLog(QStringLiteral("Empfangsordner geaendert: ") + folder);
}

// ---- background import -----------------------------------------------------

void MainWindow::onBackgroundChanged(const QString &path)
{
    background->import(path, background::appDataDir(), outlets.now());
}

void MainWindow::onBackgroundImported(const QString &target, const QString &error, const QString &notice)
{
    if (target.isEmpty()) {
        appendLog(error);
        // The sheet showed the chosen path; the working picture stays.
        if (settingsDialog)
            settingsDialog->showBackgroundPath(backgroundPath);
        return;
    }
    backgroundPath = target;
    if (!notice.isEmpty())
        appendLog(notice);
    applyBackground();
    saveSettings();
    if (settingsDialog)
        settingsDialog->showBackgroundPath(backgroundPath);
    appendLog(QStringLiteral("Hintergrundbild geaendert: ") + backgroundPath);
}

// ---- text to a phone -------------------------------------------------------

void MainWindow::showDeviceMenu(const QPoint &pos)
{
    // From the keyboard (menu key, Shift+F10) the menu is for the current row.
    int row = ui->deviceList->indexAt(pos).row();
    if (row < 0)
        row = ui->deviceList->currentRow();
    if (row < 0)
        return;
    ui->deviceList->setCurrentRow(row);
    const int index = selectedDeviceIndex();
    if (index < 0)
        return;
    QMenu menu(this);
    // The window's dark look; a menu is a window of its own and gets none.
    menu.setStyleSheet(QString::fromLatin1(kMenuStyle));
    QAction *typed = menu.addAction(QStringLiteral("Text senden\u2026"));
    QAction *clipboard = menu.addAction(QStringLiteral("Zwischenablage senden"));
    // Only a paired phone accepts messages from this computer.
    typed->setEnabled(devices.at(index).paired);
    clipboard->setEnabled(devices.at(index).paired);
    const QAction *chosen = menu.exec(ui->deviceList->viewport()->mapToGlobal(pos));
    // The list may have been rebuilt while the menu was open.
    const int now = selectedDeviceIndex();
    if (!chosen || now < 0)
        return;
    if (chosen == typed) {
        const QString text = outlets.askText(devices.at(now).name);
        if (!text.trimmed().isEmpty()) // empty: the user cancelled
            sendText(now, text);
        return;
    }
    const QString text = QGuiApplication::clipboard()->text();
    if (text.trimmed().isEmpty())
        return status->showOutcome(QStringLiteral("Die Zwischenablage enthält keinen Text."));
    sendText(now, text);
}

void MainWindow::sendText(int deviceIndex, const QString &text)
{
    const std::optional<RemoteDevice> device = deviceForSend(deviceIndex);
    if (!device)
        return;
    appendLog(QStringLiteral("Sende Nachricht an ") + device->name + QLatin1Char('.'));
    outlets.sendMessage(*device, text);
}
