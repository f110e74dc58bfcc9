#include "main_window.h"

#include "device_registry.h"
#include "main_window_form.h"
#include "settings_dialog.h"
#include "settings_store.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMovie>
#include <QResizeEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>

namespace {
constexpr int kPruneIntervalMs = 3000;
constexpr int kIdentityExpiryMs = 8000;
constexpr qint64 kSilentAfterMs = 10000;
constexpr int kTrayMargin = 17;
constexpr int kBalloonMs = 3000;
const char *const kLogoResource = ":/logosprayed.png";
const char *const kIconResource = ":/KAVELTORCompanion.ico";
const char *const kDefaultBackground = ":/back.gif";

QString addressKey(const RemoteDevice &d)
{
    return d.ip + QLatin1Char(':') + QString::number(d.port);
}
} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    loadPairedDevices();
    loadSettings();
    connect(ui->settingsButtton, &QPushButton::clicked, this, &MainWindow::toggleSettings);

    setMinimumWidth(420);
    setMaximumWidth(420);
    resize(420, 420);

    const QPixmap logo(QString::fromLatin1(kLogoResource));
    if (logo.isNull())
        qDebug() << "Logo wurde NICHT geladen.";
    else
        qDebug() << "Logo geladen";
    ui->transferProgress->hide();
    ui->logoLabel->setPixmap(
        logo.isNull() ? QPixmap()
                      : logo.scaled(ui->logoLabel->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));

    ui->dropArea->setAcceptedSuffixes({QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                                       QStringLiteral("mp4"), QStringLiteral("mov"), QStringLiteral("fbx"),
                                       QStringLiteral("obj"), QStringLiteral("gltf"), QStringLiteral("usdz")});
    connect(ui->dropArea, &DropAreaWidget::filesDropped, this, &MainWindow::onFilesDropped);

    backgroundLayer = new QLabel(this);
    backgroundLayer->setGeometry(rect());
    applyBackground();
    backgroundLayer->lower();

    setWindowTitle(QStringLiteral("KAVELTOR Companion"));
    setWindowFlag(Qt::FramelessWindowHint, true);

    setupTrayIcon();

    pruneTimer = new QTimer(this);
    connect(pruneTimer, &QTimer::timeout, this, &MainWindow::pruneDevices);
    pruneTimer->start(kPruneIntervalMs);

    connect(&network, &NetworkService::pairingSucceeded, this, &MainWindow::onPairingSucceeded);
    connect(&network, &NetworkService::pairingFailed, this, &MainWindow::onPairingFailed);
    connect(&network, &NetworkService::deviceIdentityResolved, this, &MainWindow::applyResolvedIdentity);
    connect(&network, &NetworkService::fileReceiveProgress, this, &MainWindow::onFileReceiveProgress);
    connect(&network, &NetworkService::fileReceiveFinished, this, &MainWindow::onFileReceiveFinished);
    connect(&network, &NetworkService::fileTransferProgress, this, &MainWindow::onFileTransferProgress);
    connect(&network, &NetworkService::fileTransferFinished, this, &MainWindow::onFileTransferFinished);

    connect(ui->sendFileButton, &QPushButton::clicked, this, &MainWindow::chooseAndSendFile);
    connect(ui->minimierenButton, &QPushButton::clicked, this, &QWidget::hide);

    connect(&network, &NetworkService::deviceFound, this, &MainWindow::onDeviceFound);
    connect(&network, &NetworkService::messageReceived, this, &MainWindow::onMessageReceived);
    connect(&network, &NetworkService::logMessage, this, &MainWindow::onLogMessage);

    network.start();
    appendLog(QStringLiteral("KAVELTOR Companion gestartet."));
}

MainWindow::~MainWindow()
{
    delete ui;
}

// ---- registry and settings -------------------------------------------------

void MainWindow::loadPairedDevices()
{
    devices = readPairedDevices();
    refreshDeviceList();
}

void MainWindow::savePairedDevices()
{
    writePairedDevices(devices);
}

void MainWindow::applyResolvedIdentity(const RemoteDevice &device)
{
    pendingIdentity.remove(addressKey(device));
    registry::applyResolvedIdentity(devices, device);
    refreshDeviceList();
}

void MainWindow::applyPairedDevice(const RemoteDevice &device)
{
    registry::applyPairedDevice(devices, device, QDateTime::currentMSecsSinceEpoch());
    savePairedDevices();
    refreshDeviceList();
}

void MainWindow::unpairDevice(const QString &deviceId)
{
    registry::removeDevicesWithId(devices, deviceId);
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
    ui->deviceList->clear();
    rowToDevice.clear();
    for (int i = 0; i < devices.size(); ++i) {
        const RemoteDevice &d = devices.at(i);
        QString state;
        if (!d.paired)
            state = QStringLiteral("Nicht gepaired");
        else if (d.lastSeen < 1)
            state = QStringLiteral("Offline");
        else
            state = QStringLiteral("Online");
        ui->deviceList->addItem(d.name + QStringLiteral(" \u2022 ") + state);
        rowToDevice.append(i);
    }
}

void MainWindow::appendLog(const QString &text)
{
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("[hh:mm:ss] ")) + text;
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
    if (isVisible())
        return;
    trayIcon->showMessage(QStringLiteral("KAVELTOR Companion"), message, QSystemTrayIcon::Information, kBalloonMs);
}

void MainWindow::onDeviceFound(const RemoteDevice &device)
{
    const QString key = addressKey(device);
    if (device.id.isEmpty() && !device.ip.isEmpty() && device.port > 0 && !pendingIdentity.contains(key)) {
        pendingIdentity.insert(key);
        network.resolveIdentity(device);
        QTimer::singleShot(kIdentityExpiryMs, this, [this, key] { pendingIdentity.remove(key); });
    }

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (RemoteDevice &entry : devices) {
        if (!device.id.isEmpty() && entry.id == device.id) {
            entry.name = device.name;
            entry.host = device.host;
            entry.ip = device.ip;
            entry.port = device.port;
        } else if (entry.ip == device.ip && entry.port == device.port) {
            entry.name = device.name;
            entry.host = device.host;
        } else if (!entry.name.isEmpty() && entry.name == device.name) {
            entry.host = device.host;
            entry.ip = device.ip;
            entry.port = device.port;
        } else {
            continue;
        }
        entry.lastSeen = now;
        refreshDeviceList();
        return;
    }
    RemoteDevice added = device;
    added.lastSeen = now;
    devices.append(added);
    refreshDeviceList();
}

void MainWindow::pruneDevices()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool changed = false;
    for (qsizetype i = devices.size() - 1; i >= 0; --i) {
        RemoteDevice &entry = devices[i];
        if (entry.lastSeen == 0 || now - entry.lastSeen <= kSilentAfterMs)
            continue;
        if (entry.paired)
            entry.lastSeen = 0;
        else
            devices.removeAt(i);
        changed = true;
    }
    if (changed)
        refreshDeviceList();
}

// ---- tray and window life --------------------------------------------------

void MainWindow::setupTrayIcon()
{
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QString::fromLatin1(kIconResource)));
    trayIcon->setToolTip(QStringLiteral("KAVELTOR Companion"));
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
    QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        move(area.left() + area.width() - geometry().width() - kTrayMargin,
             area.top() + area.height() - geometry().height() - kTrayMargin);
    }
    show();
    raise();
    activateWindow();
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
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    const QPixmap logo(QString::fromLatin1(kLogoResource));
    ui->logoLabel->setPixmap(
        logo.isNull() ? QPixmap()
                      : logo.scaled(ui->logoLabel->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    if (backgroundLayer) {
        backgroundLayer->setGeometry(rect());
        rescaleBackground();
    }
}

// ---- sending and progress --------------------------------------------------

void MainWindow::onFilesDropped(const QStringList &files)
{
    const int row = ui->deviceList->currentRow();
    if (row < 0 || row >= devices.size()) {
        appendLog(QStringLiteral("Kein Geraet ausgewaehlt."));
        return;
    }
    for (const QString &path : files)
        network.sendFile(devices.at(row), path);
}

void MainWindow::chooseAndSendFile()
{
    const int before = ui->deviceList->currentRow();
    if (before < 0 || before >= devices.size()) {
        appendLog(QStringLiteral("Kein Geraet ausgewaehlt."));
        return;
    }
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Datei auswaehlen"));
    if (path.isEmpty())
        return;
    // Discovery may have rebuilt the list while the chooser was open.
    const int row = ui->deviceList->currentRow();
    if (row < 0 || row >= rowToDevice.size() || rowToDevice.at(row) >= devices.size()) {
        appendLog(QStringLiteral("Kein Geraet ausgewaehlt."));
        return;
    }
    const int index = rowToDevice.at(row);
    devices[index].sending = true;
    network.sendFile(devices.at(index), path);
}

void MainWindow::onFileTransferProgress(int percent, qint64, qint64, double)
{
    ui->transferProgress->show();
    ui->transferProgress->setValue(percent);
}

void MainWindow::onFileTransferFinished(const QString &, int, const QString &)
{
    ui->transferProgress->hide();
}

void MainWindow::onFileReceiveProgress(int percent, qint64, qint64, double)
{
    ui->transferProgress->show();
    ui->transferProgress->setValue(percent);
}

void MainWindow::onFileReceiveFinished(const QString &)
{
    ui->transferProgress->hide();
}

// ---- pairing ---------------------------------------------------------------

void MainWindow::onPairingSucceeded(const RemoteDevice &device)
{
    applyPairedDevice(device);
}

void MainWindow::onPairingFailed(const QString &reason)
{
    appendLog(reason);
}

// ---- settings sheet --------------------------------------------------------

void MainWindow::toggleSettings()
{
    if (settingsDialog) {
        settingsDialog->close();
        return;
    }
    settingsDialog = new SettingsDialog(this);
    connect(settingsDialog, &QObject::destroyed, this, [this] { settingsDialog = nullptr; });
    settingsDialog->setHistory(logLines);
    settingsDialog->setPairingCandidates(devices);
    settingsDialog->setPairedDevices(devices);
    settingsDialog->setGeometry(geometry().x(), geometry().y() + height() - 350, width(), 350);
    settingsDialog->show();
}

// ---- background ------------------------------------------------------------

void MainWindow::applyBackground()
{
    backgroundMovie = new QMovie(QString::fromLatin1(kDefaultBackground), QByteArray(), this);
    connect(backgroundMovie, &QMovie::frameChanged, this,
            [this] { showBackgroundPixmap(backgroundMovie->currentPixmap()); });
    backgroundMovie->start();
}

void MainWindow::showBackgroundPixmap(const QPixmap &pixmap)
{
    backgroundPixmap = pixmap;
    rescaleBackground();
}

void MainWindow::rescaleBackground()
{
    if (!backgroundLayer || backgroundPixmap.isNull())
        return;
    backgroundLayer->setPixmap(backgroundPixmap.scaled(backgroundLayer->size(), Qt::KeepAspectRatioByExpanding,
                                                       Qt::SmoothTransformation));
}
