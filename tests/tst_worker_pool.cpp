// stop() is bounded, and a worker it had to leave behind never reaches its
// owner again; one that may touch its owner anywhere is waited for.
#include "worker_pool.h"

#include <QElapsedTimer>
#include <QtTest>

#include <thread>

class Owner : public QObject
{
    Q_OBJECT

signals:
    void touched(int times);

public:
    int touches = 0;
    WorkerPool pool; // last, as in every owner
};

class WorkerPoolTest : public QObject
{
    Q_OBJECT

private slots:
    void stopWithBlockedWorker_data()
    {
        QTest::addColumn<bool>("leavable");
        QTest::newRow("waits only through its handle") << true;
        QTest::newRow("may touch its owner anywhere") << false;
    }

    void stopWithBlockedWorker()
    {
        QFETCH(bool, leavable);
        static constexpr int kBlockedMs = WorkerPool::kStopWaitMs + 1000;
        const auto reachedOwner = std::make_shared<std::atomic<int>>(-1); // the worker's, not the owner's
        auto *owner = new Owner;
        // Where stop() cannot wake it, as in an fsync to a slow USB stick.
        const auto block = [] { std::this_thread::sleep_for(std::chrono::milliseconds(kBlockedMs)); };
        if (leavable)
            owner->pool.spawn([=](const WorkerPool &pool) {
                block();
                *reachedOwner = pool.withOwner([&] { emit owner->touched(++owner->touches); });
            });
        else
            owner->pool.spawn([=] {
                block();
                *reachedOwner = ++owner->touches;
            });
        QElapsedTimer clock;
        clock.start();
        delete owner;
        const qint64 took = clock.elapsed();
        QTRY_COMPARE_WITH_TIMEOUT(reachedOwner->load(), leavable ? 0 : 1, kBlockedMs);
        QVERIFY2(leavable ? took >= WorkerPool::kStopWaitMs - 50 && took < WorkerPool::kStopWaitMs + 500
                          : took >= kBlockedMs - 50,
                 qPrintable(QString::number(took)));
    }
};

QTEST_GUILESS_MAIN(WorkerPoolTest)
#include "tst_worker_pool.moc"
