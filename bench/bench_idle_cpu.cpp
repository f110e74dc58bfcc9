// How much CPU the program uses while it sits in the tray, which is almost
// all of its life: the whole process, hidden window, for a stretch of
// seconds. The baseline is the same window shown with its background
// animation playing, measured in the same run.
//   scripts/test-sandbox.sh env QT_QPA_PLATFORM=offscreen build/bench/bench_idle_cpu [SECONDS]
// (the window starts the network service, so it runs in a private network
// namespace with a scratch home; SECONDS defaults to 60 per phase).
#include "main_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr double kIdleTargetPercent = 0.5;
constexpr int kDefaultSeconds = 60;
constexpr int kSettleMs = 2000;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for ms and returns the CPU used meanwhile, in percent
// of one core.
double measure(int ms)
{
    QElapsedTimer wall;
    const double before = cpuSeconds();
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return 100.0 * (cpuSeconds() - before) / (double(wall.elapsed()) / 1000.0);
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultSeconds;

    MainWindow window;
    window.hide();
    measure(kSettleMs); // start-up work is not idling
    const double hidden = measure(seconds * 1000);

    window.show();
    measure(kSettleMs);
    const double shown = measure(seconds * 1000);

    std::printf(
        "idle_cpu_hidden_percent %.3f baseline_shown_animating_percent %.3f ratio %.3f (over %d s each)\n",
        hidden, shown, shown > 0 ? hidden / shown : 0.0, seconds);
    std::printf("idle target below %.1f%% of one core: %s\n", kIdleTargetPercent,
                hidden < kIdleTargetPercent ? "met" : "MISSED");
    return hidden < kIdleTargetPercent ? 0 : 1;
}
