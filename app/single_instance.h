#pragma once

#include "instance_protocol.h"

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <memory>

class QLocalSocket;

// Where the answers to one request go: the asker's connection. It goes when
// the asker hangs up, and with it every answer still to come.
class InstanceReply : public QObject
{
    Q_OBJECT

public:
    InstanceReply(QLocalSocket *socket, QObject *parent);
    void send(const instance::Reply &reply);
    // The closing answer; the connection ends after it.
    void finish(const instance::Reply &reply);

private:
    QLocalSocket *socket;
};

// One copy of the program per user. The copy that holds a lock file in the
// user's runtime folder for its whole run is the first; it listens on a local
// socket beside it and takes requests from later starts (the command line,
// file managers, the launcher), which end once answered.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // Requests are taken from ownUid only; by default the user running this.
    explicit SingleInstance(QObject *parent = nullptr);
    SingleInstance(unsigned ownUid, QObject *parent);

    // True unless another copy of this user runs. The first copy listens from
    // here on. Without a usable runtime folder every copy counts as first.
    bool claim();
    // In a later copy: a connection to the first one, or nothing when none
    // answers within timeoutMs.
    static std::unique_ptr<QLocalSocket> connectToRunning(int timeoutMs);
    // In a later copy: asks the first one to show its window, passing the
    // launcher's token on. False when that could not be delivered in time.
    static bool handOver(const QString &token);

    static constexpr int kHandOverMs = 700;
    // A connection that has not sent its whole request by then is dropped.
    static constexpr int kRequestTimeoutMs = 5000;
    // Connections served at once; more are refused until one ends.
    static constexpr int kMaxConnections = 32;

signals:
    // A well-formed request from this user. The reply object lives until the
    // asker hangs up (or until finish()); answers sent after that go nowhere.
    void requestReceived(const instance::Request &request, InstanceReply *reply);

private:
    void onNewConnection();
    void serve(QLocalSocket *peer);

    unsigned ownUid;
    QString folder;
    QLockFile lock;
    QLocalServer server;
    int connections = 0;
};
