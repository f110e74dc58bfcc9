#include "quit_signals.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {
constexpr int kSignals[] = {SIGTERM, SIGINT};
// The self-pipe: the handler writes, the event loop reads.
int pipeEnds[2] = {-1, -1};
// Signals ignored when we were started (a background job of a script) stay ignored.
bool taken[std::size(kSignals)] = {};

extern "C" void onQuitSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

void setHandlers(void (*handler)(int))
{
    struct sigaction action = {}, previous = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (handler == onQuitSignal)
            taken[i] = sigaction(kSignals[i], nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN;
        if (taken[i])
            sigaction(kSignals[i], &action, nullptr);
    }
}
} // namespace

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
    if (::pipe(pipeEnds) != 0)
        return;
    for (const int fd : pipeEnds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); // a full pipe never blocks the handler
    }
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(pipeEnds[0], bytes, sizeof bytes) > 0) {
        }
        // A second Ctrl+C while the clean end hangs ends the program at once.
        setHandlers(SIG_DFL);
        emit quitRequested();
    });
    setHandlers(onQuitSignal);
}

QuitSignals::~QuitSignals()
{
    if (!notifier)
        return;
    setHandlers(SIG_DFL);
    delete notifier;
    for (int &fd : pipeEnds) {
        ::close(fd);
        fd = -1;
    }
}
#else
QuitSignals::QuitSignals(QObject *parent) : QObject(parent) {}
QuitSignals::~QuitSignals() = default;
#endif
