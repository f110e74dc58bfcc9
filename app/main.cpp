#include "command_handler.h"
#include "command_line.h"
#include "main_window.h"
#include "protocol.h"
#include "quit_signals.h"
#include "single_instance.h"
#include "worker_pool.h"

#include <QApplication>
#include <QIcon>
#include <QMetaObject>

#include <cstdio>

namespace {

void nameApplication()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(protocol::kOrganization));
    QCoreApplication::setApplicationName(QString::fromLatin1(protocol::kAppName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(protocol::kAppVersion));
}

// The token a launcher gave this start to bring a window forward with. Read
// before Qt starts: its X11 plugin takes the startup id out of the environment.
QString launcherToken()
{
    const QString wayland = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
    return wayland.isEmpty() ? qEnvironmentVariable("DESKTOP_STARTUP_ID") : wayland;
}

CommandHandler::Answer answerTo(InstanceReply *reply)
{
    using Status = CommandHandler::Status;
    return {reply,
            [reply](int item, int percent, qint64 sent, qint64 total, double speed) {
                instance::Reply r;
                r.type = instance::Reply::Type::Progress;
                r.item = item;
                r.percent = percent;
                r.sent = sent;
                r.total = total;
                r.bytesPerSecond = speed;
                reply->send(r);
            },
            [reply](int item, bool delivered, const QString &text) {
                instance::Reply r;
                r.type = instance::Reply::Type::Item;
                r.item = item;
                r.ok = delivered;
                r.text = text;
                reply->send(r);
            },
            [reply](Status status, const QString &text, const QList<CommandHandler::Phone> &phones) {
                instance::Reply r;
                r.status = status == Status::Ok             ? instance::Status::Ok
                           : status == Status::NotDelivered ? instance::Status::NotDelivered
                           : status == Status::NoSuchPhone  ? instance::Status::NoSuchPhone
                           : status == Status::Unavailable  ? instance::Status::Unavailable
                                                            : instance::Status::Unreadable;
                r.text = text;
                for (const CommandHandler::Phone &p : phones)
                    r.phones.append({p.name, p.id, p.address, p.paired, p.online});
                reply->finish(r);
            }};
}

void answer(CommandHandler &commands, const instance::Request &request, InstanceReply *reply)
{
    const CommandHandler::Options options{request.to, request.wait, request.ask, request.token};
    switch (request.kind) {
    case instance::Kind::Present:
        commands.present(request.token);
        return reply->finish({});
    case instance::Kind::List:
        return commands.list(answerTo(reply));
    case instance::Kind::Send:
        return commands.sendFiles(request.files, request.choose, options, answerTo(reply));
    case instance::Kind::Text:
        return commands.sendText(request.text, options, answerTo(reply));
    case instance::Kind::Clipboard:
        return commands.sendClipboard(options, answerTo(reply));
    }
}

int run(int argc, char **argv)
{
    const QString token = launcherToken();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const cli::Command command = cli::parseCommandLine(arguments);
    if (command.action != cli::Action::Run) {
        // A command needs no display: it works over SSH and in scripts.
        QCoreApplication app(argc, argv);
        nameApplication();
        cli::installGermanParserTexts();
        // Once more, now that Qt's parser speaks German.
        return cli::runCommand(cli::parseCommandLine(arguments), token);
    }

    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/KAVELTORCompanion.ico")));
    // Shells (GNOME's top bar, task lists) link the window to the installed
    // entry by this id: its name and icon instead of the executable's.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.zeltraworks.KaveltorCompanion"));
    nameApplication();
    QApplication::setQuitOnLastWindowClosed(false);

    // Decided before the window exists, so that a second copy never opens a
    // network socket: it asks the first to show itself and ends.
    SingleInstance instance;
    if (!instance.claim()) {
        // Two commands may each have started a copy: the later one just ends.
        if (command.background)
            return 0;
        if (!SingleInstance::handOver(token))
            std::fputs("KAVELTOR Companion läuft bereits, antwortet aber nicht.\n", stderr);
        return 0;
    }
    QuitSignals quitSignals;

    MainWindow window;
    CommandHandler commands(window.commandFlows(), nullptr);
    QObject::connect(&instance, &SingleInstance::requestReceived, &commands,
                     [&commands](const instance::Request &request, InstanceReply *reply) {
                         answer(commands, request, reply);
                     });
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &window, &MainWindow::quitApp);
    // The session manager gets its answer first; the end follows on the loop.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window] {
        QMetaObject::invokeMethod(&window, &MainWindow::quitApp, Qt::QueuedConnection);
    });
    // Started for a command, the program stays behind its icon whatever the desktop.
    if (command.background)
        window.hide();
    else
        window.showAtStart();
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    const int status = run(argc, argv);
    // The window, its services and Qt are gone, goodbyes sent and settings
    // written. A worker still stuck in a stalled file system may yet run:
    // the process ends here, before exit() destroys the globals it may touch.
    WorkerPool::exitNowIfJobsLeftBehind(status);
    return status;
}
