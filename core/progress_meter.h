// Progress of one transfer, in either direction: reported at each new whole
// percent, with the average speed so far in bytes per second.
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

class ProgressMeter
{
public:
    // The speed is reported as 0 until this much time has passed, when an
    // average over so short a time would mostly be noise.
    static constexpr qint64 kWarmUpMs = 300;
    // The unit of the speeds the services report (MB/s) and of the sizes
    // shown to users.
    static constexpr double kBytesPerMiB = 1024.0 * 1024.0;

    explicit ProgressMeter(qint64 total) : m_total(total) { m_clock.start(); }

    // True, with the values to report, when done reaches a new whole percent.
    bool advance(qint64 done, int *percent, double *bytesPerSecond)
    {
        const int now = m_total > 0 ? int(done * 100 / m_total) : 100;
        if (now == m_last)
            return false;
        m_last = now;
        *percent = now;
        const qint64 elapsed = m_clock.elapsed();
        *bytesPerSecond = elapsed > kWarmUpMs ? double(done) * 1000.0 / double(elapsed) : 0.0;
        return true;
    }

private:
    qint64 m_total;
    int m_last = -1;
    QElapsedTimer m_clock;
};
