#pragma once

#include "remote_device.h"

#include <QDialog>
#include <QList>
#include <QStringList>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

// The settings sheet: pairing, receive folder, background, updates and the
// activity log. Built afresh each time it opens; deletes itself when closed.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr);

    void showReceiveFolder(const QString &folder);
    void showBackgroundPath(const QString &path);
    void setPairingCandidates(const QList<RemoteDevice> &devices);
    void setPairedDevices(const QList<RemoteDevice> &devices);
    void setHistory(const QStringList &lines);
    void appendHistory(const QString &line);
    void setStatusText(const QString &text);
    void showProgress(int value);
    void setInstallEnabled(bool enabled);

signals:
    void receiveFolderChanged(const QString &folder);
    void backgroundChanged(const QString &path);
    void checkUpdatesRequested();
    void installUpdateRequested();
    void pairRequested(const RemoteDevice &device, const QString &code);
    void unpairRequested(const QString &deviceId);

private:
    QList<RemoteDevice> candidates;
    QList<RemoteDevice> pairedList;
    QLabel *updateStatusLabel = nullptr;
    QProgressBar *updateProgress = nullptr;
    QPushButton *checkUpdatesButton = nullptr;
    QPushButton *installUpdateButton = nullptr;
    QListWidget *historyList = nullptr;
};
