// The history's flow: what the network reports is written to the store, and
// the "Verlauf" sheet slides into the window on request.
#pragma once

#include "file_manager.h"
#include "history_store.h"
#include "remote_device.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <optional>

class DeviceRegistry;
class HistoryView;
class NetworkService;
class QWidget;

class HistoryController : public QObject
{
    Q_OBJECT

public:
    // How it reaches the rest of the window; called at the time of use.
    struct Outlets
    {
        std::function<qint64()> now;
        filemanager::Opener openUrl;
        // The phone known under id, or the one at ip:port.
        std::function<RemoteDevice(const QString &id, const QString &ip, int port)> phone;
    };

    HistoryController(QWidget *window, Outlets outlets,
                      const QString &storePath = HistoryStore::defaultPath());

    void connectTo(NetworkService &network);
    // What the user sends, remembered until its outcome arrives.
    void sending(const RemoteDevice &device, const QString &path);
    void sendingText(const RemoteDevice &device, const QString &text);
    // A phone with this id sent a file (stored at path) or a text.
    void receivedFile(const QString &path, qint64 size, const QString &deviceId);
    void receivedText(const QString &text, const QString &deviceId);
    // Opens the sheet, or closes it when open.
    void toggle();
    HistoryStore *store() { return &history; }
    HistoryView *view() const;

signals:
    void logLine(const QString &line);

private:
    struct Pending
    {
        RemoteDevice device;
        QString pathOrText;
    };
    using Queue = std::deque<Pending>;

    void record(HistoryEntry entry, const RemoteDevice &phone);
    // The oldest pending item for ip:port that matches, taken out.
    std::optional<Pending> take(QHash<QString, Queue> &from, const QString &ip, int port,
                                const QString &fileName = {});

    QWidget *window;
    Outlets outlets;
    HistoryStore history;
    QPointer<HistoryView> sheet;
    QHash<QString, Queue> files;    // by "ip:port"
    QHash<QString, Queue> messages; // by "ip:port"
};
