#include "main_window.h"

#include "background_files.h"
#include "background_view.h"
#include "device_registry.h"
#include "protocol.h"
#include "settings_dialog.h"
#include "settings_store.h"
#include "transfer_format.h"
#include "transfer_status.h"
#include "tray_placement.h"
#include "ui_main_window.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QResizeEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWindow>

namespace {
constexpr int kWindowSize = 420;
constexpr int kPruneIntervalMs = 3000;
constexpr int kIdentityExpiryMs = 8000;
constexpr int kTrayMargin = 17;
constexpr int kBalloonMs = 3000;
const char *const kLogoResource = ":/logosprayed.png";
const char *const kIconResource = ":/KAVELTORCompanion.ico";
const char *const kAppTitle = protocol::kAppName;

QString addressKey(const RemoteDevice &d)
{
    return d.ip + QLatin1Char(':') + QString::number(d.port);
}

// Scaled for the screen's device pixels, so that the logo stays sharp on
// HiDPI screens instead of being blown up from one pixel per point.
QPixmap scaledLogo(const QPixmap &logo, const QSize &size, qreal dpr)
{
    if (logo.isNull())
        return QPixmap();
    QPixmap out = logo.scaled(size * dpr, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    out.setDevicePixelRatio(dpr);
    return out;
}
} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    outlets.now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    outlets.resolveIdentity = [this](const RemoteDevice &d) { network.resolveIdentity(d); };
    outlets.sendFile = [this](const RemoteDevice &d, const QString &path) { network.sendFile(d, path); };
    outlets.chooseFile = [this] {
        return QFileDialog::getOpenFileName(this, QStringLiteral("Datei auswaehlen"));
    };
    outlets.pairDevice = [this](const RemoteDevice &d, const QString &code) { network.pairDevice(d, code); };
    outlets.openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    outlets.sendMessage = [this](const RemoteDevice &d, const QString &text) {
        network.sendMessage(d, text);
    };
    outlets.confirm = [this](const QString &question) {
        return QMessageBox::question(this, QString::fromLatin1(kAppTitle), question) == QMessageBox::Yes;
    };
    outlets.askText = [this](const QString &deviceName) {
        return QInputDialog::getMultiLineText(this, QStringLiteral("Text senden"),
                                              QStringLiteral("Text an ") + deviceName + QLatin1Char(':'));
    };

    ui->setupUi(this);
    connect(ui->deviceList, &QListWidget::currentRowChanged, this, &MainWindow::rememberSelection);
    // Names for assistive technology (and for tests that drive the window
    // from outside); "Explorer" already carries its text.
    ui->deviceList->setAccessibleName(QStringLiteral("Geräte"));
    ui->settingsButtton->setAccessibleName(QStringLiteral("Einstellungen"));
    ui->minimierenButton->setAccessibleName(QStringLiteral("Minimieren"));
    ui->dropArea->setAccessibleName(QStringLiteral("Dateien hier ablegen"));
    ui->transferProgress->setAccessibleName(QStringLiteral("Übertragung"));
    loadPairedDevices();
    loadSettings();
    connect(ui->settingsButtton, &QPushButton::clicked, this, &MainWindow::toggleSettings);

    setMinimumWidth(kWindowSize);
    setMaximumWidth(kWindowSize);
    resize(kWindowSize, kWindowSize);

    const QPixmap logo(QString::fromLatin1(kLogoResource));
    if (logo.isNull())
        qDebug() << "Logo wurde NICHT geladen.";
    else
        qDebug() << "Logo geladen";
    status = new TransferStatus(ui->transferProgress, ui->transferSizeLabel, this);
    ui->logoLabel->setPixmap(scaledLogo(logo, ui->logoLabel->size(), devicePixelRatio()));

    ui->dropArea->setAcceptedSuffixes({QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                                       QStringLiteral("mp4"), QStringLiteral("mov"), QStringLiteral("fbx"),
                                       QStringLiteral("obj"), QStringLiteral("gltf"),
                                       QStringLiteral("usdz")});
    connect(ui->dropArea, &DropAreaWidget::filesDropped, this, &MainWindow::onFilesDropped);
    connect(ui->dropArea, &DropAreaWidget::textDropped, this, [this](const QString &text) {
        const int index = selectedDeviceIndex();
        if (index < 0)
            return noDeviceSelected();
        sendText(index, text);
    });
    ui->deviceList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->deviceList, &QWidget::customContextMenuRequested, this, &MainWindow::showDeviceMenu);

    background = new BackgroundView(this);
    connect(background, &BackgroundView::logLine, this, &MainWindow::appendLog);
    connect(background, &BackgroundView::imported, this, &MainWindow::onBackgroundImported);
    applyBackground();

    setWindowTitle(QString::fromLatin1(kAppTitle));
    canPlaceWindows = !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    withoutTray = !QSystemTrayIcon::isSystemTrayAvailable();
    // Without a tray the window manager's frame is the only handle to move
    // and close the window by; with one the panel sits frameless above it.
    setWindowFlag(Qt::FramelessWindowHint, !withoutTray);

    setupTrayIcon();
    // Without a tray there is no balloon to fall back to.
    DesktopNotifier::Fallback balloon;
    if (!withoutTray)
        balloon = [this](const QString &summary, const QString &body) {
            trayIcon->showMessage(summary, body, QSystemTrayIcon::Information, kBalloonMs);
        };
    auto *notifier = new DesktopNotifier(balloon, this);
    outlets.notify = [notifier](DesktopNotifier::Kind kind, const QString &summary, const QString &body,
                                const QString &actionLabel, std::function<void()> action) {
        notifier->notify(kind, summary, body, actionLabel, std::move(action));
    };

    pruneTimer = new QTimer(this);
    connect(pruneTimer, &QTimer::timeout, this, &MainWindow::pruneDevices);
    pruneTimer->start(kPruneIntervalMs);

    connect(&network, &NetworkService::pairingSucceeded, this, &MainWindow::onPairingSucceeded);
    connect(&network, &NetworkService::pairingFailed, this, &MainWindow::onPairingFailed);
    connect(&network, &NetworkService::deviceIdentityResolved, this, &MainWindow::applyResolvedIdentity);
    connect(&network, &NetworkService::fileReceiveProgress, this, &MainWindow::onFileReceiveProgress);
    connect(&network, &NetworkService::fileReceiveFinished, this, &MainWindow::onFileReceiveFinished);
    connect(&network, &NetworkService::fileReceiveAborted, this, &MainWindow::onFileReceiveAborted);
    connect(&network, &NetworkService::fileTransferProgress, this, &MainWindow::onFileTransferProgress);
    connect(&network, &NetworkService::fileTransferFinished, this, &MainWindow::onFileTransferFinished);
    connect(&network, &NetworkService::fileTransferFailed, this, &MainWindow::onFileTransferFailed);
    connect(&network, &NetworkService::messageSent, this, [this] {
        appendLog(QStringLiteral("Nachricht gesendet."));
        status->showOutcome(QStringLiteral("Nachricht gesendet."));
        notifySendOutcome(QStringLiteral("Nachricht gesendet"), QString());
    });
    connect(&network, &NetworkService::messageFailed, this,
            [this](const QString &, int, const QString &reason) {
                status->showOutcome(reason);
                notifySendOutcome(QStringLiteral("Nachricht nicht gesendet"), reason);
            });

    connect(ui->sendFileButton, &QPushButton::clicked, this, &MainWindow::chooseAndSendFile);
    connect(ui->minimierenButton, &QPushButton::clicked, this, [this] {
        if (withoutTray)
            showMinimized();
        else
            hide();
    });

    connect(&network, &NetworkService::deviceFound, this, &MainWindow::onDeviceFound);
    connect(&network, &NetworkService::messageReceived, this, &MainWindow::onMessageReceived);
    // The server's notes on files share the log's "Empfangen: " lines with
    // messages, but they are no phone's words and raise no message notification.
    connect(&network, &NetworkService::receiveNotice, this,
            [this](const QString &notice) { appendLog(QStringLiteral("Empfangen: ") + notice); });
    connect(&network, &NetworkService::logMessage, this, &MainWindow::onLogMessage);

    network.start();
    appendLog(QString::fromLatin1(kAppTitle) + QStringLiteral(" gestartet."));
    if (withoutTray)
        appendLog(QStringLiteral("Kein Infobereich (Tray) gefunden: Das Fenster bleibt sichtbar, "
                                 "Schließen beendet das Programm."));
}

void MainWindow::showAtStart()
{
    if (withoutTray)
        present();
    else
        hide();
}

MainWindow::~MainWindow()
{
    // Every sheet goes first, while the window it reports back to is still
    // whole: the open one, and closed ones whose deferred deletion has not
    // run yet. As Qt children they would otherwise die after this destructor.
    qDeleteAll(findChildren<SettingsDialog *>(Qt::FindDirectChildrenOnly));
    delete ui;
}

// ---- registry and settings -------------------------------------------------

void MainWindow::loadPairedDevices()
{
    devices.replace(readPairedDevices());
    refreshDeviceList();
}

void MainWindow::savePairedDevices()
{
    writePairedDevices(devices.list());
}

void MainWindow::applyResolvedIdentity(const RemoteDevice &device)
{
    pendingIdentity.remove(addressKey(device));
    const QString address = addressKey(device);
    switch (devices.applyResolvedIdentity(device, outlets.now())) {
    case DeviceRegistry::Outcome::ClaimIgnored:
        appendLog(QStringLiteral("Ein anderes Gerät unter %1 gibt sich als %2 aus; es wird nicht beachtet.")
                      .arg(address, device.name));
        break;
    case DeviceRegistry::Outcome::MoveOffered:
        appendLog(QStringLiteral("%1 meldet sich unter einer neuen Adresse: %2. Vor dem ersten Senden dorthin "
                                 "wird gefragt.")
                      .arg(device.name, address));
        break;
    case DeviceRegistry::Outcome::Merged:
        break;
    }
    refreshDeviceList();
}

void MainWindow::applyPairedDevice(const RemoteDevice &device)
{
    devices.applyPaired(device, outlets.now());
    savePairedDevices();
    refreshDeviceList();
}

void MainWindow::unpairDevice(const QString &deviceId)
{
    devices.removeWithId(deviceId);
    savePairedDevices();
    refreshDeviceList();
}

void MainWindow::loadSettings()
{
    {
        SettingsStore store;
        receiveFolder = store
                            ->value(QLatin1String(settingskeys::kReceiveFolder),
                                    QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
                            .toString();
        backgroundPath = store->value(QLatin1String(settingskeys::kBackgroundPath), QString()).toString();
    }
    network.setReceiveFolder(receiveFolder);
    saveSettings();
}

void MainWindow::saveSettings()
{
    SettingsStore store;
    store->setValue(QLatin1String(settingskeys::kReceiveFolder), receiveFolder);
    store->setValue(QLatin1String(settingskeys::kBackgroundPath), backgroundPath);
}

// ---- device list and log ---------------------------------------------------

void MainWindow::refreshDeviceList()
{
    // An open sheet follows the registry as the list does.
    refreshSheetDevices();
    // Rebuilding must not read as the user clearing the selection.
    const QSignalBlocker quiet(ui->deviceList);
    ui->deviceList->clear();
    rowToDevice.clear();
    for (int i = 0; i < devices.size(); ++i) {
        const RemoteDevice &d = devices.at(i);
        QString state;
        if (!d.paired)
            state = QStringLiteral("Nicht gepaired");
        else if (!devices.isOnline(i))
            state = QStringLiteral("Offline");
        else
            state = QStringLiteral("Online");
        ui->deviceList->addItem(d.name + QStringLiteral(" \u2022 ") + state);
        rowToDevice.append(i);
    }
    if (!selectionAnchor)
        return;
    const qsizetype index = registry::findSameDevice(devices.list(), *selectionAnchor);
    const qsizetype row = index < 0 ? -1 : rowToDevice.indexOf(int(index));
    if (row < 0) {
        selectionAnchor.reset();
        return;
    }
    selectionAnchor = devices.at(index);
    ui->deviceList->setCurrentRow(int(row));
}

void MainWindow::refreshSheetDevices()
{
    if (!settingsDialog)
        return;
    settingsDialog->setPairingCandidates(devices.list());
    settingsDialog->setPairedDevices(devices.list());
}

void MainWindow::rememberSelection(int row)
{
    if (row >= 0 && row < rowToDevice.size() && rowToDevice.at(row) < devices.size())
        selectionAnchor = devices.at(rowToDevice.at(row));
    else
        selectionAnchor.reset();
}

int MainWindow::selectedDeviceIndex() const
{
    // The list is rebuilt whenever discovery reports, so the current row is
    // only trusted after checking it against both tables.
    const int row = ui->deviceList->currentRow();
    if (row < 0 || row >= rowToDevice.size())
        return -1;
    const int index = rowToDevice.at(row);
    if (index < 0 || index >= devices.size())
        return -1;
    return index;
}

void MainWindow::appendLog(const QString &text)
{
    // Phones choose what some lines hold (a message, a reason); none may make
    // the log of weeks grow by megabytes.
    const QString line =
        QDateTime::currentDateTime().toString(QStringLiteral("[hh:mm:ss] ")) + clippedText(text, kMaxLogTextChars);
    // The program runs for weeks; the log keeps the newest lines only.
    if (logLines.size() >= kMaxLogLines)
        logLines.remove(0, logLines.size() - kMaxLogLines + 1);
    logLines.append(line);
    if (settingsDialog)
        settingsDialog->appendHistory(line);
}

void MainWindow::onLogMessage(const QString &message)
{
    appendLog(message);
}

void MainWindow::onMessageReceived(const QString &message)
{
    appendLog(QStringLiteral("Empfangen: ") + message);
    if (inSight())
        return;
    // The notification shows the start; "Kopieren" copies the whole text
    // while it is among the newest.
    const QString shown = clippedText(message, kMaxLogTextChars);
    const quint64 key = recentTexts.keep(message);
    outlets.notify(DesktopNotifier::Kind::MessageReceived, QStringLiteral("Nachricht vom Handy"), shown,
                   QStringLiteral("Kopieren"),
                   [this, key, shown] { QGuiApplication::clipboard()->setText(recentTexts.find(key, shown)); });
}

void MainWindow::onDeviceFound(const RemoteDevice &device)
{
    const QString key = addressKey(device);
    if (device.id.isEmpty() && !device.ip.isEmpty() && device.port > 0 && !pendingIdentity.contains(key)) {
        pendingIdentity.insert(key);
        outlets.resolveIdentity(device);
        // An answer that never comes must not block the next sighting's lookup.
        // A precise timer: a coarse one may fire up to 5 % early.
        QTimer::singleShot(kIdentityExpiryMs, Qt::PreciseTimer, this,
                           [this, key] { pendingIdentity.remove(key); });
    }

    devices.applyDiscovered(device, outlets.now());
    refreshDeviceList();
}

void MainWindow::pruneDevices()
{
    if (devices.prune(outlets.now()))
        refreshDeviceList();
}

void MainWindow::onPeerAuthenticated(const QString &deviceId, const QString &ip)
{
    // Proof of where the phone is; a move it proved is kept at once.
    if (devices.applyAuthenticated(deviceId, ip, outlets.now()))
        savePairedDevices();
    refreshDeviceList();
}

std::optional<RemoteDevice> MainWindow::deviceForSend(int index)
{
    const DeviceRegistry::SendTarget target = devices.sendTarget(index);
    if (!target.needsConfirmation)
        return target.device;
    const QString question = QStringLiteral("%1 meldet sich unter einer neuen Adresse: %2 \u2192 %3. "
                                            "Trotzdem senden?")
                                 .arg(target.device.name, target.from, target.to);
    if (!outlets.confirm(question)) {
        appendLog(QStringLiteral("Nicht gesendet: %1 unter %2 nicht bestätigt.").arg(target.device.name, target.to));
        return std::nullopt;
    }
    devices.acceptMove(target.device.id);
    savePairedDevices();
    refreshDeviceList();
    return target.device;
}

// ---- tray and window life --------------------------------------------------

void MainWindow::setupTrayIcon()
{
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QString::fromLatin1(kIconResource)));
    trayIcon->setToolTip(QString::fromLatin1(kAppTitle));
    trayMenu = new QMenu(this);
    QAction *open = trayMenu->addAction(QStringLiteral("\u00d6ffnen"));
    QAction *quit = trayMenu->addAction(QStringLiteral("Beenden"));
    connect(open, &QAction::triggered, this, &MainWindow::showWindowFromTray);
    connect(quit, &QAction::triggered, this, &MainWindow::quitApp);
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::onTrayActivated);
    trayIcon->show();
}

void MainWindow::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger)
        return;
    if (isVisible())
        hide();
    else
        showWindowFromTray();
}

void MainWindow::showWindowFromTray()
{
    // Without a tray there is no corner to sit in: the window manager's
    // placement (or the user's) stands.
    if (canPlaceWindows && !withoutTray) {
        QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (screen)
            move(trayCornerPosition(screen->availableGeometry(), geometry().size(), kTrayMargin));
    }
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void MainWindow::present()
{
    showWindowFromTray();
}

void MainWindow::quitApp()
{
    trayIcon->hide();
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveSettings();
    QMainWindow::closeEvent(event);
    // Without a tray a closed window could never be brought back.
    if (withoutTray && event->isAccepted())
        quitApp();
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    renderImages();
}

void MainWindow::renderImages()
{
    ui->logoLabel->setPixmap(
        scaledLogo(QPixmap(QString::fromLatin1(kLogoResource)), ui->logoLabel->size(), devicePixelRatio()));
    if (background)
        background->fit();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // A window moved to a screen of another scale is drawn afresh for it.
    if (QWindow *handle = windowHandle())
        connect(handle, &QWindow::screenChanged, this, &MainWindow::renderImages, Qt::UniqueConnection);
    renderImages();
    background->setAnimationRunning(true);
}

bool MainWindow::inSight() const
{
    return isVisible() && !isMinimized();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && background)
        background->setAnimationRunning(inSight());
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    background->setAnimationRunning(false);
}

// ---- sending and progress --------------------------------------------------

void MainWindow::onFilesDropped(const QStringList &files)
{
    const int index = selectedDeviceIndex();
    if (index < 0) {
        return noDeviceSelected();
    }
    // One copy for all files: each transfer gets the device as it was at the
    // drop, and a move is confirmed once for all of them.
    const std::optional<RemoteDevice> device = deviceForSend(index);
    if (!device)
        return;
    for (const QString &path : files)
        outlets.sendFile(*device, path);
}

void MainWindow::chooseAndSendFile()
{
    if (selectedDeviceIndex() < 0) {
        return noDeviceSelected();
    }
    const QString path = outlets.chooseFile();
    if (path.isEmpty())
        return;
    // Discovery keeps rebuilding the list while the modal chooser is open: the
    // row read before may now show another device or none at all.
    const int index = selectedDeviceIndex();
    if (index < 0) {
        return noDeviceSelected();
    }
    if (const std::optional<RemoteDevice> device = deviceForSend(index))
        outlets.sendFile(*device, path);
}

void MainWindow::onFileTransferProgress(int percent, qint64 sentBytes, qint64 totalBytes, double speedMBps)
{
    status->showProgress(percent, sendingLine(sentBytes, totalBytes, speedMBps * 1024.0 * 1024.0));
}

void MainWindow::onFileTransferFinished(const QString &ip, int port, const QString &filename)
{
    devices.markSeen(ip, port, outlets.now());
    appendLog(QStringLiteral("Datei fertig: ") + filename);
    status->showDone(QStringLiteral("Gesendet: ") + filename, true);
    notifySendOutcome(QStringLiteral("Datei gesendet"), filename);
    refreshDeviceList();
}

void MainWindow::onFileTransferFailed(const QString &, int, const QString &filename, const QString &reason)
{
    status->showFailed(filename + QStringLiteral(": ") + reason);
    notifySendOutcome(QStringLiteral("Senden fehlgeschlagen"), filename + QStringLiteral(": ") + reason);
}

void MainWindow::notifySendOutcome(const QString &summary, const QString &body)
{
    if (!inSight())
        outlets.notify(DesktopNotifier::Kind::SendOutcome, summary, body, QString(), {});
}

void MainWindow::noDeviceSelected()
{
    const QString text = QStringLiteral("Kein Geraet ausgewaehlt.");
    appendLog(text);
    status->showOutcome(text);
}

void MainWindow::onFileReceiveProgress(int percent, qint64 receivedBytes, qint64 totalBytes,
                                       double speedBytesPerSecond)
{
    status->showProgress(percent, receivingLine(receivedBytes, totalBytes, speedBytesPerSecond));
}

void MainWindow::onFileReceiveFinished(const QString &filename)
{
    status->showDone(QStringLiteral("Empfange: ") + filename, false);
    if (inSight())
        return;
    const QString folder = receiveFolder;
    outlets.notify(DesktopNotifier::Kind::FileReceived, QStringLiteral("Datei empfangen"), filename,
                   QStringLiteral("Ordner \u00f6ffnen"),
                   [this, folder] { outlets.openUrl(QUrl::fromLocalFile(folder)); });
}

void MainWindow::onFileReceiveAborted(const QString &name)
{
    // The bar of the cut upload goes; its phone reports the failure itself.
    status->showFailed(QStringLiteral("Transfer abgebrochen: ") + name);
}

// ---- background ------------------------------------------------------------

void MainWindow::applyBackground()
{
    // A stored picture that is gone is forgotten; one that merely cannot be
    // shown now (no WebP reader yet) is kept.
    if (!background->show(backgroundPath) && !backgroundPath.isEmpty() &&
        !QFileInfo::exists(backgroundPath)) {
        // Said once: the forgotten path is not looked for again.
        appendLog(QStringLiteral("Hintergrundbild nicht mehr vorhanden, der Standard-Hintergrund wird "
                                 "gezeigt: ") +
                  backgroundPath);
        backgroundPath.clear();
        saveSettings();
    }
}
