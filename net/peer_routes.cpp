// The routes only paired peers may use: a short text message, and a file
// upload that is streamed into the receive folder.
#include "file_store.h"
#include "http_wire.h"
#include "network_service.h"
#include "settings_store.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <memory>

namespace {
const QByteArray kUnauthorized = QByteArrayLiteral("{\"error\":\"unauthorized\"}");
const QByteArray kReceived = QByteArrayLiteral("{\"received\":true}");
const QByteArray kInvalidLength = QByteArrayLiteral("{\"error\":\"invalid content length\"}");
const QByteArray kMessageTooLarge = QByteArrayLiteral("{\"error\":\"message too large\"}");
const QByteArray kWriteFailed = QByteArrayLiteral("{\"error\":\"write failed\"}");
const QByteArray kIncomplete = QByteArrayLiteral("{\"error\":\"transfer incomplete\"}");
const QByteArray kFinalizeFailed = QByteArrayLiteral("{\"error\":\"finalize failed\"}");

// Random temporary names tried before giving up on creating one.
constexpr int kTempNameAttempts = 16;
// The speed is reported as 0 until this much time has passed, when an
// average over so short a time would mostly be noise.
constexpr double kSpeedWarmUpSeconds = 0.3;

QString pathIn(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// Creates a temporary file beside target that no other upload can share:
// a random element in its name, and created only if it did not exist.
bool openExclusiveTemp(const QString &target, QFile &file)
{
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        const QString unique =
            QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0');
        file.setFileName(target + QLatin1Char('.') + unique + QStringLiteral(".part"));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            return true;
        if (!file.exists())
            return false; // not a name clash: the folder is unusable
    }
    return false;
}

// Progress of one upload, signalled at each new whole percent.
class ProgressSteps
{
public:
    explicit ProgressSteps(qint64 total) : m_total(total) { m_timer.start(); }

    // Returns true, with the values to signal, when the percent changed.
    bool step(qint64 received, int *percent, double *speed)
    {
        const int now = int(received * 100 / m_total);
        if (now == m_last)
            return false;
        m_last = now;
        *percent = now;
        const double seconds = double(m_timer.elapsed()) / 1000.0;
        *speed = seconds > kSpeedWarmUpSeconds ? double(received) / seconds : 0.0;
        return true;
    }

private:
    qint64 m_total;
    int m_last = -1;
    QElapsedTimer m_timer;
};
} // namespace

bool NetworkService::isAuthorized(const QByteArray &head)
{
    const QString id = httpwire::headerValue(head, "X-KAVELTORLink-DeviceId");
    const QString secret = httpwire::headerValue(head, "X-KAVELTORLink-Secret");
    if (id.isEmpty() || secret.isEmpty())
        return false;
    // A matching id with another secret does not end the scan: the same
    // peer may be stored twice after pairing again.
    const QList<RemoteDevice> paired = readPairedDevices();
    return std::any_of(paired.cbegin(), paired.cend(), [&](const RemoteDevice &device) {
        return device.id == id && filestore::secretsEqual(device.sharedSecret, secret);
    });
}

long NetworkService::receiveBody(const sock::Socket &socket, char *buffer, std::size_t capacity) const
{
    for (;;) {
        const long n = sock::receive(socket, buffer, capacity);
        if (n != sock::kIoWouldBlock)
            return n;
        // Only waits when nothing is buffered, so a streaming body costs one
        // call per read.
        if (waitReadable(socket, QDeadlineTimer(m_limits.bodyIdleTimeoutMs)) != sock::Readiness::Ready)
            return sock::kIoError;
    }
}

void NetworkService::handleMessageRoute(const sock::Socket &socket, const QByteArray &head,
                                        const QByteArray &remainder)
{
    if (!isAuthorized(head)) {
        sendJsonResponse(socket, kUnauthorized);
        return;
    }
    QByteArray body = remainder;
    // With a declared length the whole text is read, however it was cut into
    // segments; without one, what came with the head is the message.
    const QString lengthText = httpwire::headerValue(head, "Content-Length");
    bool numeric = false;
    const qint64 length = lengthText.toLongLong(&numeric, 10);
    if (numeric && length >= 0) {
        if (length > kMaxMessageBytes) {
            sendJsonResponse(socket, kMessageTooLarge);
            return;
        }
        body.truncate(length);
        sock::setNonBlocking(socket, true);
        char buffer[8192];
        while (body.size() < length) {
            const long n =
                receiveBody(socket, buffer, std::min<std::size_t>(sizeof buffer, length - body.size()));
            if (n <= 0) {
                // A cut text is not delivered as if it were the message.
                sendJsonResponse(socket, kIncomplete);
                return;
            }
            body.append(buffer, n);
        }
    }
    emit messageReceived(QString::fromUtf8(body));
    sendJsonResponse(socket, kReceived);
}

void NetworkService::handleUploadRoute(const sock::Socket &socket, const QByteArray &head,
                                       const QByteArray &remainder)
{
    if (!isAuthorized(head)) {
        sendJsonResponse(socket, kUnauthorized);
        return;
    }
    const QString name = filestore::sanitizeFileName(httpwire::headerValue(head, "X-Filename"));
    bool numeric = false;
    qint64 length = httpwire::headerValue(head, "Content-Length").toLongLong(&numeric, 10);
    if (!numeric)
        length = 0;
    if (length <= 0) {
        sendJsonResponse(socket, kInvalidLength);
        return;
    }
    receiveUpload(socket, name, length, remainder);
}

void NetworkService::receiveUpload(const sock::Socket &socket, const QString &name, qint64 length,
                                   const QByteArray &remainder)
{
    // Read once: a folder changed meanwhile applies to later uploads.
    const QString folder = receiveFolder();
    if (folder.isEmpty()) {
        // Never a path relative to the file system root or the working folder.
        sendJsonResponse(socket, kWriteFailed);
        return;
    }
    QDir().mkpath(folder);
    const auto isTaken = [&folder](const QString &candidate) {
        return QFileInfo::exists(pathIn(folder, candidate));
    };
    QString finalName = filestore::chooseFreeName(name, isTaken);
    QString target = pathIn(folder, finalName);

    QFile file;
    if (!openExclusiveTemp(target, file)) {
        sendJsonResponse(socket, kWriteFailed);
        return;
    }
    ProgressSteps progress(length);
    qint64 received = 0;
    const auto reportProgress = [&] {
        int percent = 0;
        double speed = 0.0;
        if (progress.step(received, &percent, &speed))
            emit fileReceiveProgress(percent, received, length, speed);
    };
    const auto discard = [&file] {
        file.close();
        file.remove();
    };

    if (!remainder.isEmpty()) {
        const qint64 first = std::min<qint64>(remainder.size(), length);
        if (file.write(remainder.constData(), first) != first) {
            discard();
            sendJsonResponse(socket, kWriteFailed);
            return;
        }
        received = first;
        reportProgress();
    }

    if (received < length) {
        sock::setNonBlocking(socket, true);
        const auto buffer = std::make_unique<char[]>(kUploadReadChunk);
        while (received < length) {
            const long n = receiveBody(socket, buffer.get(), kUploadReadChunk);
            const qint64 wanted = n > 0 ? std::min<qint64>(n, length - received) : 0;
            if (n <= 0 || file.write(buffer.get(), wanted) != wanted) {
                discard();
                // Quitting is not a failed transfer worth telling the user.
                if (isRunning())
                    emit messageReceived(QStringLiteral("Transfer abgebrochen: ") + name);
                sendJsonResponse(socket, kIncomplete);
                return;
            }
            received += wanted;
            reportProgress();
        }
    }

    // The peer may delete its copy once told "received": the bytes must be
    // on stable storage before the file gets its name.
    if (!filestore::syncToStorage(file)) {
        discard();
        sendJsonResponse(socket, kFinalizeFailed);
        return;
    }
    file.close();
    for (int attempt = 1;; ++attempt) {
        const filestore::MoveResult moved = filestore::moveNoReplace(file.fileName(), target);
        if (moved == filestore::MoveResult::Moved)
            break;
        // Another upload, or the user, took the name meanwhile: never replace
        // that file and never drop this one, take the next free name.
        if (moved == filestore::MoveResult::Failed || attempt >= filestore::kMaxFinalizeAttempts) {
            file.remove();
            sendJsonResponse(socket, kFinalizeFailed);
            return;
        }
        finalName = filestore::chooseFreeName(name, isTaken);
        target = pathIn(folder, finalName);
    }
    emit messageReceived(QStringLiteral("Datei empfangen: ") + target);
    emit fileReceiveFinished(finalName);
    sendJsonResponse(socket, kReceived);
}
