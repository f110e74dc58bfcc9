#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

// One copy of the program per user. The copy that holds a lock file in the
// user's runtime folder for its whole run is the first; it listens on a local
// socket beside it. A later copy hands over to it and ends, before it opens
// any window or network socket.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);

    // True unless another copy of this user runs. The first copy listens from
    // here on. Without a usable runtime folder every copy counts as first.
    bool claim();
    // In a later copy: asks the first one to show its window. False when that
    // could not be delivered within kHandOverMs.
    bool handOver();

    static constexpr int kHandOverMs = 700;

signals:
    // The first copy: a later start asked for the window.
    void presentRequested();

private:
    void onNewConnection();

    QString folder;
    QLockFile lock;
    QLocalServer server;
};
