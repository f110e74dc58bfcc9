#include "settings_dialog.h"

#include "ui_settings_dialog.h"

#include "device_registry.h"
#include "wrapped_lines.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDebug>
#include <QFileDialog>
#include <QGuiApplication>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStandardPaths>

namespace {
constexpr int kContentMinimumWidth = 398;
constexpr int kContentExtraHeight = 20;
constexpr int kSpacing = 8;

// The window's own sheet is transparent over its background; the sheet sits
// above it and needs a surface of its own to stay readable.
const char *const kSheetStyle = R"(
SettingsDialog { background-color: #161a21; }
QScrollArea, QWidget#verticalLayoutWidget { background: transparent; }
QWidget { color: #e6ebf2; }
QLabel { color: #b4becd; font-weight: 700; }
QComboBox, QLineEdit {
    background-color: #1e232c; border: 1px solid #2f3746; border-radius: 4px; padding: 2px 6px;
    color: white; min-height: 20px;
}
QLineEdit[readOnly="true"] { color: #cdd4e0; }
QPushButton {
    background-color: #2a3140; border: none; border-radius: 4px; padding: 4px 10px; color: white;
}
QPushButton:hover { background-color: #6699ff; }
QPushButton#chooseFolderButton, QPushButton#chooseBackgroundButton { padding: 0; }
QPushButton:disabled { background-color: #1e232c; color: #5b6577; }
QCheckBox { color: #b4becd; font-weight: 700; spacing: 8px; }
QCheckBox::indicator { width: 12px; height: 12px; border: 1px solid #3a4456; border-radius: 3px; background: #1e232c; }
QCheckBox::indicator:checked { background: #3865b4; border-color: #6699ff; }
QLabel#addDeviceStatusLabel { font-weight: 400; color: #cdd4e0; }
QPlainTextEdit#connectionReportView {
    background-color: #1e232c; border: none; border-radius: 5px; color: #cdd4e0; padding: 4px;
}
QListWidget#historyList {
    background-color: #1e232c; border: none; border-radius: 5px; color: #cdd4e0; padding: 4px;
}
QScrollBar:vertical { background: #161a21; width: 10px; margin: 0; }
QScrollBar::handle:vertical { background: #3a4456; border-radius: 4px; min-height: 24px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QProgressBar { background-color: #1e232c; border: none; border-radius: 4px; color: white; text-align: center; }
QProgressBar::chunk { background-color: #3865b4; border-radius: 4px; }
)";
} // namespace

SettingsDialog::SettingsDialog(QWidget *parent) : QDialog(parent), ui(new Ui::SettingsDialog)
{
    chooseFolder = [](QWidget *p, const QString &caption, const QString &start) {
        return QFileDialog::getExistingDirectory(p, caption, start, QFileDialog::ShowDirsOnly);
    };
    chooseFile = [](QWidget *p, const QString &caption, const QString &start, const QString &filter) {
        return QFileDialog::getOpenFileName(p, caption, start, filter);
    };

    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Einstellungen"));
    // A child widget, not a window of its own: a separate window stayed on
    // the desktop when the main window hid, stayed behind when it moved, and
    // on Wayland the compositor put it anywhere.
    setWindowFlags(Qt::Widget);
    setModal(false);
    setWindowModality(Qt::NonModal);
    // A child paints its own surface: the window's list and drop area would
    // otherwise show through the sheet's text.
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QString::fromLatin1(kSheetStyle));
    setAccessibleName(windowTitle());

    updateStatusLabel = new QLabel(QStringLiteral("Version wird geprueft"), this);
    updateStatusLabel->setObjectName("updateStatusLabel");
    updateProgress = new QProgressBar(this);
    updateProgress->setObjectName("updateProgress");
    updateProgress->setRange(0, 100);
    updateProgress->setValue(0);
    updateProgress->hide();
    checkUpdatesButton = new QPushButton(QStringLiteral("Nach Updates suchen"), this);
    checkUpdatesButton->setObjectName("checkUpdatesButton");
    installUpdateButton = new QPushButton(QStringLiteral("Update installieren"), this);
    installUpdateButton->setObjectName("installUpdateButton");
    installUpdateButton->setEnabled(false);
    autostartBox = new QCheckBox(QStringLiteral("Beim Anmelden starten"), this);
    autostartBox->setObjectName("autostartBox");
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->backgroundLayout) + 1, autostartBox);
    for (QWidget *control :
         {static_cast<QWidget *>(updateStatusLabel), static_cast<QWidget *>(updateProgress),
          static_cast<QWidget *>(checkUpdatesButton), static_cast<QWidget *>(installUpdateButton)})
        ui->verticalLayout->insertWidget(ui->verticalLayout->count() - 1, control);

    // Names for assistive technology (and for tests that drive the sheet
    // from outside); buttons already carry their text.
    ui->pairingDeviceCombo->setAccessibleName(QStringLiteral("Gerät zum Pairen"));
    ui->pairingCodeEdit->setAccessibleName(QStringLiteral("Pairing-Code"));
    ui->pairedDeviceCombo->setAccessibleName(QStringLiteral("Geräte (gepaired)"));
    ui->chooseFolderButton->setAccessibleName(QStringLiteral("Empfangsordner wählen"));
    ui->receiveFolderEdit->setAccessibleName(QStringLiteral("Empfangsordner"));
    ui->chooseBackgroundButton->setAccessibleName(QStringLiteral("Hintergrundbild wählen"));
    ui->backgroundPathEdit->setAccessibleName(QStringLiteral("Hintergrundbild"));
    ui->historyList->setAccessibleName(QStringLiteral("Aktivitätsprotokoll"));
    wrapLines(ui->historyList);
    ui->deviceAddressEdit->setAccessibleName(QStringLiteral("Adresse des Handys"));
    ui->devicePortEdit->setAccessibleName(QStringLiteral("Port des Handys"));
    ui->connectionReportView->setAccessibleName(QStringLiteral("Verbindungsbericht"));
    ui->addDeviceStatusLabel->hide();
    // The update status label has no accessible name of its own: a label's
    // name is its text, and a fixed name would hide every state it shows.

    // The content scrolls vertically inside a sheet of fixed size.
    QWidget *content = ui->verticalLayoutWidget;
    content->setParent(nullptr);
    content->setMinimumWidth(kContentMinimumWidth);
    scroll = new QScrollArea(this);
    scroll->setObjectName("settingsScrollArea");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(content);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    ui->historyList->show();

    QLayoutItem *first = ui->verticalLayout->itemAt(0);
    if (first && first->spacerItem()) {
        ui->verticalLayout->removeItem(first);
        delete first;
    }
    ui->verticalLayout->setSpacing(kSpacing);
    updateContentHeight();

    connect(ui->pairButton, &QPushButton::clicked, this, &SettingsDialog::onPairClicked);
    connect(ui->unpairButton, &QPushButton::clicked, this, &SettingsDialog::onUnpairClicked);
    connect(ui->chooseFolderButton, &QPushButton::clicked, this, &SettingsDialog::onChooseFolderClicked);
    connect(ui->chooseBackgroundButton, &QPushButton::clicked, this,
            &SettingsDialog::onChooseBackgroundClicked);
    connect(checkUpdatesButton, &QPushButton::clicked, this, &SettingsDialog::checkUpdatesRequested);
    connect(installUpdateButton, &QPushButton::clicked, this, &SettingsDialog::installUpdateRequested);
    connect(autostartBox, &QCheckBox::toggled, this, &SettingsDialog::autostartChanged);
    // Enter in the code field pairs; Escape closes the sheet (the dialog's own).
    connect(ui->pairingCodeEdit, &QLineEdit::returnPressed, this, &SettingsDialog::onPairClicked);
    const auto add = [this] {
        emit addDeviceRequested(ui->deviceAddressEdit->text(), ui->devicePortEdit->text());
    };
    connect(ui->addDeviceButton, &QPushButton::clicked, this, add);
    connect(ui->deviceAddressEdit, &QLineEdit::returnPressed, this, add);
    connect(ui->devicePortEdit, &QLineEdit::returnPressed, this, add);
    connect(ui->checkConnectionButton, &QPushButton::clicked, this, [this] {
        ui->connectionReportView->clear();
        emit connectionCheckRequested();
    });
    connect(ui->copyReportButton, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(ui->connectionReportView->toPlainText()); });

    // Top to bottom, as the sheet reads; the update controls were made after
    // the log and would otherwise come last.
    const QList<QWidget *> order{
        ui->pairingDeviceCombo, ui->pairingCodeEdit,        ui->pairButton,
        ui->pairedDeviceCombo,  ui->unpairButton,           ui->deviceAddressEdit,
        ui->devicePortEdit,     ui->addDeviceButton,        ui->checkConnectionButton,
        ui->copyReportButton,   ui->connectionReportView,   ui->chooseFolderButton,
        ui->receiveFolderEdit,  ui->chooseBackgroundButton, ui->backgroundPathEdit,
        autostartBox,           checkUpdatesButton,         installUpdateButton,
        ui->historyList};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));
}

SettingsDialog::~SettingsDialog()
{
    delete ui;
}

void SettingsDialog::updateContentHeight()
{
    ui->verticalLayoutWidget->setMinimumHeight(ui->verticalLayout->sizeHint().height() + kContentExtraHeight);
}

void SettingsDialog::onPairClicked()
{
    qDebug() << "Pair Button clicked";
    const int index = ui->pairingDeviceCombo->currentIndex();
    if (index < 0 || index >= candidates.size())
        return;
    emit pairRequested(candidates.at(index), ui->pairingCodeEdit->text().trimmed());
}

void SettingsDialog::onUnpairClicked()
{
    const int index = ui->pairedDeviceCombo->currentIndex();
    if (index < 0 || index >= pairedList.size())
        return;
    emit unpairRequested(pairedList.at(index).id);
}

void SettingsDialog::onChooseFolderClicked()
{
    QString start = ui->receiveFolderEdit->text();
    if (start.isEmpty())
        start = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString folder = chooseFolder(this, QStringLiteral("Empfangsordner auswaehlen"), start);
    if (folder.isEmpty())
        return;
    ui->receiveFolderEdit->setText(folder);
    emit receiveFolderChanged(folder);
}

void SettingsDialog::onChooseBackgroundClicked()
{
    const QString path = chooseFile(this, QStringLiteral("Hintergrundbild auswaehlen"),
                                    QStandardPaths::writableLocation(QStandardPaths::PicturesLocation),
                                    QStringLiteral("Bilder (*.gif *.png *.jpg *.jpeg *.bmp *.webp)"));
    if (path.isEmpty())
        return;
    ui->backgroundPathEdit->setText(path);
    emit backgroundChanged(path);
}

void SettingsDialog::showReceiveFolder(const QString &folder)
{
    ui->receiveFolderEdit->setText(folder);
}

void SettingsDialog::showBackgroundPath(const QString &path)
{
    ui->backgroundPathEdit->setText(path);
}

namespace {
// Refills a combo from list (entries made by text), keeping the device the
// user had picked selected while it is still there.
void refill(QComboBox *combo, const QList<RemoteDevice> &before, const QList<RemoteDevice> &after,
            const std::function<QString(const RemoteDevice &)> &text)
{
    const int picked = combo->currentIndex();
    const QSignalBlocker quiet(combo);
    combo->clear();
    for (const RemoteDevice &d : after)
        combo->addItem(text(d));
    if (picked >= 0 && picked < before.size())
        combo->setCurrentIndex(int(qMax<qsizetype>(0, registry::findSameDevice(after, before.at(picked)))));
}
} // namespace

void SettingsDialog::setPairingCandidates(const QList<RemoteDevice> &devices)
{
    const QList<RemoteDevice> before = std::exchange(candidates, devices);
    refill(ui->pairingDeviceCombo, before, candidates,
           [](const RemoteDevice &d) { return d.name + QStringLiteral(" \u2022 ") + d.ip; });
}

void SettingsDialog::setPairedDevices(const QList<RemoteDevice> &devices)
{
    QList<RemoteDevice> paired;
    for (const RemoteDevice &d : devices) {
        if (d.paired)
            paired.append(d);
    }
    const QList<RemoteDevice> before = std::exchange(pairedList, paired);
    refill(ui->pairedDeviceCombo, before, pairedList, [](const RemoteDevice &d) { return d.name; });
}

void SettingsDialog::setHistory(const QStringList &lines)
{
    ui->historyList->clear();
    ui->historyList->addItems(lines);
}

void SettingsDialog::appendHistory(const QString &line)
{
    // The same cap as the window's log: an open sheet must not outgrow it.
    while (ui->historyList->count() >= kMaxHistoryLines)
        delete ui->historyList->takeItem(0);
    ui->historyList->addItem(line);
    ui->historyList->scrollToBottom();
}

void SettingsDialog::revealHistory()
{
    scroll->ensureWidgetVisible(ui->historyList);
    ui->historyList->scrollToBottom();
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

void SettingsDialog::showAutostart(bool enabled)
{
    const QSignalBlocker quiet(autostartBox);
    autostartBox->setChecked(enabled);
}

void SettingsDialog::showAddOutcome(const QString &line, bool added)
{
    ui->addDeviceStatusLabel->setText(line);
    ui->addDeviceStatusLabel->setVisible(!line.isEmpty());
    if (added) {
        ui->deviceAddressEdit->clear();
        ui->devicePortEdit->clear();
    }
    updateContentHeight();
}

void SettingsDialog::showConnectionReport(const QString &report)
{
    ui->connectionReportView->setPlainText(report);
}
