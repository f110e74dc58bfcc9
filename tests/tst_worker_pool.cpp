// What stop() waits for, and that a job it leaves behind never reaches its
// owner again.
#include "worker_pool.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <thread>

namespace {
struct Owner
{
    int touches = 0;
    WorkerPool pool; // last, as in every owner
};
// Longer than stop() waits, and where it cannot wake the job, as in an fsync
// to a slow USB stick.
constexpr auto kBlocked = std::chrono::milliseconds(WorkerPool::kStopWaitMs + 1000);
} // namespace

class WorkerPoolTest : public QObject
{
    Q_OBJECT

private slots:
    // stop() waits for a joined job to its end, however long it takes, and
    // leaves a detachable one behind, which never reaches its owner again.
    void stopWithBlockedJobs()
    {
        const auto reached = std::make_shared<std::atomic<int>>(-1); // the job's, not the owner's
        auto *owner = new Owner;
        owner->pool.spawnJoined([owner] {
            std::this_thread::sleep_for(kBlocked);
            ++owner->touches;
        });
        owner->pool.spawnDetachable(
            *owner,
            [](const OwnerHandle<Owner> &handle, const std::shared_ptr<std::atomic<int>> &out) {
                std::this_thread::sleep_for(kBlocked * 2);
                *out = handle.with([](Owner &o) { ++o.touches; });
            },
            reached);
        QElapsedTimer clock;
        clock.start();
        delete owner;
        QVERIFY2(clock.elapsed() >= kBlocked.count() - 50, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(WorkerPool::leftJobsBehind());
        QTRY_COMPARE_WITH_TIMEOUT(reached->load(), 0, kBlocked.count() * 2);
    }

    // Stopping begins only once an owner access under way has ended.
    void requestStopWaitsForOwnerAccess()
    {
        std::atomic<int> step{0}; // 1: inside, 2: leaving
        Owner owner;
        owner.pool.spawnJoined([&] {
            owner.pool.whileRunning([&] {
                step = 1;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                step = 2;
            });
        });
        while (step == 0)
            std::this_thread::yield();
        owner.pool.requestStop();
        QCOMPARE(step.load(), 2);
    }

    // A program whose stop left a job behind ends with its own status at
    // once, without running the destructors of globals the job may touch.
    void endsWithoutGlobalsWhenJobsLeftBehind()
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--leave-a-job-behind")});
        QVERIFY(child.waitForFinished(WorkerPool::kStopWaitMs + 5000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 7);
        QCOMPARE(child.readAllStandardOutput(), QByteArray("stopped\n"));
    }
};

namespace {
// Stands for Qt's globals: its destructor must not run while a job may.
struct Global
{
    ~Global() { std::puts("global destroyed"); }
} g_global;

int leaveAJobBehind()
{
    auto *owner = new Owner;
    owner->pool.spawnDetachable(
        *owner, [](const OwnerHandle<Owner> &) { std::this_thread::sleep_for(kBlocked * 4); });
    delete owner;
    std::puts("stopped");
    WorkerPool::exitNowIfJobsLeftBehind(7);
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--leave-a-job-behind") == 0)
        return leaveAJobBehind();
    QCoreApplication app(argc, argv);
    WorkerPoolTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_worker_pool.moc"
