// The client side of the command line: checks what it can itself, hands the
// request to the running copy and turns the answers into output and a status.
#include "command_line.h"
#include "single_instance.h"
#include "transfer_format.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>

#include <cstdio>
#include <memory>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {
namespace {

const char *const kProgram = "kaveltor-companion";

void print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int fail(int status, const QString &text)
{
    print(stderr, QString::fromLatin1(kProgram) + QStringLiteral(": ") + text + QLatin1Char('\n'));
    return status;
}

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

QString phoneLine(const instance::Phone &p)
{
    return QStringList{p.name, p.id, p.address.isEmpty() ? QStringLiteral("-") : p.address,
                       p.paired ? QStringLiteral("gepaired") : QStringLiteral("nicht gepaired"),
                       p.online ? QStringLiteral("online") : QStringLiteral("offline")}
        .join(QLatin1Char('\t'));
}

// The text to send: the argument, or standard input for "-".
std::optional<QString> textOf(const Command &command)
{
    if (!command.textFromStdin)
        return command.text;
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = in.read(instance::kMaxTextBytes + 1);
    if (bytes.endsWith('\n')) // what `echo` and here-documents add
        bytes.chop(1);
    if (bytes.size() > instance::kMaxTextBytes)
        return std::nullopt;
    return QString::fromUtf8(bytes);
}

// Started for a command: hidden, in the home folder (not holding on to the
// folder the command ran in), its output not tied to this terminal.
void startProgram()
{
    QProcess process;
    process.setProgram(QCoreApplication::applicationFilePath());
    process.setArguments({QStringLiteral("--background")});
    process.setWorkingDirectory(QDir::homePath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.startDetached();
}

} // namespace

int runCommand(const Command &command, const QString &token)
{
    switch (command.action) {
    case Action::Help:
        print(stdout, helpText());
        return kExitOk;
    case Action::Version:
        print(stdout, QString::fromLatin1(kProgram) + QLatin1Char(' ') +
                          QCoreApplication::applicationVersion() + QLatin1Char('\n'));
        return kExitOk;
    case Action::Usage:
        fail(kExitUsage, command.error);
        print(stderr, QStringLiteral("\u201ekaveltor-companion --help\u201c zeigt alle Optionen.\n"));
        return kExitUsage;
    case Action::Run:
        return kExitOk; // not a command
    case Action::Send:
    case Action::Text:
    case Action::Clipboard:
    case Action::List:
        break;
    }

    instance::Request request;
    request.kind = command.action == Action::Send   ? instance::Kind::Send
                   : command.action == Action::Text ? instance::Kind::Text
                   : command.action == Action::List ? instance::Kind::List
                                                    : instance::Kind::Clipboard;
    request.to = command.to;
    request.wait = command.wait;
    request.ask = command.ask;
    request.choose = command.choose;
    request.token = token;
    // The running copy has another working folder: paths go absolute.
    for (const QString &path : command.files) {
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
            return fail(kExitUnreadable, QStringLiteral("Datei nicht lesbar: ") + path);
        request.files.append(QFileInfo(path).absoluteFilePath());
    }
    if (command.action == Action::Text) {
        const std::optional<QString> text = textOf(command);
        if (!text || text->isEmpty())
            return fail(kExitUsage, !text ? QStringLiteral("Der Text auf der Standardeingabe ist zu lang.")
                                          : QStringLiteral("Der Text ist leer."));
        request.text = *text;
    }
    const QByteArray line = instance::serialize(request);
    if (line.size() > instance::kMaxLineBytes)
        return fail(kExitUsage, QStringLiteral("Zu viele Dateien auf einmal."));

    std::unique_ptr<QLocalSocket> socket = SingleInstance::connectToRunning(kConnectMs);
    if (!socket) {
        startProgram();
        socket = SingleInstance::connectToRunning(kStartWaitMs);
    }
    if (!socket)
        return fail(kExitNotReachable,
                    QStringLiteral("KAVELTOR Companion läuft nicht und ließ sich nicht starten."));
    socket->write(line);

    const bool progressShown = command.wait && stderrIsTerminal();
    bool progressOpen = false;
    const auto endProgress = [&progressOpen] {
        if (progressOpen)
            print(stderr, QStringLiteral("\r\x1b[K"));
        progressOpen = false;
    };
    QByteArray buffer;
    for (;;) {
        const instance::Framed framed = instance::takeLine(buffer);
        if (framed.state == instance::Framed::State::Incomplete) {
            if (!socket->waitForReadyRead(-1) && socket->bytesAvailable() == 0)
                break; // closed without a closing answer
            buffer.append(socket->readAll());
            continue;
        }
        buffer.remove(0, framed.consumed);
        const instance::Parsed<instance::Reply> parsed = instance::parseReply(framed.line);
        if (framed.state == instance::Framed::State::TooLong || !parsed.value)
            break;
        const instance::Reply &reply = *parsed.value;
        const QString name =
            reply.item < request.files.size() ? QFileInfo(request.files[reply.item]).fileName() : QString();
        switch (reply.type) {
        case instance::Reply::Type::Progress:
            if (progressShown) {
                print(stderr, QStringLiteral("\r\x1b[K%1 %2 % \u2013 %3")
                                  .arg(name)
                                  .arg(reply.percent)
                                  .arg(sendingLine(reply.sent, reply.total, reply.bytesPerSecond)));
                progressOpen = true;
            }
            break;
        case instance::Reply::Type::Item:
            endProgress();
            print(reply.ok ? stdout : stderr, reply.text + QLatin1Char('\n'));
            break;
        case instance::Reply::Type::Done:
            endProgress();
            if (reply.status == instance::Status::Ok) {
                for (const instance::Phone &p : reply.phones)
                    print(stdout, phoneLine(p) + QLatin1Char('\n'));
                if (command.action == Action::List && reply.phones.isEmpty())
                    print(stderr, QStringLiteral("Keine Handys bekannt.\n"));
                if (!reply.text.isEmpty())
                    print(stdout, reply.text + QLatin1Char('\n'));
                return kExitOk;
            }
            if (reply.status == instance::Status::Version || reply.status == instance::Status::Malformed)
                return fail(kExitNotReachable,
                            QStringLiteral("Das laufende Programm ist eine andere Version; "
                                           "bitte beenden und neu starten."));
            fail(exitStatus(reply.status), reply.text);
            if (!reply.phones.isEmpty()) {
                print(stderr, QStringLiteral("Zur Wahl:\n"));
                for (const instance::Phone &p : reply.phones)
                    print(stderr, QStringLiteral("  ") + phoneLine(p) + QLatin1Char('\n'));
            }
            return exitStatus(reply.status);
        }
    }
    endProgress();
    return fail(kExitNotReachable,
                QStringLiteral("Das Programm hat die Verbindung beendet, ohne zu antworten."));
}

} // namespace cli
