#pragma once

#include "network_service.h"
#include "remote_device.h"
#include "update_service.h"

#include <QList>
#include <QMainWindow>
#include <QPixmap>
#include <QSet>
#include <QStringList>
#include <QSystemTrayIcon>

class QLabel;
class QMenu;
class QMovie;
class QTimer;
class SettingsDialog;

namespace Ui {
class MainWindow;
}

// The program's one long-lived object: a small frameless panel above the
// tray. Owns both services, the device registry and the activity log; its
// constructor is the start-up sequence.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void showWindowFromTray();
    void quitApp();
    void onDeviceFound(const RemoteDevice &device);
    void onMessageReceived(const QString &message);
    void onLogMessage(const QString &message);

private:
    friend class MainWindowTest;

    // Registry and settings store.
    void loadPairedDevices();
    void savePairedDevices();
    void applyResolvedIdentity(const RemoteDevice &device);
    void applyPairedDevice(const RemoteDevice &device);
    void unpairDevice(const QString &deviceId);
    void loadSettings();
    void saveSettings();

    // Device list and activity log.
    void refreshDeviceList();
    void appendLog(const QString &text);
    void pruneDevices();

    // Tray.
    void setupTrayIcon();

    // Sending and progress.
    void onFilesDropped(const QStringList &files);
    void chooseAndSendFile();
    void onFileTransferProgress(int percent, qint64 sentBytes, qint64 totalBytes, double speedMBps);
    void onFileTransferFinished(const QString &ip, int port, const QString &filename);
    void onFileReceiveProgress(int percent, qint64 receivedBytes, qint64 totalBytes, double speedBytesPerSecond);
    void onFileReceiveFinished(const QString &filename);

    // Pairing.
    void onPairingSucceeded(const RemoteDevice &device);
    void onPairingFailed(const QString &reason);

    // Settings sheet.
    void toggleSettings();

    // Background.
    void applyBackground();
    void showBackgroundPixmap(const QPixmap &pixmap);
    void rescaleBackground();

    Ui::MainWindow *ui = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    NetworkService network;
    QList<RemoteDevice> devices;
    QSet<QString> pendingIdentity;
    QLabel *backgroundLayer = nullptr;
    QMovie *backgroundMovie = nullptr;
    QPixmap backgroundPixmap;
    QTimer *pruneTimer = nullptr;
    QList<int> rowToDevice;
    UpdateService updater;
    QStringList logLines;
    QString receiveFolder;
    QString backgroundPath;
    SettingsDialog *settingsDialog = nullptr;
};
