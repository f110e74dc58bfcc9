#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <map>

class QTimer;

// Announces what happened through the desktop's notification service, or
// through a fallback (the tray's balloon) where there is none. Bursts are
// grouped: each kind shows at most one notification per second, and what
// arrives within that second is merged into the one that follows it.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    enum class Kind { FileReceived, MessageReceived, SendOutcome };
    using Action = std::function<void()>;
    // Buttons on a notification, by label, in the order shown.
    using Actions = QList<std::pair<QString, Action>>;
    // Shows summary and body some other way; it cannot offer the action.
    using Fallback = std::function<void(const QString &summary, const QString &body)>;

    // How long each kind gathers a burst into one notification.
    static constexpr int kGroupWindowMs = 1000;
    // Names a grouped file notification lists before "…".
    static constexpr qsizetype kListedNames = 3;

    explicit DesktopNotifier(Fallback fallback = {}, QObject *parent = nullptr);

    // Texts are plain text. The action runs when the user picks actionLabel
    // on the notification; it is dropped once the notification closes. For
    // files, body is the file name.
    void notify(Kind kind, const QString &summary, const QString &body, const QString &actionLabel = {},
                Action action = {});
    // The same with several buttons; a grouped notification offers the last.
    void notify(Kind kind, const QString &summary, const QString &body, Actions actions);

private slots:
    void onActionInvoked(uint id, const QString &key);
    void onClosed(uint id, uint reason);

private:
    struct Lane
    {
        Kind kind = Kind::FileReceived;
        QTimer *timer = nullptr;
        QString summary, body;
        Actions actions; // of the newest; a grouped notification offers its last
        int count = 0;   // of this burst
        QStringList names;
        bool pending = false; // arrived since the last one shown
        uint shownId = 0;     // the service's id of the last one shown
    };

    void show(Lane &lane, bool continuing);
    void send(Lane &lane, uint replacesId, const QString &summary, const QString &body);
    void forgetServer();
    void queryServer();

    Fallback fallback;
    std::array<Lane, 3> lanes;
    std::map<uint, Actions> shownActions; // by notification id
    bool markup = true;                   // the service reads bodies as markup
};
