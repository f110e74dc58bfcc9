#pragma once

#include "desktop_notifier.h"
#include "device_registry.h"
#include "installer_handoff.h"
#include "recent_texts.h"
#include "network_service.h"
#include "remote_device.h"
#include "update_service.h"

#include <QList>
#include <QMainWindow>
#include <QPixmap>
#include <QSet>
#include <QStringList>
#include <QSystemTrayIcon>

#include <functional>
#include <optional>

class QLabel;
class QUrl;
class QMenu;
class BackgroundView;
class QTimer;
class SettingsDialog;
class TransferStatus;

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

    // Lines the activity log keeps; older ones are dropped first.
    static constexpr qsizetype kMaxLogLines = 10000;
    // Characters of one log line's text (a phone's message is cut there).
    static constexpr qsizetype kMaxLogTextChars = 500;

    // Right after construction: with a tray the program starts hidden behind
    // its icon; without one the window is all the user has, so it shows.
    void showAtStart();

public slots:
    // Brings the window up as a click on the tray icon would (a second start
    // of the program asks for this).
    void present();
    // The one way out: the tray's "Beenden", a closed window without a tray,
    // SIGTERM/SIGINT and the end of the desktop session all come here.
    void quitApp();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // The background animation only runs while somebody can see it.
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    // A minimised window is not hidden, but nobody sees it animate either.
    void changeEvent(QEvent *event) override;

private slots:
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void showWindowFromTray();
    void onDeviceFound(const RemoteDevice &device);
    void onMessageReceived(const QString &message);
    void onLogMessage(const QString &message);

private:
    friend class MainWindowTest;

    // The window's contacts with the clock, the network requests, the file
    // chooser and the tray's balloons. The program always uses the defaults
    // set by the constructor; tests replace them to watch and steer.
    struct Outlets
    {
        std::function<qint64()> now;
        std::function<void(const RemoteDevice &)> resolveIdentity;
        std::function<void(const RemoteDevice &, const QString &)> sendFile;
        std::function<QString()> chooseFile;
        // A desktop notification (or the tray balloon where the desktop has
        // no notification service).
        std::function<void(DesktopNotifier::Kind, const QString &summary, const QString &body,
                           const QString &actionLabel, std::function<void()> action)>
            notify;
        std::function<void(const RemoteDevice &, const QString &)> pairDevice;
        // The desktop's opener for files and folders (on Linux, xdg-open):
        // true when it took the URL.
        std::function<bool(const QUrl &)> openUrl;
        std::function<void(const RemoteDevice &, const QString &)> sendMessage;
        // The text the user typed for the named phone; empty when cancelled.
        std::function<QString(const QString &deviceName)> askText;
        // A yes-or-no question to the user.
        std::function<bool(const QString &question)> confirm;
    };

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
    void refreshSheetDevices();
    void appendLog(const QString &text);
    void pruneDevices();
    void onPeerAuthenticated(const QString &deviceId, const QString &ip);

    // Tray.
    void setupTrayIcon();

    // Sending and progress.
    void onFilesDropped(const QStringList &files);
    void chooseAndSendFile();
    void onFileTransferProgress(int percent, qint64 sentBytes, qint64 totalBytes, double speedMBps);
    void onFileTransferFinished(const QString &ip, int port, const QString &filename);
    void onFileReceiveProgress(int percent, qint64 receivedBytes, qint64 totalBytes,
                               double speedBytesPerSecond);
    void onFileReceiveFinished(const QString &filename);
    void onFileReceiveAborted(const QString &name);
    void onFileTransferFailed(const QString &ip, int port, const QString &filename, const QString &reason);
    void noDeviceSelected();
    // Told to the desktop only while the user cannot see the window.
    void notifySendOutcome(const QString &summary, const QString &body);
    // Shown and not minimised: what the user can see needs no notification.
    bool inSight() const;

    // Text messages to a phone.
    void showDeviceMenu(const QPoint &pos);
    void sendText(int deviceIndex, const QString &text);
    // Where a send to the entry at index goes; asks the user first when a
    // paired phone is silent where it proved itself and claims a new
    // address. Nothing when the user declines.
    std::optional<RemoteDevice> deviceForSend(int index);
    // Index in devices of the device the current row shows, or -1.
    int selectedDeviceIndex() const;
    void rememberSelection(int row);

    // Pairing.
    void onPairRequested(const RemoteDevice &device, const QString &code);
    void onPairingSucceeded(const RemoteDevice &device);
    void onPairingFailed(const QString &reason);
    void onUnpairRequested(const QString &deviceId);
    void showPairingOutcome(const QString &line);

    // Settings sheet and the update flow inside it.
    void toggleSettings();
    void connectUpdateFlow(SettingsDialog *dialog);
    void onReceiveFolderChanged(const QString &folder);
    void onAutostartChanged(bool enabled);
    // Hands the verified installer to the system; quits once something took
    // it, else says why and shows the folder holding it.
    void handOverInstaller(const QString &installerPath);

    // Background.
    void onBackgroundChanged(const QString &path);
    void onBackgroundImported(const QString &target, const QString &error, const QString &notice);
    void applyBackground();
    // Logo and background drawn for the window's size and device pixel ratio.
    void renderImages();

    Ui::MainWindow *ui = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    NetworkService network;
    DeviceRegistry devices;
    QSet<QString> pendingIdentity;
    BackgroundView *background = nullptr;
    QTimer *pruneTimer = nullptr;
    // The progress bar and line: transfers, and the outcome of what the
    // user started, for a few seconds besides its log line.
    TransferStatus *status = nullptr;
    QList<int> rowToDevice;
    UpdateService updater;
    // Where the installer goes; the program keeps the defaults.
    InstallerHandoff::Setup installerSetup;
    QStringList logLines;
    RecentTexts recentTexts;
    QString receiveFolder;
    QString backgroundPath;
    SettingsDialog *settingsDialog = nullptr;
    Outlets outlets;
    // Decided once at start: without a tray host (GNOME's default, many
    // tiling window managers) the window is an ordinary application window
    // for the whole run, even if a tray turns up later.
    bool withoutTray = false;
    // Wayland compositors place windows themselves and ignore a program's
    // wishes; there the window goes where it is put.
    bool canPlaceWindows = true;
    // The device the user selected, so that a rebuild of the list (on every
    // discovery report) keeps it selected while it is still listed.
    std::optional<RemoteDevice> selectionAnchor;
};
