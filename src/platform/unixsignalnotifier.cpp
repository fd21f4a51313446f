#include "unixsignalnotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignalNotifier::UnixSignalNotifier(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
    , m_signals(signalNumbers)
{
    Q_ASSERT_X(g_pipe[0] < 0, "UnixSignalNotifier", "only one instance per process");
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalNotifier::drain);
    for (int sig : m_signals) {
        struct sigaction sa = {};
        sa.sa_handler = forwardSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(sig, &sa, nullptr);
    }
}

UnixSignalNotifier::~UnixSignalNotifier()
{
    for (int sig : m_signals)
        ::signal(sig, SIG_DFL);
    if (g_pipe[0] >= 0) {
        ::close(g_pipe[0]);
        ::close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
    }
}

void UnixSignalNotifier::drain()
{
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::read(g_pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            Q_EMIT signalReceived(bytes[i]);
    }
}
