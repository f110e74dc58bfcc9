#include "desktop_notifier.h"

#include "transfer_format.h"

#include <QTimer>

#if defined(Q_OS_LINUX)
#define KAVELTOR_NOTIFY_DBUS 1
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#endif

namespace {
// The first button's key is "run", the others "run1", "run2", ...
QString actionKey(qsizetype index)
{
    return index == 0 ? QStringLiteral("run") : QStringLiteral("run") + QString::number(index);
}
// A phone may send a whole page as a message; a notification shows a few
// lines of it, and the bus need not carry the rest.
constexpr qsizetype kMaxBodyChars = 400;
QString clipped(const QString &text)
{
    return clippedText(text, kMaxBodyChars);
}

#if KAVELTOR_NOTIFY_DBUS
// Actions of notifications the service never reports closed are not kept
// forever; the oldest go first.
constexpr std::size_t kMaxRememberedActions = 32;
// A hung service must not hold back the fallback for long.
constexpr int kCallTimeoutMs = 5000;
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("KAVELTOR Companion");
const QString kAppId = QStringLiteral("example.zeltraworks.KaveltorCompanion");
const char *const kCategories[] = {"transfer.complete", "im.received", "transfer"};
#endif
} // namespace

DesktopNotifier::DesktopNotifier(Fallback fallback, QObject *parent)
    : QObject(parent), fallback(std::move(fallback))
{
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        Lane &lane = lanes[i];
        lane.kind = static_cast<Kind>(i);
        lane.timer = new QTimer(this);
        lane.timer->setSingleShot(true);
        lane.timer->setInterval(kGroupWindowMs);
        connect(lane.timer, &QTimer::timeout, this, [this, &lane] {
            if (lane.pending) {
                show(lane, true);
            } else {
                lane.count = 0;
                lane.names.clear();
            }
        });
    }
#if KAVELTOR_NOTIFY_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // Only the service's current owner is heard, so no other client can
    // trigger our actions.
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(onClosed(uint, uint)));
    auto *watcher = new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
        forgetServer();
        queryServer();
    });
    queryServer();
#endif
}

void DesktopNotifier::notify(Kind kind, const QString &summary, const QString &body,
                             const QString &actionLabel, Action action)
{
    Actions actions;
    if (action)
        actions.append({actionLabel, std::move(action)});
    notify(kind, summary, body, std::move(actions));
}

void DesktopNotifier::notify(Kind kind, const QString &summary, const QString &body, Actions actions)
{
    Lane &lane = lanes[static_cast<std::size_t>(kind)];
    lane.summary = summary;
    lane.body = body;
    lane.actions = std::move(actions);
    ++lane.count;
    if (lane.names.size() < kListedNames)
        lane.names.append(clipped(body));
    if (lane.timer->isActive())
        lane.pending = true;
    else
        show(lane, false);
}

void DesktopNotifier::show(Lane &lane, bool continuing)
{
    lane.pending = false;
    lane.timer->start();
    QString summary = lane.summary;
    QString body = clipped(lane.body);
    if (lane.kind == Kind::FileReceived && lane.count > 1) {
        summary = QStringLiteral("%1 Dateien empfangen").arg(lane.count);
        QStringList lines = lane.names;
        if (lane.count > lines.size())
            lines.append(QStringLiteral("…"));
        body = lines.join(QLatin1Char('\n'));
    }
    // A burst updates the notification it began with instead of stacking.
    send(lane, continuing ? lane.shownId : 0, summary, body);
}

void DesktopNotifier::send(Lane &lane, uint replacesId, const QString &summary, const QString &body)
{
#if KAVELTOR_NOTIFY_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        // A group names several files: only its last button (the folder)
        // still fits all of them.
        Actions offered = lane.actions;
        if (lane.count > 1 && offered.size() > 1)
            offered = offered.mid(offered.size() - 1);
        QStringList actionList;
        for (qsizetype i = 0; i < offered.size(); ++i)
            actionList << actionKey(i) << offered.at(i).first;
        const QVariantMap hints{
            {QStringLiteral("desktop-entry"), kAppId},
            {QStringLiteral("urgency"), QVariant::fromValue<uchar>(1)},
            {QStringLiteral("category"), QString::fromLatin1(kCategories[static_cast<int>(lane.kind)])}};
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
        // Texts from a phone must not become links or images where the
        // service renders markup.
        call << kAppName << replacesId << kAppId << summary << (markup ? body.toHtmlEscaped() : body)
             << actionList << hints << qint32(-1);
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, &lane, summary, body, offered](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    const QDBusPendingReply<uint> reply = *w;
                    if (reply.isError()) {
                        lane.shownId = 0;
                        if (fallback)
                            fallback(summary, body);
                        return;
                    }
                    lane.shownId = reply.value();
                    if (offered.isEmpty()) {
                        shownActions.erase(lane.shownId);
                        return;
                    }
                    shownActions[lane.shownId] = offered;
                    if (shownActions.size() > kMaxRememberedActions)
                        shownActions.erase(shownActions.begin());
                });
        return;
    }
#else
    Q_UNUSED(lane);
    Q_UNUSED(replacesId);
#endif
    if (fallback)
        fallback(summary, body);
}

void DesktopNotifier::onActionInvoked(uint id, const QString &key)
{
    const auto it = shownActions.find(id);
    if (it == shownActions.end())
        return;
    for (qsizetype i = 0; i < it->second.size(); ++i) {
        if (key == actionKey(i)) {
            // The action may well lead to this notifier's end.
            const Action action = it->second.at(i).second;
            action();
            return;
        }
    }
}

void DesktopNotifier::onClosed(uint id, uint)
{
    shownActions.erase(id);
    for (Lane &lane : lanes) {
        if (lane.shownId == id)
            lane.shownId = 0;
    }
}

// A service that went away takes its notifications with it, and its
// successor numbers them afresh.
void DesktopNotifier::forgetServer()
{
    shownActions.clear();
    for (Lane &lane : lanes)
        lane.shownId = 0;
}

void DesktopNotifier::queryServer()
{
#if KAVELTOR_NOTIFY_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QStringList> reply = *w;
        if (!reply.isError())
            markup = reply.value().contains(QStringLiteral("body-markup"));
    });
#endif
}
