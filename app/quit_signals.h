#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT (a service manager, `kill`, Ctrl+C) into a Qt
// signal on the event loop, so they end the program the way its menu does.
// One per process. On Windows it does nothing: a program without a console
// gets no such signals, and the end of the session arrives through Qt.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested();

private:
    QSocketNotifier *notifier = nullptr;
};
