#include "ptyprocess.h"

#include <QDebug>
#include <QFileInfo>
#include <QHash>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// One read buffer serves every pseudo-terminal: all reads happen on the main thread, and each
// delivered block is copied out at its exact size, so history does not carry slack capacity.
constexpr qsizetype ReadBufferSize = 64 * 1024;
// How much one wake-up of the event loop reads from one terminal before others get their turn.
constexpr qsizetype ReadBudgetPerWakeup = 1024 * 1024;

int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    Q_UNUSED(pid);
    errno = ENOSYS;
    return -1;
#endif
}

/// Waits for children whose owners no longer care how they end, so that none stays a zombie.
/// Lives for the whole process, like the children it may outlive.
class ChildReaper : public QObject
{
public:
    static ChildReaper &instance()
    {
        static auto *reaper = new ChildReaper; // never released: see class comment
        return *reaper;
    }

    void adopt(pid_t pid, int pidFd)
    {
        if (reapNow(pid)) {
            if (pidFd >= 0)
                ::close(pidFd);
            return;
        }
        if (pidFd >= 0) {
            auto *notifier = new QSocketNotifier(pidFd, QSocketNotifier::Read, this);
            QObject::connect(notifier, &QSocketNotifier::activated, this, [pid, pidFd, notifier] {
                if (!reapNow(pid))
                    return;
                notifier->setEnabled(false);
                notifier->deleteLater();
                ::close(pidFd);
            });
            return;
        }
        m_polled.push_back(pid);
        if (!m_pollTimer) {
            m_pollTimer = new QTimer(this);
            m_pollTimer->setInterval(500);
            QObject::connect(m_pollTimer, &QTimer::timeout, this, [this] {
                std::erase_if(m_polled, [](pid_t p) { return reapNow(p); });
                if (m_polled.empty())
                    m_pollTimer->stop();
            });
        }
        m_pollTimer->start();
    }

    /// True when `pid` has been reaped (now or by someone else before).
    static bool reapNow(pid_t pid)
    {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        return r == pid || (r < 0 && errno == ECHILD);
    }

private:
    std::vector<pid_t> m_polled;
    QTimer *m_pollTimer = nullptr;
};

} // namespace

PtyProcess::PtyProcess(PtyProcessDelegate *delegate, QObject *parent)
    : QObject(parent)
    , m_delegate(delegate)
{
}

PtyProcess::~PtyProcess()
{
    terminate();
}

quint16 PtyProcess::clampDimension(qint64 value)
{
    return static_cast<quint16>(std::clamp<qint64>(value, 0, 65535));
}

bool PtyProcess::start(const QString &executable, const QStringList &arguments,
                       const QStringList &environment, const QString &workingDirectory)
{
    if (isStarted())
        return true;

    auto fail = [this](const char *what) {
        const int err = errno;
        qWarning().noquote() << "[Pty] Failed to start shell:" << what << std::strerror(err);
        if (m_masterFd >= 0) {
            ::close(m_masterFd);
            m_masterFd = -1;
        }
        m_startFailed = true;
        // Reported like an exit so that the owner does not wait forever for a shell that never ran.
        QTimer::singleShot(0, this, [this] {
            if (!m_terminated)
                finishWithExit(127 << 8);
        });
        return false;
    };

    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_masterFd < 0)
        return fail("posix_openpt");
    if (::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0)
        return fail("unlockpt");
    char slaveName[128];
    if (::ptsname_r(m_masterFd, slaveName, sizeof slaveName) != 0)
        return fail("ptsname");

    // Held open until the child has its own, so the terminal never has zero openers in between
    // (the master would report end of file).
    const int slaveFd = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0)
        return fail("open slave");
    termios tio{};
    if (::tcgetattr(slaveFd, &tio) == 0) {
        tio.c_iflag |= IUTF8; // erase whole UTF-8 characters in canonical mode
        ::tcsetattr(slaveFd, TCSANOW, &tio);
    }
    const PtyWindowSize size = m_delegate ? m_delegate->ptyWindowSizeRequested() : PtyWindowSize{};
    winsize ws{};
    ws.ws_row = size.rows;
    ws.ws_col = size.cols;
    ::ioctl(slaveFd, TIOCSWINSZ, &ws);

    std::vector<std::string> argStorage;
    argStorage.push_back(executable.toStdString());
    for (const QString &a : arguments)
        argStorage.push_back(a.toStdString());
    std::vector<std::string> envStorage;
    for (const QString &e : environment)
        envStorage.push_back(e.toStdString());
    auto pointers = [](std::vector<std::string> &storage) {
        std::vector<char *> p;
        for (std::string &s : storage)
            p.push_back(s.data());
        p.push_back(nullptr);
        return p;
    };
    std::vector<char *> argv = pointers(argStorage);
    std::vector<char *> envp = pointers(envStorage);
    const std::string cwd =
        QFileInfo(workingDirectory).isDir() ? workingDirectory.toStdString() : std::string("/");

    // posix_spawn (vfork semantics) instead of fork: safe in a multi-threaded process and cheap
    // however large the host's heap has grown. The child becomes a session leader first, so
    // opening the terminal on fd 0 makes it the controlling terminal; every signal goes back to
    // its default disposition and nothing but fds 0-2 is inherited.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t allSignals;
    sigfillset(&allSignals);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigdefault(&attr, &allSignals);
    posix_spawnattr_setsigmask(&attr, &noSignals);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, slaveName, O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(slaveFd);
    if (rc != 0) {
        errno = rc;
        return fail("posix_spawn");
    }
    m_pid = pid;

    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    m_readNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyProcess::onReadable);
    m_writeNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyProcess::onWritable);

    m_pidFd = openPidFd(pid);
    if (m_pidFd >= 0) {
        ::fcntl(m_pidFd, F_SETFD, FD_CLOEXEC);
        m_exitNotifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_exitNotifier, &QSocketNotifier::activated, this,
                &PtyProcess::onChildExitSignalled);
    } else {
        m_exitPollTimer = new QTimer(this);
        m_exitPollTimer->setInterval(100);
        connect(m_exitPollTimer, &QTimer::timeout, this, &PtyProcess::onChildExitSignalled);
        m_exitPollTimer->start();
    }
    return true;
}

bool PtyProcess::setWindowSize(PtyWindowSize size)
{
    if (m_masterFd < 0)
        return false;
    winsize ws{};
    ws.ws_row = size.rows;
    ws.ws_col = size.cols;
    return ::ioctl(m_masterFd, TIOCSWINSZ, &ws) == 0;
}

void PtyProcess::send(const QByteArray &bytes)
{
    if (bytes.isEmpty() || m_masterFd < 0 || m_readEof || m_terminated)
        return;
    m_writeQueue.push_back(bytes);
    m_pendingWriteBytes += bytes.size();
    flushWrites();
}

void PtyProcess::flushWrites()
{
    while (!m_writeQueue.empty()) {
        const QByteArray &front = m_writeQueue.front();
        const ssize_t n = ::write(m_masterFd, front.constData() + m_writeOffset,
                                  static_cast<size_t>(front.size() - m_writeOffset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_writeNotifier->setEnabled(true);
                return;
            }
            // The terminal is gone (EIO): nobody will ever read these bytes.
            dropWriteQueue();
            return;
        }
        m_writeOffset += n;
        m_pendingWriteBytes -= n;
        if (m_writeOffset == front.size()) {
            m_writeQueue.pop_front();
            m_writeOffset = 0;
        }
    }
    m_writeNotifier->setEnabled(false);
}

void PtyProcess::dropWriteQueue()
{
    m_writeQueue.clear();
    m_writeOffset = 0;
    m_pendingWriteBytes = 0;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void PtyProcess::onWritable()
{
    flushWrites();
}

void PtyProcess::onReadable()
{
    readAvailable(ReadBudgetPerWakeup);
}

void PtyProcess::readAvailable(qsizetype budget)
{
    static char buffer[ReadBufferSize];
    while (budget > 0 && m_masterFd >= 0 && !m_readEof) {
        const ssize_t n = ::read(m_masterFd, buffer, sizeof buffer);
        if (n > 0) {
            budget -= n;
            // The delegate may terminate or even schedule the deletion of this object.
            if (m_delegate)
                m_delegate->ptyOutputReceived(QByteArray(buffer, n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // End of file (EIO once every holder of the terminal has closed it).
        m_readEof = true;
        m_readNotifier->setEnabled(false);
        dropWriteQueue();
    }
}

void PtyProcess::onChildExitSignalled()
{
    if (m_reaped || m_terminated || m_pid <= 0)
        return;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        return; // still running (only the polling fallback gets here)
    if (r < 0)
        status = 0; // reaped elsewhere; its status is lost but it has ended
    // From here on the pid may belong to another process: never signal it again.
    m_reaped = true;
    // What the shell printed last is read before its exit is told.
    readAvailable(ReadBudgetPerWakeup);
    if (m_terminated)
        return;
    finishWithExit(status);
}

void PtyProcess::finishWithExit(int waitStatus)
{
    m_reaped = true;
    stopWatchingExit();
    if (m_pidFd >= 0) {
        ::close(m_pidFd);
        m_pidFd = -1;
    }
    if (m_delegate)
        m_delegate->ptyProcessExited(waitStatus);
}

void PtyProcess::stopWatchingExit()
{
    if (m_exitNotifier) {
        m_exitNotifier->setEnabled(false);
        m_exitNotifier->deleteLater();
        m_exitNotifier = nullptr;
    }
    if (m_exitPollTimer) {
        m_exitPollTimer->stop();
        m_exitPollTimer->deleteLater();
        m_exitPollTimer = nullptr;
    }
}

void PtyProcess::closeNotifiers()
{
    for (QSocketNotifier **n : {&m_readNotifier, &m_writeNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    stopWatchingExit();
}

void PtyProcess::terminate()
{
    if (m_terminated)
        return;
    m_terminated = true;
    closeNotifiers();
    m_writeQueue.clear();
    m_writeOffset = 0;
    m_pendingWriteBytes = 0;
    // Closing the master hangs the terminal up: the shell gets SIGHUP as well, which an
    // interactive shell does not ignore, unlike SIGTERM.
    if (m_masterFd >= 0) {
        ::close(m_masterFd);
        m_masterFd = -1;
    }
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGTERM);
        ChildReaper::instance().adopt(m_pid, m_pidFd);
        m_pidFd = -1;
    } else if (m_pidFd >= 0) {
        ::close(m_pidFd);
        m_pidFd = -1;
    }
}
