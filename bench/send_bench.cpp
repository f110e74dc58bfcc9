// Send throughput: PeerClient::sendFile of one file to a sink peer on
// loopback, against socat copying the same file to the same sink in the same
// run. Also checks what a large transfer must not cost: more than 101
// progress signals, or resident memory that grows with the file.
//   bench_send FILE     (bench/send_bench.sh makes the file and the sandbox)
#include "http_wire.h"
#include "peer_client.h"
#include "settings_store.h"
#include "socket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include <sys/resource.h>

namespace {
constexpr int kRounds = 9; // alternating; the medians count
constexpr double kTargetRatio = 0.9;
constexpr int kMaxProgressSignals = 101;
constexpr qint64 kMaxResidentGrowthKiB = 8 * 1024;
constexpr std::size_t kSinkBuffer = 256 * 1024;
constexpr std::uint32_t kLoopback = 0x7f000001;
constexpr int kSinkWaitMs = 60000;

// The sink peer, run as a process of its own (bench_send --sink) so that
// neither contender shares a process with it. Reads everything a client
// sends and throws it away: a request with a Content-Length body (answered
// like a phone would), or a raw stream until the sender closes. Prints its
// port, then "DONE <bytes>" per connection, so a short copy cannot look fast.
int sinkMain()
{
    sock::Socket listener = sock::tcpListen(kLoopback, 0, 16, true);
    if (!listener.valid())
        return 1;
    std::printf("PORT %u\n", unsigned(sock::localPort(listener)));
    std::fflush(stdout);
    std::vector<char> buffer(kSinkBuffer);
    for (;;) {
        sock::Socket s = sock::tcpAccept(listener, nullptr);
        if (!s.valid())
            continue;
        httpwire::HeadReader reader;
        bool request = false; // an HTTP request rather than a raw stream
        bool first = true;
        qint64 body = 0;
        qint64 length = -1;
        for (;;) {
            const long n = sock::receive(s, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            if (first)
                request = n >= 5 && std::string_view(buffer.data(), 5) == "POST ";
            first = false;
            if (request && reader.state() == httpwire::HeadReader::State::Incomplete) {
                if (reader.feed(buffer.data(), n) != httpwire::HeadReader::State::Complete)
                    continue;
                length = httpwire::headerValue(reader.head(), "Content-Length").toLongLong();
                body = reader.remainder().size();
            } else {
                body += n;
            }
            if (request && body >= length) {
                const QByteArray reply = httpwire::jsonResponse("{\"received\":true}");
                sock::send(s, reply.constData(), std::size_t(reply.size()));
                break;
            }
        }
        std::printf("DONE %lld\n", body);
        std::fflush(stdout);
    }
}

// Waits for the sink's next "DONE" line; the bytes it counted, or -1.
qint64 sinkCount(QProcess &sink)
{
    while (!sink.canReadLine()) {
        if (!sink.waitForReadyRead(kSinkWaitMs))
            return -1;
    }
    const QByteArray line = sink.readLine().trimmed();
    return line.startsWith("DONE ") ? line.mid(5).toLongLong() : -1;
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Makes VmHWM start again from the current resident size.
void resetPeakResident()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// User and system time of this process, or of its waited-for children.
qint64 cpuMicroseconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

qint64 median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double mibPerSecond(qint64 bytes, qint64 ns)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(ns) / 1e9);
}

double msPerGiB(qint64 microseconds, qint64 bytes)
{
    return double(microseconds) / 1000.0 / (double(bytes) / double(1 << 30));
}
} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::string_view(argv[1]) == "--sink")
        return sinkMain();
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_send FILE\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const qint64 size = QFileInfo(path).size();
    if (size <= 0) {
        std::fprintf(stderr, "bench_send: %s is missing or empty\n", argv[1]);
        return 2;
    }

    QProcess sink;
    sink.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sink.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--sink")});
    if (!sink.waitForReadyRead(kSinkWaitMs) || !sink.canReadLine()) {
        std::fprintf(stderr, "bench_send: the sink did not start\n");
        return 1;
    }
    const int sinkPort = sink.readLine().trimmed().mid(5).toInt();

    RemoteDevice device;
    device.ip = QStringLiteral("127.0.0.1");
    device.port = sinkPort;
    device.name = QStringLiteral("sink");
    PeerClient service;
    (void)localDeviceId(); // settings written before anything is measured

    int progressSignals = 0;
    bool finished = false;
    QString failure;
    QObject::connect(&service, &PeerClient::fileTransferProgress, &app, [&] { ++progressSignals; });
    QObject::connect(&service, &PeerClient::fileTransferFinished, &app, [&] { finished = true; });
    QObject::connect(&service, &PeerClient::logMessage, &app,
                     [&](const QString &line) { failure = line; });

    qint64 maxGrowthKiB = 0;
    int maxProgress = 0;
    std::vector<qint64> sendCpu, baselineCpu;

    // Baseline: socat copies the file to the same sink. Nanoseconds, or -1.
    auto runBaseline = [&]() -> qint64 {
        const qint64 cpuBefore = cpuMicroseconds(RUSAGE_CHILDREN);
        QElapsedTimer timer;
        timer.start();
        const int rc = QProcess::execute(QStringLiteral("socat"),
                                         {QStringLiteral("-u"), QStringLiteral("-b"), QStringLiteral("65536"),
                                          QStringLiteral("OPEN:%1,rdonly").arg(path),
                                          QStringLiteral("TCP:127.0.0.1:%1").arg(sinkPort)});
        const qint64 received = rc == 0 ? sinkCount(sink) : -1;
        const qint64 ns = timer.nsecsElapsed();
        if (received != size) {
            std::fprintf(stderr, "bench_send: socat failed (exit %d, %lld bytes)\n", rc, received);
            return -1;
        }
        baselineCpu.push_back(cpuMicroseconds(RUSAGE_CHILDREN) - cpuBefore);
        return ns;
    };

    // The program's own send path, from the call to the finished signal.
    auto runSend = [&]() -> qint64 {
        progressSignals = 0;
        finished = false;
        const qint64 residentBefore = statusKiB("VmRSS:");
        resetPeakResident();
        const qint64 cpuBefore = cpuMicroseconds(RUSAGE_SELF);
        QElapsedTimer timer;
        timer.start();
        service.sendFile(device, path);
        // Sleeps until a signal arrives; spinning here would steal the CPU
        // from the sender being measured.
        while (!finished && failure.isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const qint64 ns = timer.nsecsElapsed();
        sendCpu.push_back(cpuMicroseconds(RUSAGE_SELF) - cpuBefore);
        if (!failure.isEmpty() || sinkCount(sink) != size) {
            std::fprintf(stderr, "bench_send: sendFile failed: %s\n", qPrintable(failure));
            return -1;
        }
        maxGrowthKiB = std::max(maxGrowthKiB, statusKiB("VmHWM:") - residentBefore);
        maxProgress = std::max(maxProgress, progressSignals);
        return ns;
    };

    std::vector<qint64> sendTimes, baselineTimes, ratios;
    for (int round = 0; round < kRounds; ++round) {
        // Alternating who goes first, so that neither always finds the
        // machine warmed up (or busied) by the other.
        qint64 sendNs, baselineNs;
        if (round % 2 == 0) {
            baselineNs = runBaseline();
            sendNs = runSend();
        } else {
            sendNs = runSend();
            baselineNs = runBaseline();
        }
        if (sendNs < 0 || baselineNs < 0)
            return 1;
        std::fprintf(stderr, "round %d: send %.0f MiB/s, socat %.0f MiB/s\n", round + 1,
                     mibPerSecond(size, sendNs), mibPerSecond(size, baselineNs));
        sendTimes.push_back(sendNs);
        baselineTimes.push_back(baselineNs);
        ratios.push_back(baselineNs * 1000 / sendNs); // per mille
    }

    // Medians: other work on a shared machine makes single runs swing widely
    // in both directions. The ratio is the median of the rounds' ratios, as
    // the two runs of one round saw much the same machine.
    const double send = mibPerSecond(size, median(sendTimes));
    const double baseline = mibPerSecond(size, median(baselineTimes));
    const double ratio = double(median(ratios)) / 1000.0;
    std::printf("send throughput: %.0f MiB/s, baseline socat file-to-TCP: %.0f MiB/s, ratio %.2f "
                "(target >= %.1f; medians of %d rounds)\n",
                send, baseline, ratio, kTargetRatio, kRounds);
    // CPU time per byte hardly depends on what else the machine runs.
    const qint64 ownCpu = median(sendCpu), socatCpu = median(baselineCpu);
    std::printf("sender CPU time: %.0f ms/GiB, baseline socat: %.0f ms/GiB, ratio %.2f (higher is better)\n",
                msPerGiB(ownCpu, size), msPerGiB(socatCpu, size),
                double(socatCpu) / double(std::max<qint64>(1, ownCpu)));
    std::printf("progress signals: %d, limit %d, ratio %.2f\n", maxProgress, kMaxProgressSignals,
                double(maxProgress) / kMaxProgressSignals);
    std::printf("resident memory growth: %lld KiB, limit %lld KiB, ratio %.2f\n", maxGrowthKiB,
                kMaxResidentGrowthKiB, double(maxGrowthKiB) / double(kMaxResidentGrowthKiB));
    sink.kill();
    sink.waitForFinished();
    const bool ok =
        ratio >= kTargetRatio && maxProgress <= kMaxProgressSignals && maxGrowthKiB < kMaxResidentGrowthKiB;
    return ok ? 0 : 1;
}
