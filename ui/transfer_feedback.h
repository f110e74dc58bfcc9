// What the user is told about transfers and messages: the progress area
// under the drop area, the log, and desktop notifications while the window
// is out of sight.
#pragma once

#include "desktop_notifier.h"
#include "recent_texts.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class NetworkService;
class TransferStatus;

class TransferFeedback : public QObject
{
    Q_OBJECT

public:
    using Notify = std::function<void(DesktopNotifier::Kind, const QString &summary, const QString &body,
                                      DesktopNotifier::Actions actions)>;
    // How it reaches the rest of the window; called at the time of use.
    struct Outlets
    {
        std::function<void(const QString &)> log;
        std::function<bool()> inSight;
        Notify notify;
        std::function<bool(const QUrl &)> openUrl;
        std::function<QString()> receiveFolder;
    };
    // Characters of a message shown in the log and in its notification.
    static constexpr qsizetype kMaxShownChars = 500;

    TransferFeedback(TransferStatus *status, Outlets outlets, QObject *parent);
    void connectTo(NetworkService &network);

    TransferStatus *const status;
    // The whole texts of the newest messages, for "Kopieren".
    RecentTexts recentTexts;

signals:
    // A file sent to ip:port was received there: a sign of life.
    void phoneAnswered(const QString &ip, int port);

private:
    void onMessageReceived(const QString &message);
    void onFileTransferFinished(const QString &ip, int port, const QString &filename);
    void onFileTransferFailed(const QString &filename, const QString &reason);
    void onFileReceiveFinished(const QString &filename);
    // Told to the desktop only while the user cannot see the window.
    void notifyOutOfSight(DesktopNotifier::Kind kind, const QString &summary, const QString &body,
                          DesktopNotifier::Actions actions = {});

    Outlets outlets;
};
