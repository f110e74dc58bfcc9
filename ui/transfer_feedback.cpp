#include "transfer_feedback.h"

#include "file_manager.h"
#include "network_service.h"
#include "progress_meter.h"
#include "transfer_format.h"
#include "transfer_status.h"

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>

TransferFeedback::TransferFeedback(TransferStatus *status, Outlets outlets, QObject *parent)
    : QObject(parent), status(status), outlets(std::move(outlets))
{
}

void TransferFeedback::connectTo(NetworkService &network)
{
    connect(&network, &NetworkService::fileTransferProgress, this,
            [this](int percent, qint64 sent, qint64 total, double speedMBps) {
                status->showProgress(percent, sendingLine(sent, total, speedMBps * ProgressMeter::kBytesPerMiB));
            });
    connect(&network, &NetworkService::fileTransferFinished, this, &TransferFeedback::onFileTransferFinished);
    connect(&network, &NetworkService::fileTransferFailed, this,
            [this](const QString &, int, const QString &filename, const QString &reason) {
                onFileTransferFailed(filename, reason);
            });
    connect(&network, &NetworkService::fileReceiveProgress, this,
            [this](int percent, qint64 received, qint64 total, double speed) {
                status->showProgress(percent, receivingLine(received, total, speed));
            });
    connect(&network, &NetworkService::fileReceiveFinished, this, &TransferFeedback::onFileReceiveFinished);
    // The bar of a cut upload goes; its phone reports the failure itself.
    connect(&network, &NetworkService::fileReceiveAborted, this, [this](const QString &name) {
        status->showFailed(QStringLiteral("Transfer abgebrochen: ") + name);
    });
    connect(&network, &NetworkService::messageSent, this, [this] {
        outlets.log(QStringLiteral("Nachricht gesendet."));
        status->showOutcome(QStringLiteral("Nachricht gesendet."));
        notifyOutOfSight(DesktopNotifier::Kind::SendOutcome, QStringLiteral("Nachricht gesendet"), QString());
    });
    connect(&network, &NetworkService::messageFailed, this,
            [this](const QString &, int, const QString &reason) {
                status->showOutcome(reason);
                notifyOutOfSight(DesktopNotifier::Kind::SendOutcome,
                                 QStringLiteral("Nachricht nicht gesendet"), reason);
            });
    connect(&network, &NetworkService::messageReceived, this, &TransferFeedback::onMessageReceived);
    // The server's notes on files share the log's "Empfangen: " lines with
    // messages, but they are no phone's words and raise no message notification.
    connect(&network, &NetworkService::receiveNotice, this,
            [this](const QString &notice) { outlets.log(QStringLiteral("Empfangen: ") + notice); });
}

void TransferFeedback::onMessageReceived(const QString &message)
{
    outlets.log(QStringLiteral("Empfangen: ") + message);
    // The notification shows the start; "Kopieren" copies the whole text
    // while it is among the newest.
    const QString shown = clippedText(message, kMaxShownChars);
    if (outlets.inSight())
        return;
    const quint64 key = recentTexts.keep(message);
    outlets.notify(DesktopNotifier::Kind::MessageReceived, QStringLiteral("Nachricht vom Handy"), shown,
                   {{QStringLiteral("Kopieren"), [this, key, shown] {
                         QGuiApplication::clipboard()->setText(recentTexts.find(key, shown));
                     }}});
}

void TransferFeedback::onFileTransferFinished(const QString &ip, int port, const QString &filename)
{
    emit phoneAnswered(ip, port);
    outlets.log(QStringLiteral("Datei fertig: ") + filename);
    status->showDone(QStringLiteral("Gesendet: ") + filename, true);
    notifyOutOfSight(DesktopNotifier::Kind::SendOutcome, QStringLiteral("Datei gesendet"), filename);
}

void TransferFeedback::onFileTransferFailed(const QString &filename, const QString &reason)
{
    status->showFailed(filename + QStringLiteral(": ") + reason);
    notifyOutOfSight(DesktopNotifier::Kind::SendOutcome, QStringLiteral("Senden fehlgeschlagen"),
                     filename + QStringLiteral(": ") + reason);
}

void TransferFeedback::onFileReceiveFinished(const QString &filename)
{
    status->showDone(QStringLiteral("Empfange: ") + filename, false);
    const QString path = QDir(outlets.receiveFolder()).filePath(filename);
    // Where nothing can open it, the user at least learns why nothing happened.
    const filemanager::Opener openOrSay = [this](const QUrl &url) {
        if (outlets.openUrl(url))
            return true;
        outlets.log(QStringLiteral("Kein Programm zum Öffnen gefunden: ") + url.toLocalFile());
        return false;
    };
    notifyOutOfSight(
        DesktopNotifier::Kind::FileReceived, QStringLiteral("Datei empfangen"), filename,
        {{QStringLiteral("\u00d6ffnen"), [openOrSay, path] { openOrSay(QUrl::fromLocalFile(path)); }},
         {QStringLiteral("Im Ordner zeigen"),
          [this, openOrSay, path] { filemanager::showInFolder(path, openOrSay, this); }}});
}

void TransferFeedback::notifyOutOfSight(DesktopNotifier::Kind kind, const QString &summary,
                                        const QString &body, DesktopNotifier::Actions actions)
{
    if (!outlets.inSight())
        outlets.notify(kind, summary, body, std::move(actions));
}
