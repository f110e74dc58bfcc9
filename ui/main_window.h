#pragma once

#include "activity_log.h"
#include "command_handler.h"
#include "desktop_notifier.h"
#include "network_service.h"
#include "remote_device.h"
#include "update_controller.h"

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
class DeviceController;
class HistoryController;
class QTimer;
class SettingsDialog;
class TransferFeedback;
class TransferStatus;
class TrayPresence;
class TrayWindowMode;

namespace Ui {
class MainWindow;
}

// The program's one long-lived object: a small frameless panel above the
// tray. Owns both services, the device rows and the activity log, and wires
// them to the widgets and to the classes that hold each flow; its
// constructor is the start-up sequence.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Right after construction: with a tray the program starts hidden behind
    // its icon; without one the window is all the user has, so it shows.
    void showAtStart();
    // What commands from other starts of the program go through: the
    // window's own flows, so that they send as a drop does.
    CommandHandler::Flows commandFlows()
    {
        return {deviceFlow, feedback, &network,
                [this](const RemoteDevice &d, const QString &path) { outlets.sendFile(d, path); },
                [this](const RemoteDevice &d, const QString &text) { outlets.sendMessage(d, text); },
                [this](const QString &line) { log.append(line); }, [this] { present(); }, this};
    }

public slots:
    // Brings the window up as a click on the tray icon would (a second start
    // of the program asks for this).
    void present() { showWindowFromTray(); }
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
    void showWindowFromTray();

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
                           DesktopNotifier::Actions actions)>
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

    // Start-up steps of the constructor.
    void setUpOutlets();
    void setUpWidgets();
    void setUpTray();
    void connectNetwork();

    // Settings store.
    void loadSettings();
    void saveSettings();

    // Device list and activity log.
    void refreshDeviceList();
    void refreshSheetDevices();

    // Sending.
    void onFilesDropped(const QStringList &files);
    void chooseAndSendFile();
    void noDeviceSelected();
    // Shown, not minimised and in front: what the user can see needs no
    // notification.
    bool inSight() const;
    void showDeviceMenu(const QPoint &pos);
    void sendText(int deviceIndex, const QString &text);
    // Index in the registry of the device the current row shows, or -1.
    int selectedDeviceIndex() const;

    // Pairing.
    void showPairingOutcome(const QString &line);

    // Settings sheet.
    void toggleSettings();
    void onReceiveFolderChanged(const QString &folder);

    // Background.
    // Logo and background drawn for the window's size and device pixel ratio.
    void renderImages();

    Ui::MainWindow *ui = nullptr;
    TrayPresence *tray = nullptr;
    NetworkService network;
    DeviceController *deviceFlow = nullptr;
    HistoryController *history = nullptr;
    BackgroundView *background = nullptr;
    // The progress area and what the user is told about transfers.
    TransferFeedback *feedback = nullptr;
    UpdateController updates;
    ActivityLog log;
    QString receiveFolder;
    QString backgroundPath;
    SettingsDialog *settingsDialog = nullptr;
    Outlets outlets;
    // Without a tray host (GNOME's default, many tiling window managers) the
    // window is an ordinary application window; the tray may come and go.
    TrayWindowMode *windowMode = nullptr;
    // Wayland compositors place windows themselves and ignore a program's
    // wishes; there the window goes where it is put.
    bool canPlaceWindows = true;
};
