// Commands that reach the running program from outside its window: the
// command line, a file manager's "An Handy senden", the launcher's actions.
// They go through the window's own flows, so a file sent from a terminal
// shows the same progress, outcome line, notification and history entry as
// one dropped on the window, and a phone that moved is confirmed the same way.
#pragma once

#include "remote_device.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <list>

class DeviceController;
class NetworkService;
class QWidget;
class TransferFeedback;

class CommandHandler : public QObject
{
    Q_OBJECT

public:
    enum class Status { Ok, NotDelivered, NoSuchPhone, Unavailable, Unreadable };

    struct Phone
    {
        QString name, id, address;
        bool paired = false;
        bool online = false;
    };

    // Where the answers to one command go. They stop when context goes (the
    // asker hung up); sends already started carry on.
    struct Answer
    {
        QPointer<QObject> context;
        std::function<void(int item, int percent, qint64 sent, qint64 total, double bytesPerSecond)> progress;
        std::function<void(int item, bool delivered, const QString &text)> item;
        std::function<void(Status, const QString &text, const QList<Phone> &phones)> done;
    };

    struct Options
    {
        QString to;        // a phone's id or name
        bool wait = false; // answer when each item is delivered, not when it starts
        bool ask = false;  // a dialog may ask which phone; failures show in the window
        QString token;     // the launcher's activation token
    };

    // What it works through: the window's flows.
    struct Flows
    {
        DeviceController *devices = nullptr;
        TransferFeedback *feedback = nullptr;
        NetworkService *network = nullptr;
        std::function<void(const RemoteDevice &, const QString &path)> sendFile;
        std::function<void(const RemoteDevice &, const QString &text)> sendMessage;
        std::function<void(const QString &)> log;
        std::function<void()> present;
        QWidget *window = nullptr;
    };

    // Which phone a command means, decided over the list as the window shows it.
    struct Candidate
    {
        QString name, id;
        bool paired = false;
        bool online = false;
    };
    enum class Choice { Found, NoSuchPhone, Ambiguous, NotPaired, Offline, NonePaired };
    struct Chosen
    {
        Choice choice = Choice::NonePaired;
        int index = -1; // Found; NotPaired and Offline where one phone is meant
    };
    // With `to`: the phone of that id, else of that name (exactly, then in any
    // case). Without: the phone selected in the window if it is paired, else
    // the only paired phone that is online.
    static Chosen choosePhone(const QList<Candidate> &phones, int selected, const QString &to);

    // A freshly started program has not heard from its phones yet: a command
    // for an offline phone waits this long after the start for it to appear.
    static constexpr int kDiscoveryGraceMs = 10000;
    // On Wayland only a focused window may read the clipboard.
    static constexpr int kClipboardWaitMs = 2000;

    CommandHandler(Flows flows, QObject *parent);

    // Brings the window to the front with the launcher's token.
    void present(const QString &token);
    void list(const Answer &answer);
    // choose: the files are picked in a file dialog first.
    void sendFiles(const QStringList &files, bool choose, const Options &options, const Answer &answer);
    void sendText(const QString &text, const Options &options, const Answer &answer);
    void sendClipboard(const Options &options, const Answer &answer);

private:
    // One item of a command that waits for its outcome.
    struct Item
    {
        int index = 0;
        QString ip;
        int port = 0;
        QString name; // a file's name; empty for a message
        qint64 size = -1;
    };
    struct Job
    {
        Answer answer;
        QList<Item> pending;
        int items = 0;
        int failed = 0;
    };

    QList<Phone> phones() const;
    static QList<Candidate> candidates(const QList<Phone> &known);
    int selectedIndex() const;
    // Finds the phone, waiting for discovery or asking where needed, then
    // calls go with its index in the registry.
    void withPhone(const Options &options, const Answer &answer, const std::function<void(int)> &go);
    void askPhone(const Options &options, const Answer &answer, const std::function<void(int)> &go);
    void startFiles(const QStringList &files, const Options &options, const Answer &answer, int index);
    void startText(const QString &text, const Options &options, const Answer &answer, int index);
    void finish(const Answer &answer, bool ask, Status status, const QString &text,
                const QList<Phone> &choices = {});
    void settle(bool message, const QString &ip, int port, const QString &name, bool delivered,
                const QString &reason);
    void onProgress(int percent, qint64 sent, qint64 total, double bytesPerSecond);
    void retryParked();
    void showWithToken(const QString &token, const std::function<void()> &show);

    Flows flows;
    QElapsedTimer sinceStart;
    std::list<Job> jobs;
    // Commands waiting for their phone to show up after the start.
    QList<std::function<void()>> parked;
};
