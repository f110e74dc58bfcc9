// Send throughput and CPU time: PeerClient::sendFile to a sink peer on
// loopback against socat copying the same files to the same sink in the
// same run: one file of 1 GiB, four of 256 MiB at once, and 200 of 1 MiB one
// after another. Also checks what a large transfer must not cost: more than
// 101 progress signals, or memory that grows with the file.
//   bench_send LARGE QUARTER SMALL    (bench/send_bench.sh makes the files
//                                      and the sandbox)
#include "bench_support.h"
#include "http_wire.h"
#include "peer_client.h"
#include "settings_store.h"
#include "socket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace {
constexpr int kRounds = 9; // the 1 GiB rows against socat; the others take fewer
constexpr int kFewerRounds = 5;
constexpr int kParallel = 4;
constexpr int kManyFiles = 200;
constexpr double kTargetThroughputRatio = 0.9;
constexpr int kMaxProgressSignals = 101;
constexpr qint64 kMaxResidentGrowthKiB = 8 * 1024;
constexpr std::size_t kSinkBuffer = 256 * 1024;
constexpr std::uint32_t kLoopback = 0x7f000001;
constexpr int kSinkBacklog = 16;
constexpr int kSinkWaitMs = 60000;

// Reads everything one client sends and throws it away: a request with a
// Content-Length body (answered like a phone would), or a raw stream until
// the sender closes. The body bytes it counted.
qint64 drain(const sock::Socket &s)
{
    std::vector<char> buffer(kSinkBuffer);
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
    return body;
}

// The sink peer, run as a process of its own (bench_send --sink) so that
// neither contender shares a process with it; a thread per connection.
// Prints its port, then "DONE <bytes>" per connection, so that a short copy
// cannot look fast.
int sinkMain()
{
    sock::Socket listener = sock::tcpListen(kLoopback, 0, kSinkBacklog, true);
    if (!listener.valid())
        return 1;
    std::printf("PORT %u\n", unsigned(sock::localPort(listener)));
    std::fflush(stdout);
    std::mutex output;
    for (;;) {
        sock::Socket s = sock::tcpAccept(listener, nullptr);
        if (!s.valid())
            continue;
        std::thread([&output, s = std::move(s)] {
            const qint64 body = drain(s);
            const std::lock_guard lock(output);
            std::printf("DONE %lld\n", body);
            std::fflush(stdout);
        }).detach();
    }
}

class Sink
{
public:
    Sink()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--sink")});
        if (m_process.waitForReadyRead(kSinkWaitMs) && m_process.canReadLine())
            m_port = m_process.readLine().trimmed().mid(5).toInt();
    }
    ~Sink()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    int port() const { return m_port; }

    // Whether the next count connections each brought size bytes.
    bool received(int count, qint64 size)
    {
        for (int i = 0; i < count; ++i) {
            while (!m_process.canReadLine()) {
                if (!m_process.waitForReadyRead(kSinkWaitMs))
                    return false;
            }
            const QByteArray line = m_process.readLine().trimmed();
            if (!line.startsWith("DONE ") || line.mid(5).toLongLong() != size) {
                std::fprintf(stderr, "bench_send: the sink got %s of %lld bytes\n", line.constData(), size);
                return false;
            }
        }
        return true;
    }

private:
    QProcess m_process;
    int m_port = 0;
};

// One PeerClient, sending as the contender of a comparison.
class Sender
{
public:
    explicit Sender(Sink &sink) : m_sink(sink)
    {
        m_device.ip = QStringLiteral("127.0.0.1");
        m_device.port = sink.port();
        m_device.name = QStringLiteral("sink");
        m_client.setAddressPolicy(sock::PeerAddressPolicy::LoopbackAllowed); // the sink is on loopback
        // Queued to this thread, which counts them while it waits for events.
        QObject::connect(&m_client, &PeerClient::fileTransferProgress, qApp, [this] { ++m_progress; });
        QObject::connect(&m_client, &PeerClient::fileTransferFinished, qApp, [this] { ++m_finished; });
        QObject::connect(&m_client, &PeerClient::fileTransferFailed, qApp,
                         [this](auto, auto, auto, const QString &reason) { m_failure = reason; });
    }

    // parallel transfers of path at once, files times one after another.
    bench::Contender sending(const QString &path, int parallel, int files)
    {
        const qint64 size = QFileInfo(path).size();
        return [=, this]() -> std::optional<bench::Run> {
            const std::string self = "self";
            const qint64 residentBefore = bench::statusKiB(self, "VmRSS");
            bench::resetPeakResident(self);
            const qint64 cpuBefore = bench::cpuMicroseconds(RUSAGE_SELF);
            QElapsedTimer timer;
            timer.start();
            for (int n = 0; n < files && m_failure.isEmpty(); ++n) {
                m_progress = m_finished = 0;
                for (int k = 0; k < parallel; ++k)
                    m_client.sendFile(m_device, path);
                // Sleeps until a signal arrives; spinning here would steal the
                // CPU from the senders being measured.
                while (m_finished < parallel && m_failure.isEmpty())
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                if (parallel == 1)
                    m_maxProgress = std::max(m_maxProgress, m_progress);
            }
            const qint64 ns = timer.nsecsElapsed();
            const qint64 used = bench::cpuMicroseconds(RUSAGE_SELF) - cpuBefore;
            if (!m_failure.isEmpty() || !m_sink.received(parallel * files, size)) {
                std::fprintf(stderr, "bench_send: sendFile failed: %s\n", qPrintable(m_failure));
                return std::nullopt;
            }
            m_growthKiB = std::max(m_growthKiB, bench::statusKiB(self, "VmHWM") - residentBefore);
            return bench::Run{ns, used};
        };
    }
    int maxProgress() const { return m_maxProgress; }
    qint64 growthKiB() const { return m_growthKiB; }

private:
    Sink &m_sink;
    RemoteDevice m_device;
    PeerClient m_client;
    int m_progress = 0, m_finished = 0, m_maxProgress = 0;
    QString m_failure;
    qint64 m_growthKiB = 0;
};

// socat copying path to the sink, parallel copies at once, files times one
// after another, as the contender of a comparison.
bench::Contender socat(Sink &sink, const QString &path, int parallel, int files,
                       const char *buffer = bench::kFastSocatBuffer)
{
    const qint64 size = QFileInfo(path).size();
    return [=, &sink]() -> std::optional<bench::Run> {
        const QStringList arguments{QStringLiteral("-u"), QStringLiteral("-b"), QString::fromLatin1(buffer),
                                    QStringLiteral("OPEN:%1,rdonly").arg(path),
                                    QStringLiteral("TCP:127.0.0.1:%1").arg(sink.port())};
        const qint64 cpuBefore = bench::cpuMicroseconds(RUSAGE_CHILDREN);
        QElapsedTimer timer;
        timer.start();
        bool ok = true;
        for (int n = 0; n < files && ok; ++n) {
            std::vector<std::unique_ptr<QProcess>> copies;
            for (int k = 0; k < parallel; ++k) {
                copies.push_back(std::make_unique<QProcess>());
                copies.back()->start(QStringLiteral("socat"), arguments);
            }
            for (const auto &copy : copies)
                ok = copy->waitForFinished(-1) && copy->exitCode() == 0 && ok;
        }
        const qint64 ns = timer.nsecsElapsed();
        const qint64 used = bench::cpuMicroseconds(RUSAGE_CHILDREN) - cpuBefore;
        if (!ok || !sink.received(parallel * files, size)) {
            std::fprintf(stderr, "bench_send: socat failed\n");
            return std::nullopt;
        }
        return bench::Run{ns, used};
    };
}
} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::string_view(argv[1]) == "--sink")
        return sinkMain();
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_send LARGE QUARTER SMALL\n");
        return 2;
    }
    const QString large = QString::fromLocal8Bit(argv[1]);
    const QString quarter = QString::fromLocal8Bit(argv[2]);
    const QString small = QString::fromLocal8Bit(argv[3]);
    const qint64 size = QFileInfo(large).size();
    if (size <= 0 || QFileInfo(quarter).size() <= 0 || QFileInfo(small).size() <= 0) {
        std::fprintf(stderr, "bench_send: a file is missing or empty\n");
        return 2;
    }
    Sink sink;
    if (sink.port() == 0) {
        std::fprintf(stderr, "bench_send: the sink did not start\n");
        return 1;
    }
    (void)localDeviceId(); // settings written before anything is measured
    Sender sender(sink);

    const char *raw = "socat (4 MiB buffers) file-to-TCP";
    const auto single = bench::compare("send 1 GiB", raw, size, kRounds, sender.sending(large, 1, 1),
                                       socat(sink, large, 1, 1));
    if (!single)
        return 1;
    std::printf("progress signals: %d, limit %d, ratio %.2f\n", sender.maxProgress(), kMaxProgressSignals,
                double(sender.maxProgress()) / kMaxProgressSignals);
    std::printf("sender memory growth: %lld KiB, limit %lld KiB, ratio %.2f\n", sender.growthKiB(),
                kMaxResidentGrowthKiB, double(sender.growthKiB()) / double(kMaxResidentGrowthKiB));
    std::fflush(stdout);
    const bool done =
        bench::compare("send 1 GiB", "socat (64 KiB buffers) file-to-TCP", size, kFewerRounds,
                       sender.sending(large, 1, 1), socat(sink, large, 1, 1, bench::kSmallSocatBuffer)) &&
        bench::compare("send 4 x 256 MiB at once", raw, kParallel * QFileInfo(quarter).size(), kFewerRounds,
                       sender.sending(quarter, kParallel, 1), socat(sink, quarter, kParallel, 1)) &&
        bench::compare("send 200 x 1 MiB", "socat per file", kManyFiles * QFileInfo(small).size(),
                       kFewerRounds, sender.sending(small, 1, kManyFiles), socat(sink, small, 1, kManyFiles));
    return done && single->throughputRatio >= kTargetThroughputRatio &&
                   sender.maxProgress() <= kMaxProgressSignals && sender.growthKiB() < kMaxResidentGrowthKiB
               ? 0
               : 1;
}
