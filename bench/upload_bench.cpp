// Upload receive throughput and CPU time of the HTTP server against a raw
// TCP-to-file copy of the same bytes with socat followed by an fsync (the
// server syncs every file before it answers), both over loopback in the same
// run: one upload of 1 GiB, four of 256 MiB at once, and 200 of 1 MiB one
// after another; plus the server's memory growth during the 1 GiB uploads.
//   bench_upload LARGE SMALL WORKDIR       (bench/upload_bench.sh makes the
//                                           files and the sandbox)
//   bench_upload --server FOLDER PORT inkernel|buffered
//       the real server with one paired peer, storing into FOLDER, moving
//       bodies as told; started by the above, prints "ready" once it
//       listens, answers "cpu" on stdin with its CPU time, ends with stdin.
// A second server that copies through a buffer shows what the in-kernel
// copy gains, in the same run.
#include "bench_support.h"
#include "http_server.h"
#include "settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr const char *kPeerId = "bench-phone";
constexpr const char *kPeerSecret = "bench-secret";
constexpr std::uint16_t kServerPort = protocol::kHttpPort;
constexpr std::uint16_t kBufferedServerPort = kServerPort + 1;
// Below the ephemeral range, so that no retrying client connects to itself.
constexpr int kBaselinePort = 5400;
constexpr int kRounds = 3;
constexpr int kParallel = 4;
constexpr qint64 kParallelBytes = 256LL * 1024 * 1024;
constexpr int kManyFiles = 200;
constexpr double kTargetThroughputRatio = 0.9;
constexpr double kMaxCpuRatio = 1.2;
constexpr qint64 kMaxResidentGrowthKiB = 8 * 1024;
// How long a client keeps trying to reach a receiver that is not up yet.
constexpr int kConnectPatienceMs = 10000;
constexpr int kAnswerBuffer = 4096;
constexpr int kServerWaitMs = 10000;

// The baseline receivers: per port, a socat that writes one file and a sync
// of it, as often as files are to come. Arguments: folder, first port,
// ports, files per port, socat's buffer size.
constexpr const char *kBaselineScript = R"(
dir=$1 first=$2 ports=$3 files=$4 buffer=$5
k=0
while [ $k -lt $ports ]; do
    (
        n=1
        while [ $n -le $files ]; do
            f=$dir/f$k.$n
            socat -u -b $buffer TCP-LISTEN:$((first + k)),bind=127.0.0.1,reuseaddr OPEN:$f,creat,trunc && sync $f
            n=$((n + 1))
        done
    ) &
    k=$((k + 1))
done
wait
)";

int runServer(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RemoteDevice peer;
    peer.id = QString::fromLatin1(kPeerId);
    peer.sharedSecret = QString::fromLatin1(kPeerSecret);
    peer.paired = true;
    writePairedDevices({peer});

    HttpServer server;
    ServerLimits limits;
    if (std::strcmp(argv[4], "buffered") == 0)
        limits.bodyCopy = DeadlineStream::FileCopy::Buffered;
    server.setLimits(limits);
    server.setReceiveFolder(QString::fromLocal8Bit(argv[2]));
    QObject::connect(&server, &HttpServer::logMessage, &app, [](const QString &line) {
        std::printf("%s\n",
                    line.startsWith(QStringLiteral("HTTP Server aktiv")) ? "ready" : qPrintable(line));
        std::fflush(stdout);
    });
    server.start(std::uint16_t(std::atoi(argv[3])));
    std::thread commands([&app] {
        for (std::string line; std::getline(std::cin, line);) {
            if (line == "cpu") {
                std::printf("cpu %lld\n", bench::cpuMicroseconds(RUSAGE_SELF));
                std::fflush(stdout);
            }
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    const int rc = app.exec();
    commands.join();
    return rc;
}

int connectLoopback(int port)
{
    QElapsedTimer patience;
    patience.start();
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(std::uint16_t(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
            sockaddr_in local{};
            socklen_t length = sizeof local;
            // Retrying a local port with no listener can end in a connection
            // of the socket to itself, which holds the port the receiver needs.
            if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0 &&
                local.sin_port != to.sin_port)
                return fd;
        }
        ::close(fd);
        if (patience.elapsed() > kConnectPatienceMs)
            return -1;
        QThread::usleep(500);
    }
}

bool sendAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Sends the first size bytes of file on a connection of its own: as an
// authorised upload that must be answered "received", or (raw) the bare bytes.
bool upload(int port, int file, qint64 size, bool raw)
{
    const int fd = connectLoopback(port);
    if (fd < 0) {
        std::fprintf(stderr, "bench_upload: no receiver on port %d\n", port);
        return false;
    }
    const QByteArray head = QByteArray("POST /upload HTTP/1.1\r\nX-KAVELTORLink-DeviceId: ") + kPeerId +
                            "\r\nX-KAVELTORLink-Secret: " + kPeerSecret + "\r\nX-Filename: bench.bin\r\n" +
                            "Content-Length: " + QByteArray::number(size) + "\r\n\r\n";
    bool ok = raw || sendAll(fd, head.constData(), std::size_t(head.size()));
    off_t offset = 0;
    while (ok && offset < size)
        ok = ::sendfile(fd, file, &offset, std::size_t(size - offset)) > 0;
    ::shutdown(fd, SHUT_WR);
    QByteArray answer;
    char buffer[kAnswerBuffer];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, n);
    ::close(fd);
    ok = ok && (raw || answer.endsWith(protocol::kBodyReceived));
    if (!ok)
        std::fprintf(stderr, "bench_upload: upload not stored: %s\n", answer.constData());
    return ok;
}

// parallel connections at once, each sending files uploads one after
// another; connection k goes to firstPort + k when raw.
bool uploads(int firstPort, int file, qint64 size, int parallel, int files, bool raw)
{
    std::atomic<bool> ok{true};
    std::vector<std::thread> senders;
    for (int k = 0; k < parallel; ++k) {
        senders.emplace_back([&, k] {
            for (int n = 0; n < files && ok; ++n)
                ok = upload(raw ? firstPort + k : firstPort, file, size, raw) && ok;
        });
    }
    for (std::thread &t : senders)
        t.join();
    return ok;
}

// Sum of the sizes of the files in folder, which are then removed.
qint64 takeStored(const QString &folder)
{
    qint64 bytes = 0;
    QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files)) {
        bytes += info.size();
        QFile::remove(info.filePath());
    }
    return bytes;
}

// One server process, and what it says about itself.
class ServerProcess
{
public:
    ServerProcess(const QString &folder, std::uint16_t port, const char *copy)
        : m_folder(folder), m_port(port)
    {
        QDir().mkpath(folder);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--server"), folder, QString::number(port), QString::fromLatin1(copy)});
    }
    ~ServerProcess()
    {
        m_process.closeWriteChannel();
        m_process.waitForFinished();
    }

    // Waits for a line that starts with prefix; false when none comes.
    bool expect(const QByteArray &prefix, QByteArray *rest = nullptr)
    {
        while (m_process.canReadLine() || m_process.waitForReadyRead(kServerWaitMs)) {
            if (!m_process.canReadLine())
                continue;
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith(prefix)) {
                if (rest)
                    *rest = line.mid(prefix.size());
                return true;
            }
        }
        return false;
    }
    // The server's CPU time so far in microseconds, -1 when it does not say.
    qint64 cpu()
    {
        m_process.write("cpu\n");
        QByteArray value;
        return expect("cpu ", &value) ? value.toLongLong() : -1;
    }

    // Uploads as the contender of a comparison.
    bench::Contender uploading(int file, qint64 size, int parallel, int files)
    {
        return [=, this]() -> std::optional<bench::Run> {
            const std::string pid = std::to_string(m_process.processId());
            const qint64 residentBefore = bench::statusKiB(pid, "VmRSS");
            bench::resetPeakResident(pid);
            const qint64 cpuBefore = cpu();
            QElapsedTimer timer;
            timer.start();
            const bool ok = uploads(m_port, file, size, parallel, files, false);
            const qint64 ns = timer.nsecsElapsed();
            const qint64 used = cpu() - cpuBefore;
            m_growthKiB = std::max(m_growthKiB, bench::statusKiB(pid, "VmHWM") - residentBefore);
            if (!ok || takeStored(m_folder) != size * parallel * files || cpuBefore < 0)
                return std::nullopt;
            return bench::Run{ns, used};
        };
    }
    qint64 growthKiB() const { return m_growthKiB; }

private:
    QString m_folder;
    std::uint16_t m_port;
    QProcess m_process;
    qint64 m_growthKiB = 0;
};

// socat receivers uploading as the contender of a comparison.
bench::Contender socat(const QString &folder, int file, qint64 size, int parallel, int files,
                       const char *buffer = bench::kFastSocatBuffer)
{
    QDir().mkpath(folder);
    return [=]() -> std::optional<bench::Run> {
        const qint64 cpuBefore = bench::cpuMicroseconds(RUSAGE_CHILDREN);
        QElapsedTimer timer;
        timer.start();
        QProcess receivers;
        receivers.setProcessChannelMode(QProcess::ForwardedChannels);
        receivers.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"), QString::fromLatin1(kBaselineScript), QStringLiteral("sh"),
                         folder, QString::number(kBaselinePort), QString::number(parallel),
                         QString::number(files), QString::fromLatin1(buffer)});
        const bool ok = uploads(kBaselinePort, file, size, parallel, files, true);
        receivers.waitForFinished(-1);
        const qint64 ns = timer.nsecsElapsed();
        const qint64 used = bench::cpuMicroseconds(RUSAGE_CHILDREN) - cpuBefore;
        if (!ok || takeStored(folder) != size * parallel * files) {
            std::fprintf(stderr, "bench_upload: the socat baseline failed\n");
            return std::nullopt;
        }
        return bench::Run{ns, used};
    };
}

int runBench(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int large = ::open(argv[1], O_RDONLY);
    const int small = ::open(argv[2], O_RDONLY);
    struct stat largeInfo
    {
    }, smallInfo{};
    if (large < 0 || small < 0 || ::fstat(large, &largeInfo) != 0 || ::fstat(small, &smallInfo) != 0 ||
        largeInfo.st_size < kParallelBytes) {
        std::fprintf(stderr, "bench_upload: %s or %s is missing or too small\n", argv[1], argv[2]);
        return 2;
    }
    const QString work = QString::fromLocal8Bit(argv[3]);
    ServerProcess server(work + "/received", kServerPort, "inkernel");
    ServerProcess buffered(work + "/buffered", kBufferedServerPort, "buffered");
    if (!server.expect("ready") || !buffered.expect("ready")) {
        std::fprintf(stderr, "bench_upload: the servers did not start\n");
        return 1;
    }
    const QString baseline = work + "/baseline";
    const qint64 size = largeInfo.st_size;
    const char *raw = "socat (4 MiB buffers) TCP-to-file + fsync";
    const auto single =
        bench::compare("upload 1 GiB", raw, size, kRounds, server.uploading(large, size, 1, 1),
                       socat(baseline, large, size, 1, 1));
    if (!single)
        return 1;
    const qint64 growth = server.growthKiB();
    std::printf("server peak memory growth during 1 GiB uploads: %lld KiB, limit %lld KiB, ratio %.2f\n",
                growth, kMaxResidentGrowthKiB, double(growth) / double(kMaxResidentGrowthKiB));
    const auto parallel = bench::compare("upload 4 x 256 MiB at once", raw, kParallel * kParallelBytes,
                                         kRounds, server.uploading(large, kParallelBytes, kParallel, 1),
                                         socat(baseline, large, kParallelBytes, kParallel, 1));
    if (!parallel)
        return 1;
    // Four phones at once must not cost the throughput one phone gets.
    const double together = parallel->oursMiBs / single->oursMiBs;
    std::printf(
        "upload 4 at once against one upload: %.0f MiB/s against %.0f MiB/s, ratio %.2f, target >= %.1f\n",
        parallel->oursMiBs, single->oursMiBs, together, kTargetThroughputRatio);
    std::fflush(stdout);
    const bool done =
        bench::compare("upload 1 GiB", "the same server copying through a buffer", size, kRounds,
                       server.uploading(large, size, 1, 1), buffered.uploading(large, size, 1, 1)) &&
        bench::compare("upload 1 GiB", "socat (64 KiB buffers) TCP-to-file + fsync", size, kRounds,
                       server.uploading(large, size, 1, 1),
                       socat(baseline, large, size, 1, 1, bench::kSmallSocatBuffer)) &&
        bench::compare("upload 200 x 1 MiB", "socat + fsync per file", kManyFiles * smallInfo.st_size,
                       kRounds, server.uploading(small, smallInfo.st_size, 1, kManyFiles),
                       socat(baseline, small, smallInfo.st_size, 1, kManyFiles));
    return done && single->throughputRatio >= kTargetThroughputRatio && single->cpuRatio <= kMaxCpuRatio &&
                   together >= kTargetThroughputRatio && growth < kMaxResidentGrowthKiB
               ? 0
               : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--server") == 0)
        return runServer(argc, argv);
    if (argc == 4)
        return runBench(argc, argv);
    std::fprintf(stderr, "usage: %s LARGE SMALL WORKDIR | --server FOLDER PORT inkernel|buffered\n", argv[0]);
    return 2;
}
