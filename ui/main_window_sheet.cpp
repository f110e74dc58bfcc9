// The window's side of the settings sheet: opening and closing it, pairing
// and unpairing, the receive folder, importing a background and start at
// login; and text messages to a phone from its row's menu.
#include "main_window.h"

#include "autostart.h"
#include "background_view.h"
#include "device_controller.h"
#include "device_menu.h"
#include "history_controller.h"
#include "settings_dialog.h"
#include "sheet_slide.h"
#include "transfer_feedback.h"
#include "transfer_status.h"

#include "ui_main_window.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>

// ---- pairing ---------------------------------------------------------------

void MainWindow::showPairingOutcome(const QString &line)
{
    feedback->status->showOutcome(line);
    // The user waits in the sheet, whose log is usually scrolled out of view.
    if (settingsDialog)
        settingsDialog->revealHistory();
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
    refreshSheetDevices();
    dialog->setHistory(log.lines());
    connect(&log, &ActivityLog::appended, dialog, &SettingsDialog::appendHistory);
    dialog->showAutostart(autostart::isEnabled(autostart::entryPath()));

    connect(dialog, &QObject::destroyed, this, [this, dialog] {
        if (settingsDialog == dialog)
            settingsDialog = nullptr;
    });
    deviceFlow->attach(dialog, network);
    connect(dialog, &SettingsDialog::receiveFolderChanged, this, &MainWindow::onReceiveFolderChanged);
    connect(dialog, &SettingsDialog::backgroundChanged, this,
            [this](const QString &path) { background->choose(path, outlets.now()); });
    // The entry file is the truth: the box shows it again after a failure.
    connect(dialog, &SettingsDialog::autostartChanged, this, [this, dialog](bool enabled) {
        log.append(autostart::apply(enabled));
        dialog->showAutostart(autostart::isEnabled(autostart::entryPath()));
    });
    updates.attach(dialog);
    slideUpInto(dialog, this);
}

void MainWindow::onReceiveFolderChanged(const QString &folder)
{
    receiveFolder = folder;
    network.setReceiveFolder(receiveFolder);
    saveSettings();
    log.append(QStringLiteral("Empfangsordner geaendert: ") + folder);
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
    const devicemenu::Choice choice =
        devicemenu::exec(this, ui->deviceList->viewport()->mapToGlobal(pos),
                         deviceFlow->devices().at(index).paired, deviceFlow->removal(index));
    // The list may have been rebuilt while the menu was open.
    const int now = selectedDeviceIndex();
    if (choice == devicemenu::Choice::None || now < 0)
        return;
    const QString text = choice == devicemenu::Choice::TypedText
                             ? outlets.askText(deviceFlow->devices().at(now).name)
                             : QGuiApplication::clipboard()->text();
    if (!text.trimmed().isEmpty())
        sendText(now, text);
    else if (choice == devicemenu::Choice::Clipboard) // empty typed text: the user cancelled
        feedback->status->showOutcome(QStringLiteral("Die Zwischenablage enthält keinen Text."));
}

void MainWindow::sendText(int deviceIndex, const QString &text)
{
    const std::optional<RemoteDevice> device = deviceFlow->deviceForSend(deviceIndex);
    if (!device)
        return;
    log.append(QStringLiteral("Sende Nachricht an ") + device->name + QLatin1Char('.'));
    outlets.sendMessage(*device, text);
}
