#pragma once

#include "remote_device.h"

#include <QDialog>
#include <QList>
#include <QStringList>

#include <functional>

class QCheckBox;
class QScrollArea;
class QLabel;
class QProgressBar;
class QPushButton;

namespace Ui {
class SettingsDialog;
}

// The settings sheet: pairing, receive folder, background, start at login,
// updates and the activity log. The window builds it afresh each time it
// opens, fills it and reacts to its signals; it deletes itself when closed.
// With a parent it is a child widget that lives inside that window, so it
// hides, moves and closes with it on every platform.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    // Lines the activity log keeps, as the window's own log does.
    static constexpr int kMaxHistoryLines = 10000;

    explicit SettingsDialog(QWidget *parent = nullptr);
    ~SettingsDialog() override;

    void showReceiveFolder(const QString &folder);
    void showBackgroundPath(const QString &path);
    void setPairingCandidates(const QList<RemoteDevice> &devices);
    void setPairedDevices(const QList<RemoteDevice> &devices);
    void setHistory(const QStringList &lines);
    void appendHistory(const QString &line);
    // Scrolls the activity log into view, at its newest line.
    void revealHistory();
    void setStatusText(const QString &text);
    void showProgress(int value);
    void setInstallEnabled(bool enabled);
    // Shows whether the program starts at login, without reporting it back.
    void showAutostart(bool enabled);
    // How adding a phone by its address went; a phone added empties the field.
    void showAddOutcome(const QString &line, bool added);
    void showConnectionReport(const QString &report);

    // The platform choosers; tests put their own answers in their place.
    std::function<QString(QWidget *parent, const QString &caption, const QString &start)> chooseFolder;
    std::function<QString(QWidget *parent, const QString &caption, const QString &start,
                          const QString &filter)>
        chooseFile;

signals:
    void receiveFolderChanged(const QString &folder);
    void backgroundChanged(const QString &path);
    void checkUpdatesRequested();
    void installUpdateRequested();
    void pairRequested(const RemoteDevice &device, const QString &code);
    void unpairRequested(const QString &deviceId);
    void autostartChanged(bool enabled);
    // The address as typed and the port field (both possibly empty).
    void addDeviceRequested(const QString &address, const QString &port);
    void connectionCheckRequested();

private:
    friend class SettingsDialogTest;

    void onPairClicked();
    void onUnpairClicked();
    void onChooseFolderClicked();
    void onChooseBackgroundClicked();
    void updateContentHeight();

    QList<RemoteDevice> candidates;
    QList<RemoteDevice> pairedList;
    QLabel *updateStatusLabel = nullptr;
    QProgressBar *updateProgress = nullptr;
    QPushButton *checkUpdatesButton = nullptr;
    QPushButton *installUpdateButton = nullptr;
    QCheckBox *autostartBox = nullptr;
    QScrollArea *scroll = nullptr;
    Ui::SettingsDialog *ui = nullptr;
};
