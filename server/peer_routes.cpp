// The routes only paired peers may use: a short text message, and a file
// upload that is streamed into the receive folder.
#include "deadline_stream.h"
#include "file_store.h"
#include "http_server.h"
#include "http_wire.h"
#include "progress_meter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStorageInfo>

#include <algorithm>

namespace {
// Bytes asked of the socket per read of a message body.
constexpr std::size_t kMessageReadChunk = 8192;
} // namespace

// True when the head carries the device id and shared secret of a paired
// phone; the window then learns where that phone proved itself.
bool HttpServer::isAuthorized(const Connection &c, const QByteArray &head)
{
    const QString id = httpwire::headerValue(head, protocol::kHeaderDeviceId);
    const QString secret = httpwire::headerValue(head, protocol::kHeaderSecret);
    bool accepted = false;
    c.server.with([&](HttpServer &server) {
        accepted = server.m_credentials->accepts(id, secret);
        if (accepted)
            emit server.peerAuthenticated(id, QString::fromStdString(sock::formatIPv4(c.peer)));
    });
    return accepted;
}

void HttpServer::handleMessageRoute(const Connection &c, const QByteArray &head, const QByteArray &remainder)
{
    const DeadlineStream &stream = c.stream;
    if (!isAuthorized(c, head)) {
        answer(stream, protocol::kBodyUnauthorized);
        return;
    }
    QByteArray body = remainder;
    // With a declared length the whole text is read, however it was cut into
    // segments; without one, what came with the head is the message. Framing
    // that cannot be trusted is a length problem, and the peer is told so as
    // an upload's would be.
    const httpwire::BodyLength length = httpwire::contentLength(head);
    if (length.kind == httpwire::BodyLength::Kind::Invalid) {
        answer(stream, protocol::kBodyInvalidLength);
        return;
    }
    if (length.kind == httpwire::BodyLength::Kind::Declared) {
        if (length.bytes > protocol::kMaxMessageBytes) {
            answer(stream, protocol::kBodyMessageTooLarge);
            return;
        }
        body.truncate(length.bytes);
        char buffer[kMessageReadChunk];
        while (body.size() < length.bytes) {
            const std::size_t wanted = std::min<std::size_t>(sizeof buffer, length.bytes - body.size());
            const long n = stream.readSome(buffer, wanted, c.limits.bodyIdleTimeoutMs);
            if (n <= 0) {
                // A cut text is not delivered as if it were the message.
                answer(stream, protocol::kBodyIncomplete);
                return;
            }
            body.append(buffer, n);
        }
    }
    const QString id = httpwire::headerValue(head, protocol::kHeaderDeviceId);
    c.server.with([&](HttpServer &server) { emit server.messageReceived(QString::fromUtf8(body), id); });
    answer(stream, protocol::kBodyReceived);
}

void HttpServer::handleUploadRoute(const Connection &c, const QByteArray &head, const QByteArray &remainder)
{
    const DeadlineStream &stream = c.stream;
    if (!isAuthorized(c, head)) {
        answer(stream, protocol::kBodyUnauthorized);
        return;
    }
    const QString name = filestore::sanitizeFileName(httpwire::headerValue(head, protocol::kHeaderFileName));
    const httpwire::BodyLength length = httpwire::contentLength(head);
    if (length.kind != httpwire::BodyLength::Kind::Declared || length.bytes <= 0) {
        answer(stream, protocol::kBodyInvalidLength);
        return;
    }
    receiveUpload(c, httpwire::headerValue(head, protocol::kHeaderDeviceId), name, length.bytes, remainder);
}

void HttpServer::receiveUpload(const Connection &c, const QString &deviceId, const QString &name,
                               qint64 length, const QByteArray &remainder)
{
    QFile file;
    const QString target = placeUpload(c, name, length, file);
    if (target.isEmpty() || !receiveBody(c, file, name, length, remainder))
        return;
    const QString stored = filestore::finalize(file, target, name, c.limits.fileSystem);
    if (stored.isEmpty())
        return answer(c.stream, protocol::kBodyFinalizeFailed);
    c.server.with([&](HttpServer &server) {
        emit server.receiveNotice(QStringLiteral("Datei empfangen: ") + stored);
        emit server.fileReceiveFinished(QFileInfo(stored).fileName());
        emit server.fileStored(stored, length, deviceId);
    });
    answer(c.stream, protocol::kBodyReceived);
}

QString HttpServer::placeUpload(const Connection &c, const QString &name, qint64 length, QFile &file)
{
    // Read once: a folder changed meanwhile applies to later uploads.
    QString folder;
    c.server.with([&](HttpServer &server) { folder = server.receiveFolder(); });
    // Never a path relative to the file system root or the working folder.
    QString target;
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        // A body that cannot fit is refused before a byte of it lands on disk.
        const qint64 available = QStorageInfo(folder).bytesAvailable();
        if (available >= 0 && length > available) {
            const QLocale german(QLocale::German);
            c.server.with([&](HttpServer &server) {
                emit server.logMessage(
                    QStringLiteral("Nicht genug Speicherplatz für %1: %2 Bytes nötig, %3 Bytes frei.")
                        .arg(name, german.toString(length), german.toString(available)));
            });
        } else {
            target = filestore::placeTemporary(folder, name, file);
        }
    }
    if (target.isEmpty())
        answer(c.stream, protocol::kBodyWriteFailed);
    return target;
}

bool HttpServer::receiveBody(const Connection &c, QFile &file, const QString &name, qint64 length,
                             const QByteArray &remainder)
{
    ProgressMeter meter(length);
    qint64 received = 0;
    const auto stored = [&](qint64 n) {
        received += n;
        int percent = 0;
        double speed = 0.0;
        if (meter.advance(received, &percent, &speed))
            c.server.with([&](HttpServer &server) {
                emit server.fileReceiveProgress(percent, received, length, speed);
            });
    };
    const qint64 first = std::min<qint64>(remainder.size(), length);
    if (first > 0) {
        if (file.write(remainder.constData(), first) != first) {
            file.close();
            file.remove();
            answer(c.stream, protocol::kBodyWriteFailed);
            return false;
        }
        stored(first);
    }
    if (!c.stream.readToFile(file, length - received, c.limits.bodyIdleTimeoutMs, c.limits.bodyCopy,
                             stored)) {
        file.close();
        file.remove();
        // Quitting is not a failed transfer worth telling the user, and
        // with() does not tell it then.
        c.server.with([&](HttpServer &server) {
            emit server.receiveNotice(QStringLiteral("Transfer abgebrochen: ") + name);
            emit server.fileReceiveAborted(name);
        });
        answer(c.stream, protocol::kBodyIncomplete);
        return false;
    }
    return true;
}
