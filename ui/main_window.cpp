#include "main_window.h"

#include "background_files.h"
#include "background_view.h"
#include "cover_crop.h"
#include "device_controller.h"
#include "history_controller.h"
#include "message_banner.h"
#include "protocol.h"
#include "settings_dialog.h"
#include "settings_store.h"
#include "transfer_feedback.h"
#include "transfer_format.h"
#include "transfer_status.h"
#include "tray_presence.h"
#include "tray_window_mode.h"
#include "ui_main_window.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QUrl>
#include <QWindow>

namespace {
constexpr int kWindowSize = 420;
const char *const kLogoResource = ":/logosprayed.png";
const char *const kAppTitle = protocol::kAppName;

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    setUpOutlets();
    ui->setupUi(this);
    setUpWidgets();
    deviceFlow->load();
    loadSettings();
    background->restore(backgroundPath);
    setUpTray();
    connectNetwork();

    network.start();
    log.append(QString::fromLatin1(kAppTitle) + QStringLiteral(" gestartet."));
    windowMode->follow(tray);
}

void MainWindow::setUpOutlets()
{
    outlets.now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    outlets.resolveIdentity = [this](const RemoteDevice &d) { network.resolveIdentity(d); };
    outlets.sendFile = [this](const RemoteDevice &d, const QString &path) {
        history->sending(d, path);
        network.sendFile(d, path);
    };
    outlets.chooseFile = [this] {
        return QFileDialog::getOpenFileName(this, QStringLiteral("Datei auswaehlen"));
    };
    outlets.pairDevice = [this](const RemoteDevice &d, const QString &code) { network.pairDevice(d, code); };
    outlets.openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    outlets.sendMessage = [this](const RemoteDevice &d, const QString &text) {
        history->sendingText(d, text);
        network.sendMessage(d, text);
    };
    outlets.confirm = [this](const QString &question) {
        return QMessageBox::question(this, QString::fromLatin1(kAppTitle), question) == QMessageBox::Yes;
    };
    outlets.askText = [this](const QString &deviceName) {
        return QInputDialog::getMultiLineText(this, QStringLiteral("Text senden"),
                                              QStringLiteral("Text an ") + deviceName + QLatin1Char(':'));
    };
    deviceFlow = new DeviceController(
        {.now = [this] { return outlets.now(); },
         .resolveIdentity = [this](const RemoteDevice &d) { outlets.resolveIdentity(d); },
         .confirm = [this](const QString &q) { return outlets.confirm(q); },
         .pairDevice = [this](const RemoteDevice &d, const QString &code) { outlets.pairDevice(d, code); }},
        this);
    connect(deviceFlow, &DeviceController::changed, this, &MainWindow::refreshDeviceList);
    connect(deviceFlow, &DeviceController::logLine, &log, &ActivityLog::append);
    connect(deviceFlow, &DeviceController::pairingOutcome, this, &MainWindow::showPairingOutcome);
    connect(deviceFlow, &DeviceController::pairedChanged, &network, &NetworkService::setPairedDevices);
    history = new HistoryController(
        this, {.now = [this] { return outlets.now(); },
               .openUrl = [this](const QUrl &url) { return outlets.openUrl(url); },
               .phone = [this](const QString &id, const QString &ip,
                               int port) { return deviceFlow->devices().find(id, ip, port); }});
    connect(history, &HistoryController::logLine, &log, &ActivityLog::append);
    updates.openUrl = [this](const QUrl &url) { return outlets.openUrl(url); };
    connect(&updates, &UpdateController::logLine, &log, &ActivityLog::append);
    connect(&updates, &UpdateController::quitRequested, this, [] { QCoreApplication::quit(); });
}

void MainWindow::setUpWidgets()
{
    connect(ui->deviceList, &QListWidget::currentRowChanged, this,
            [this](int row) { deviceFlow->rows.select(row); });
    // Names for assistive technology (and for tests that drive the window
    // from outside); "Explorer" already carries its text.
    ui->deviceList->setAccessibleName(QStringLiteral("Geräte"));
    ui->settingsButtton->setAccessibleName(QStringLiteral("Einstellungen"));
    ui->minimierenButton->setAccessibleName(QStringLiteral("Minimieren"));
    ui->dropArea->setAccessibleName(QStringLiteral("Dateien hier ablegen"));
    ui->transferProgress->setAccessibleName(QStringLiteral("Übertragung"));
    connect(ui->settingsButtton, &QPushButton::clicked, this, &MainWindow::toggleSettings);
    connect(ui->historyButton, &QPushButton::clicked, history, &HistoryController::toggle);

    // Fixed, and said so: compositors then offer no "maximise".
    setFixedSize(kWindowSize, kWindowSize);
    setWindowTitle(QString::fromLatin1(kAppTitle));

    const QPixmap logo(QString::fromLatin1(kLogoResource));
    qDebug() << (logo.isNull() ? "Logo wurde NICHT geladen." : "Logo geladen");
    ui->logoLabel->setPixmap(scaledForScreen(logo, ui->logoLabel->size(), devicePixelRatio()));

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
    connect(ui->sendFileButton, &QPushButton::clicked, this, &MainWindow::chooseAndSendFile);
    ui->deviceList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->deviceList, &QWidget::customContextMenuRequested, this, &MainWindow::showDeviceMenu);

    background = new BackgroundView(this);
    connect(background, &BackgroundView::logLine, &log, &ActivityLog::append);
    connect(background, &BackgroundView::pathChanged, this, [this](const QString &path) {
        backgroundPath = path;
        saveSettings();
        if (settingsDialog)
            settingsDialog->showBackgroundPath(path);
    });

    auto *status = new TransferStatus(ui->transferProgress, ui->transferSizeLabel, this);
    feedback = new TransferFeedback(
        status,
        {.log = [this](const QString &line) { log.append(line); },
         .inSight = [this] { return inSight(); },
         .notify = [this](auto kind, const QString &summary, const QString &body,
                          DesktopNotifier::Actions actions) { outlets.notify(kind, summary, body, actions); },
         .openUrl = [this](const QUrl &url) { return outlets.openUrl(url); },
         .receiveFolder = [this] { return receiveFolder; }},
        this);
    connect(feedback, &TransferFeedback::phoneAnswered, deviceFlow, &DeviceController::onPhoneAnswered);
}

void MainWindow::setUpTray()
{
    canPlaceWindows = !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    tray = new TrayPresence(this);
    windowMode = new TrayWindowMode(this);
    connect(windowMode, &TrayWindowMode::logLine, &log, &ActivityLog::append);
    connect(windowMode, &TrayWindowMode::presentRequested, this, &MainWindow::present);
    connect(ui->minimierenButton, &QPushButton::clicked, windowMode, &TrayWindowMode::minimise);
    connect(tray, &TrayPresence::toggleRequested, this,
            [this] { inSight() ? hide() : showWindowFromTray(); }); // a covered window comes forward
    connect(tray, &TrayPresence::openRequested, this, &MainWindow::showWindowFromTray);
    connect(tray, &TrayPresence::quitRequested, this, &MainWindow::quitApp);
    auto *notifier = new DesktopNotifier(
        [this](const QString &summary, const QString &body) { tray->showMessage(summary, body); }, this);
    outlets.notify = [notifier](DesktopNotifier::Kind kind, const QString &summary, const QString &body,
                                DesktopNotifier::Actions actions) {
        notifier->notify(kind, summary, body, std::move(actions));
    };
}

void MainWindow::connectNetwork()
{
    connect(&network, &NetworkService::pairingSucceeded, deviceFlow, &DeviceController::onPairingSucceeded);
    connect(&network, &NetworkService::pairingFailed, deviceFlow, &DeviceController::onPairingFailed);
    connect(&network, &NetworkService::deviceIdentityResolved, deviceFlow,
            &DeviceController::onIdentityResolved);
    connect(&network, &NetworkService::deviceFound, deviceFlow, &DeviceController::onDeviceFound);
    connect(&network, &NetworkService::deviceGone, deviceFlow, &DeviceController::onDeviceGone);
    connect(&network, &NetworkService::peerAuthenticated, deviceFlow, &DeviceController::onPeerAuthenticated);
    connect(&network, &NetworkService::logMessage, &log, &ActivityLog::append);
    feedback->connectTo(network);
    auto *banner = new MessageBanner(ui->centralwidget, ui->dropArea, ui->transferProgress,
                                     ui->transferSizeLabel, ui->logoLabel);
    banner->follow(network, *feedback->status,
                   [this](const QString &id) { return deviceFlow->devices().find(id, {}, 0).name; });
    history->connectTo(network);
}

void MainWindow::showAtStart()
{
    windowMode->inTray() ? hide() : present();
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
    ui->deviceList->addItems(deviceFlow->rows.rows());
    if (const int row = deviceFlow->rows.rowOfSelection(); row >= 0)
        ui->deviceList->setCurrentRow(row);
}

void MainWindow::refreshSheetDevices()
{
    if (!settingsDialog)
        return;
    settingsDialog->setPairingCandidates(deviceFlow->devices().list());
    settingsDialog->setPairedDevices(deviceFlow->devices().list());
}

int MainWindow::selectedDeviceIndex() const
{
    // The list is rebuilt whenever discovery reports, so the current row is
    // only trusted after checking it against the registry.
    return deviceFlow->rows.deviceAt(ui->deviceList->currentRow());
}

// ---- tray and window life --------------------------------------------------

void MainWindow::showWindowFromTray()
{
    // Without a tray there is no corner to sit in: the window manager's
    // placement (or the user's) stands.
    if (canPlaceWindows && windowMode->inTray())
        move(tray->windowPosition(geometry().size()));
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void MainWindow::quitApp()
{
    tray->hide();
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveSettings();
    QMainWindow::closeEvent(event);
    // Without a tray a closed window could never be brought back.
    if (!windowMode->inTray() && event->isAccepted())
        quitApp();
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    renderImages();
}

void MainWindow::renderImages()
{
    ui->logoLabel->setPixmap(scaledForScreen(QPixmap(QString::fromLatin1(kLogoResource)),
                                             ui->logoLabel->size(), devicePixelRatio()));
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
    // Wayland does not tell a program that it was minimised, and a covered
    // window is no more seen than a hidden one: only the window in front is.
    return isVisible() && !isMinimized() && isActiveWindow();
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

// ---- sending ---------------------------------------------------------------

void MainWindow::onFilesDropped(const QStringList &files)
{
    const int index = selectedDeviceIndex();
    if (index < 0)
        return noDeviceSelected();
    // One copy for all files: each transfer gets the device as it was at the
    // drop, and a move is confirmed once for all of them.
    const std::optional<RemoteDevice> device = deviceFlow->deviceForSend(index);
    if (!device)
        return;
    for (const QString &path : files)
        outlets.sendFile(*device, path);
}

void MainWindow::chooseAndSendFile()
{
    if (selectedDeviceIndex() < 0)
        return noDeviceSelected();
    const QString path = outlets.chooseFile();
    if (path.isEmpty())
        return;
    // Discovery keeps rebuilding the list while the modal chooser is open: the
    // row read before may now show another device or none at all.
    const int index = selectedDeviceIndex();
    if (index < 0)
        return noDeviceSelected();
    if (const std::optional<RemoteDevice> device = deviceFlow->deviceForSend(index))
        outlets.sendFile(*device, path);
}

void MainWindow::noDeviceSelected()
{
    const QString text = QStringLiteral("Kein Geraet ausgewaehlt.");
    log.append(text);
    feedback->status->showOutcome(text);
}
