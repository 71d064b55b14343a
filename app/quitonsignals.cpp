#include "quitonsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int quitSignals[] = {SIGTERM, SIGHUP, SIGINT};

// A signal handler reaches nothing but what lives at namespace scope; it only wakes the
// event loop, which does the rest.
int signalWriteFd = -1;

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalWriteFd, &byte, 1);
    errno = saved;
}

void setHandler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : quitSignals)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

QuitOnSignals::QuitOnSignals(QObject *parent)
    : QObject(parent)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    readFd = fds[0];
    writeFd = fds[1];
    signalWriteFd = writeFd;
    auto *notifier = new QSocketNotifier(readFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        char bytes[16];
        while (::read(readFd, bytes, sizeof bytes) > 0) {
        }
        notifier->setEnabled(false);
        setHandler(SIG_DFL);
        // Every event loop, the start-up notice's included.
        QCoreApplication::exit(0);
    });
    setHandler(onSignal);
}

QuitOnSignals::~QuitOnSignals()
{
    if (writeFd < 0)
        return;
    setHandler(SIG_DFL);
    signalWriteFd = -1;
    ::close(readFd);
    ::close(writeFd);
}
