#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <sys/types.h>

class QSocketNotifier;
class QTimer;

/// A terminal window size as the pseudo-terminal stores it (16-bit fields).
struct PtyWindowSize
{
    quint16 rows = 0;
    quint16 cols = 0;
};

/// Receives what a PtyProcess reports. Every call arrives on the thread that owns the
/// PtyProcess (the main thread), never from inside a signal handler.
class PtyProcessDelegate
{
public:
    virtual ~PtyProcessDelegate() = default;

    /// One read of the master side, unchanged. Never empty.
    virtual void ptyOutputReceived(const QByteArray &block) = 0;
    /// The child has exited and has been reaped. Not called after terminate().
    virtual void ptyProcessExited(int waitStatus) = 0;
    /// Asked once, just before the child is spawned.
    virtual PtyWindowSize ptyWindowSizeRequested() = 0;
};

/// Runs one program as the session leader of a new pseudo-terminal and drives its master side.
///
/// Reads of the master side are delivered one block per read; writes are queued and written
/// without blocking, so a large paste neither stalls the event loop nor loses bytes. The child is
/// always reaped, also after terminate(), so no zombie is left behind.
///
/// Destroying a PtyProcess terminates its child. When a delegate callback may destroy the owner,
/// delete the PtyProcess with deleteLater().
class PtyProcess : public QObject
{
    Q_OBJECT

public:
    explicit PtyProcess(PtyProcessDelegate *delegate, QObject *parent = nullptr);
    ~PtyProcess() override;

    /// Spawns `executable` with `arguments` (argv[0] is `executable` itself, so the program
    /// does not see itself started as a login shell), with exactly `environment` ("KEY=value"
    /// entries) and in `workingDirectory` ("/" when that folder does not exist). Does nothing and
    /// returns true when already started. On failure returns false and reports an exit (status
    /// 127 << 8) from the event loop, as if the program had exited at once.
    bool start(const QString &executable, const QStringList &arguments,
               const QStringList &environment, const QString &workingDirectory);

    bool isStarted() const { return m_pid > 0 || m_startFailed; }
    /// True from a successful start until the child has exited or terminate() was called.
    bool isRunning() const { return m_pid > 0 && !m_reaped && !m_terminated; }
    pid_t pid() const { return m_pid; }
    /// The master side's descriptor, or -1 once closed.
    int masterFd() const { return m_masterFd; }

    /// Sets the window size (TIOCSWINSZ) on the master side. Returns whether the request succeeded.
    bool setWindowSize(PtyWindowSize size);

    /// Queues `bytes` for the child's terminal input and writes as much as the terminal takes now.
    void send(const QByteArray &bytes);
    /// Bytes queued by send() that the terminal has not taken yet.
    qsizetype pendingWriteBytes() const { return m_pendingWriteBytes; }

    /// Stops reading, closes the master side, sends SIGTERM to the child and stops watching for
    /// its exit (no exit callback follows; the child is still reaped in the background).
    void terminate();

    /// Clamps a requested terminal dimension into what the window size can hold (0 … 65,535).
    static quint16 clampDimension(qint64 value);

private:
    void onReadable();
    void onWritable();
    void onChildExitSignalled();
    void readAvailable(qsizetype budget);
    void flushWrites();
    void dropWriteQueue();
    void closeNotifiers();
    void stopWatchingExit();
    void finishWithExit(int waitStatus);

    PtyProcessDelegate *m_delegate;
    int m_masterFd = -1;
    int m_pidFd = -1;
    pid_t m_pid = -1;
    bool m_reaped = false;
    bool m_terminated = false;
    bool m_startFailed = false;
    bool m_readEof = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_exitNotifier = nullptr;
    QTimer *m_exitPollTimer = nullptr; // only where pidfd_open() is unavailable
    std::deque<QByteArray> m_writeQueue;
    qsizetype m_writeOffset = 0; // bytes of m_writeQueue.front() already written
    qsizetype m_pendingWriteBytes = 0;
};
