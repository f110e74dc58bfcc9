#include "settings_dialog.h"

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

SettingsDialog::SettingsDialog(QWidget *parent) : QDialog(parent)
{
    setObjectName("SettingsDialog");
    setWindowTitle(QStringLiteral("Einstellungen"));
    setWindowFlag(Qt::FramelessWindowHint, true);
    setModal(false);
    setWindowModality(Qt::NonModal);
    setAttribute(Qt::WA_DeleteOnClose);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);
    updateStatusLabel = new QLabel(QStringLiteral("Version wird geprueft"), this);
    updateProgress = new QProgressBar(this);
    updateProgress->setRange(0, 100);
    updateProgress->setValue(0);
    updateProgress->hide();
    checkUpdatesButton = new QPushButton(QStringLiteral("Nach Updates suchen"), this);
    installUpdateButton = new QPushButton(QStringLiteral("Update installieren"), this);
    installUpdateButton->setEnabled(false);
    historyList = new QListWidget(this);
    historyList->setObjectName("historyList");
    layout->addWidget(updateStatusLabel);
    layout->addWidget(updateProgress);
    layout->addWidget(checkUpdatesButton);
    layout->addWidget(installUpdateButton);
    layout->addWidget(historyList);

    connect(checkUpdatesButton, &QPushButton::clicked, this, &SettingsDialog::checkUpdatesRequested);
    connect(installUpdateButton, &QPushButton::clicked, this, &SettingsDialog::installUpdateRequested);
}

void SettingsDialog::showReceiveFolder(const QString &) {}
void SettingsDialog::showBackgroundPath(const QString &) {}

void SettingsDialog::setPairingCandidates(const QList<RemoteDevice> &devices)
{
    candidates = devices;
}

void SettingsDialog::setPairedDevices(const QList<RemoteDevice> &devices)
{
    pairedList.clear();
    for (const RemoteDevice &d : devices) {
        if (d.paired)
            pairedList.append(d);
    }
}

void SettingsDialog::setHistory(const QStringList &lines)
{
    historyList->clear();
    historyList->addItems(lines);
}

void SettingsDialog::appendHistory(const QString &line)
{
    historyList->addItem(line);
    historyList->scrollToBottom();
}

void SettingsDialog::setStatusText(const QString &text)
{
    updateStatusLabel->setText(text);
}

void SettingsDialog::showProgress(int value)
{
    updateProgress->show();
    updateProgress->setValue(value);
}

void SettingsDialog::setInstallEnabled(bool enabled)
{
    installUpdateButton->setEnabled(enabled);
}
