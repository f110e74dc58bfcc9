// The two ends of the upload benchmark (bench/upload_bench.sh drives them):
//   bench_upload server FOLDER
//       runs the real HTTP server with one paired bench peer, storing into
//       FOLDER; prints "ready" once it listens, runs until killed.
//   bench_upload client PORT FILE COUNT head|raw
//       sends FILE COUNT times over loopback, each on a connection of its own
//       ("head": as an authorised upload, waiting for the server's answer;
//       "raw": the bare bytes, for a plain TCP-to-file receiver), and
//       prints the seconds it took.
#include "http_server.h"
#include "settings_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr const char *kPeerId = "bench-phone";
constexpr const char *kPeerSecret = "bench-secret";
// How long the client keeps trying to reach a receiver that is not up yet.
constexpr int kConnectPatienceMs = 10000;
constexpr int kAnswerBuffer = 4096;

int runServer(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RemoteDevice peer;
    peer.id = QString::fromLatin1(kPeerId);
    peer.sharedSecret = QString::fromLatin1(kPeerSecret);
    peer.paired = true;
    writePairedDevices({peer});

    HttpServer server;
    server.setReceiveFolder(QString::fromLocal8Bit(argv[2]));
    QObject::connect(&server, &HttpServer::logMessage, &app, [](const QString &line) {
        std::printf("%s\n",
                    line.startsWith(QStringLiteral("HTTP Server aktiv")) ? "ready" : qPrintable(line));
        std::fflush(stdout);
    });
    server.start();
    return app.exec();
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

int runClient(char **argv)
{
    const int port = std::atoi(argv[2]);
    const char *path = argv[3];
    const int count = std::atoi(argv[4]);
    const bool withHead = std::strcmp(argv[5], "head") == 0;
    const int file = ::open(path, O_RDONLY);
    struct stat info
    {
    };
    if (file < 0 || ::fstat(file, &info) != 0) {
        std::perror(path);
        return 1;
    }
    const QByteArray head = QByteArray("POST /upload HTTP/1.1\r\nX-KAVELTORLink-DeviceId: ") + kPeerId +
                            "\r\nX-KAVELTORLink-Secret: " + kPeerSecret + "\r\nX-Filename: bench.bin\r\n" +
                            "Content-Length: " + QByteArray::number(qint64(info.st_size)) + "\r\n\r\n";
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        const int fd = connectLoopback(port);
        if (fd < 0) {
            std::fprintf(stderr, "no receiver on port %d\n", port);
            return 1;
        }
        if (withHead && !sendAll(fd, head.constData(), std::size_t(head.size())))
            return 1;
        off_t offset = 0;
        while (offset < info.st_size) {
            if (::sendfile(fd, file, &offset, std::size_t(info.st_size - offset)) <= 0) {
                std::perror("sendfile");
                return 1;
            }
        }
        ::shutdown(fd, SHUT_WR);
        QByteArray answer;
        char buffer[kAnswerBuffer];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, n);
        ::close(fd);
        if (withHead && !answer.endsWith("{\"received\":true}")) {
            std::fprintf(stderr, "upload %d not stored: %s\n", i, answer.constData());
            return 1;
        }
    }
    std::printf("%.6f\n", double(timer.nsecsElapsed()) / 1e9);
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "server") == 0)
        return runServer(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "client") == 0)
        return runClient(argv);
    std::fprintf(stderr, "usage: %s server FOLDER | client PORT FILE COUNT head|raw\n", argv[0]);
    return 2;
}
