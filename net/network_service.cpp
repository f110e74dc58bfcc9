#include "network_service.h"

#include "settings_store.h"
#include "worker_pool.h"

#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <limits>

namespace {
// How often a blocked worker looks at the running flag when the platform
// gave us no waker to end its wait at once.
constexpr int kPollSliceMs = 50;
} // namespace

NetworkService::NetworkService(QObject *parent) : QObject(parent), m_pool(std::make_shared<WorkerPool>())
{
    qRegisterMetaType<RemoteDevice>("RemoteDevice");
    sock::startup();
}

NetworkService::~NetworkService()
{
    running.exchange(false);
    {
        std::unique_lock lock(m_pool->mutex);
        m_pool->stopping = true;
        m_pool->waker.wake();
        m_pool->changed.notify_all();
        m_pool->changed.wait(lock, [this] { return m_pool->active == 0; });
    }
    sock::cleanup();
}

void NetworkService::start()
{
    if (running.exchange(true))
        return;
    spawnWorker([this] { startHttpServer(); });
    spawnWorker([this] { mdnsPublishLoop(); });
    spawnWorker([this] { mdnsBrowseLoop(); });
}

bool NetworkService::sleepWhileRunning(int ms) const
{
    std::unique_lock lock(m_pool->mutex);
    return !m_pool->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                     [this] { return m_pool->stopping; });
}

static sock::Readiness waitSliced(const std::atomic<bool> &running, const std::shared_ptr<WorkerPool> &pool,
                                  const sock::Socket &socket, const QDeadlineTimer &deadline, bool forWrite)
{
    for (;;) {
        if (!running.load()) {
            std::lock_guard lock(pool->mutex);
            if (pool->stopping)
                return sock::Readiness::Error;
        }
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return sock::Readiness::Timeout;
        // With a waker the wait lasts until the socket, the deadline or the
        // destructor ends it; an idle service then costs no wake-ups at all.
        const qint64 cap = pool->waker.valid() ? std::numeric_limits<int>::max() : kPollSliceMs;
        const int slice =
            left < 0 ? (pool->waker.valid() ? -1 : kPollSliceMs) : int(std::min<qint64>(left, cap));
        const sock::Readiness r = sock::waitUnlessWoken(socket, pool->waker, forWrite, slice);
        if (r != sock::Readiness::Timeout)
            return r;
    }
}

sock::Readiness NetworkService::waitReadable(const sock::Socket &socket, const QDeadlineTimer &deadline) const
{
    return waitSliced(running, m_pool, socket, deadline, false);
}

sock::Readiness NetworkService::waitWritable(const sock::Socket &socket, const QDeadlineTimer &deadline) const
{
    return waitSliced(running, m_pool, socket, deadline, true);
}

void NetworkService::setReceiveFolder(const QString &folder)
{
    std::lock_guard lock(mutex);
    m_receiveFolder = folder;
}

QString NetworkService::receiveFolder() const
{
    std::lock_guard lock(mutex);
    if (!m_receiveFolder.isEmpty())
        return m_receiveFolder;
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

QString NetworkService::localDeviceId()
{
    // Two threads asking for the first time must not each invent an id.
    static std::mutex firstUse;
    std::lock_guard lock(firstUse);
    SettingsStore store;
    QString id = store->value(QLatin1String(settingskeys::kDeviceId)).toString();
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
        store->setValue(QLatin1String(settingskeys::kDeviceId), id);
    }
    return id;
}
