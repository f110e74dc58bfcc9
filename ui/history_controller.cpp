#include "history_controller.h"

#include "history_view.h"
#include "network_service.h"
#include "sheet_slide.h"

#include <QFileInfo>
#include <QWidget>

namespace {
// Sends not yet reported per phone; a phone that never answers must not make
// the list grow for weeks.
constexpr std::size_t kMaxPendingPerPhone = 256;

QString key(const QString &ip, int port)
{
    return ip + QLatin1Char(':') + QString::number(port);
}
} // namespace

HistoryController::HistoryController(QWidget *window, Outlets outlets, const QString &storePath)
    : QObject(window), window(window), outlets(std::move(outlets)), history(storePath)
{
    connect(&history, &HistoryStore::logLine, this, &HistoryController::logLine);
}

void HistoryController::connectTo(NetworkService &network)
{
    connect(&network, &NetworkService::fileStored, this,
            [this](const QString &path, qint64 size, const QString &id) { receivedFile(path, size, id); });
    connect(&network, &NetworkService::messageReceived, this, &HistoryController::receivedText);
    connect(&network, &NetworkService::fileTransferFinished, this,
            [this](const QString &ip, int port, const QString &name) {
                const std::optional<Pending> sent = take(files, ip, port, name);
                HistoryEntry entry;
                entry.direction = HistoryEntry::Direction::Sent;
                entry.fileName = name;
                entry.path = sent ? sent->pathOrText : name;
                entry.size = QFileInfo(entry.path).size();
                record(entry, sent ? sent->device : outlets.phone({}, ip, port));
            });
    connect(&network, &NetworkService::fileTransferFailed, this,
            [this](const QString &ip, int port, const QString &name, const QString &reason) {
                const std::optional<Pending> sent = take(files, ip, port, name);
                HistoryEntry entry;
                entry.direction = HistoryEntry::Direction::Sent;
                entry.fileName = name;
                entry.path = sent ? sent->pathOrText : name;
                entry.outcome = HistoryEntry::Outcome::Failed;
                entry.reason = reason;
                record(entry, sent ? sent->device : outlets.phone({}, ip, port));
            });
    const auto messageEnded = [this](const QString &ip, int port, const QString &reason) {
        const std::optional<Pending> sent = take(messages, ip, port);
        if (!sent)
            return;
        HistoryEntry entry;
        entry.direction = HistoryEntry::Direction::Sent;
        entry.kind = HistoryEntry::Kind::Message;
        entry.text = sent->pathOrText;
        entry.size = entry.text.toUtf8().size();
        entry.outcome = reason.isEmpty() ? HistoryEntry::Outcome::Done : HistoryEntry::Outcome::Failed;
        entry.reason = reason;
        record(entry, sent->device);
    };
    connect(&network, &NetworkService::messageSent, this,
            [messageEnded](const QString &ip, int port) { messageEnded(ip, port, {}); });
    connect(&network, &NetworkService::messageFailed, this, messageEnded);
}

void HistoryController::sending(const RemoteDevice &device, const QString &path)
{
    Queue &queue = files[key(device.ip, device.port)];
    if (queue.size() < kMaxPendingPerPhone)
        queue.push_back({device, path});
}

void HistoryController::sendingText(const RemoteDevice &device, const QString &text)
{
    Queue &queue = messages[key(device.ip, device.port)];
    if (queue.size() < kMaxPendingPerPhone)
        queue.push_back({device, text});
}

void HistoryController::receivedFile(const QString &path, qint64 size, const QString &deviceId)
{
    HistoryEntry entry;
    entry.fileName = QFileInfo(path).fileName();
    entry.path = path;
    entry.size = size;
    record(entry, outlets.phone(deviceId, {}, 0));
}

void HistoryController::receivedText(const QString &text, const QString &deviceId)
{
    HistoryEntry entry;
    entry.kind = HistoryEntry::Kind::Message;
    entry.text = text;
    entry.size = text.toUtf8().size();
    record(entry, outlets.phone(deviceId, {}, 0));
}

void HistoryController::record(HistoryEntry entry, const RemoteDevice &phone)
{
    entry.time = outlets.now();
    entry.phoneName = phone.name;
    entry.phoneId = phone.id;
    history.add(entry);
}

std::optional<HistoryController::Pending>
HistoryController::take(QHash<QString, Queue> &from, const QString &ip, int port, const QString &fileName)
{
    const auto it = from.find(key(ip, port));
    if (it == from.end())
        return std::nullopt;
    Queue &queue = it.value();
    for (auto pending = queue.begin(); pending != queue.end(); ++pending) {
        if (!fileName.isEmpty() && QFileInfo(pending->pathOrText).fileName() != fileName)
            continue;
        Pending found = *pending;
        queue.erase(pending);
        if (queue.empty())
            from.erase(it);
        return found;
    }
    return std::nullopt;
}

HistoryView *HistoryController::view() const
{
    return sheet;
}

void HistoryController::toggle()
{
    if (sheet) {
        sheet->close();
        sheet->deleteLater();
        return;
    }
    auto *view = new HistoryView(&history, window);
    sheet = view;
    view->open = outlets.openUrl;
    connect(view, &HistoryView::closeRequested, view, [view] {
        view->close();
        view->deleteLater();
    });
    slideUpInto(view, window);
    view->setFocus();
}
