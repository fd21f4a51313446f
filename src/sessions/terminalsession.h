#pragma once

#include "outputringbuffer.h"
#include "ptyprocess.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

/// One interactive shell ("/bin/zsh" under a pseudo-terminal) with its output history.
///
/// The session lives independently of any viewer. At most one consumer is attached at a time;
/// it receives the history first and then the live output. The shell is started lazily by the
/// first start() (the store's attach sequence does that). Everything runs on the main thread,
/// including the pseudo-terminal's callbacks, so no output can slip between the history
/// snapshot and the live stream.
///
/// Sessions are normally owned through std::shared_ptr (see SessionStore); a callback that
/// removes the session from its store then cannot destroy it while it is still delivering.
class TerminalSession : public std::enable_shared_from_this<TerminalSession>,
                        private PtyProcessDelegate
{
public:
    using OutputCallback = std::function<void(const QByteArray &)>;
    using Callback = std::function<void()>;

    static constexpr auto ShellPath = "/bin/zsh";

    TerminalSession(const QString &id, const QString &name,
                    const QDateTime &createdAt = QDateTime::currentDateTimeUtc());
    ~TerminalSession() override;
    TerminalSession(const TerminalSession &) = delete;
    TerminalSession &operator=(const TerminalSession &) = delete;

    const QString &id() const { return m_id; }
    const QString &name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    const QDateTime &createdAt() const { return m_createdAt; }
    /// The pseudo-terminal driver; present from the first start() on, never cleared.
    PtyProcess *process() const { return m_process.get(); }
    const OutputRingBuffer &outputBuffer() const { return m_outputBuffer; }
    bool isAttached() const { return m_isAttached; }
    bool isAlive() const { return m_isAlive; }
    int cols() const { return m_cols; }
    int rows() const { return m_rows; }

    bool isStarted() const { return m_process != nullptr; }
    /// Alive for listings: running, or not started yet. A started shell that ended is dead.
    bool isListedAlive() const { return m_isAlive || (!isStarted() && !m_terminated); }

    /// Called when the shell exits by itself (not after terminate()).
    void setOnExit(Callback onExit) { m_onExit = std::move(onExit); }

    /// Launches the shell with the given size. Does nothing at all once a process exists or the
    /// session was terminated.
    void start(int cols, int rows);
    /// Marks the session attached, installs the callbacks and replays the history, as one block,
    /// to `replay` if given, else to `onOutput`.
    void attach(OutputCallback onOutput, Callback onDetach, OutputCallback replay = {});
    /// Marks the session detached, drops `onOutput` and calls `onDetach` once.
    void detach();
    /// Records the size and applies it to the running shell's terminal. Sizes outside
    /// 0 … 65,535 are clamped into that range when applied.
    void resize(int cols, int rows);
    /// Writes to the running shell's terminal; dropped when the shell is not running.
    void sendInput(const QByteArray &bytes);
    /// Marks the session dead and detached, drops the callbacks without calling them and stops
    /// the shell.
    void terminate();

    /// The seven-key summary record: "id", "name", "status", "uptime", "isAlive",
    /// "isStarted", "createdAt".
    QJsonObject info() const;
    QString uptime() const;

    /// "59m", "1h 0m", "26h 5m" for a number of elapsed seconds.
    static QString formatUptime(qint64 seconds);
    /// The shell's home and working folder: HOME, else the platform's home root plus USER (or
    /// "unknown").
    static QString homeDirectory();
    /// The shell's whole environment; nothing of the host's environment but the home folder.
    static QStringList shellEnvironment(const QString &home);

private:
    void ptyOutputReceived(const QByteArray &block) override;
    void ptyProcessExited(int waitStatus) override;
    PtyWindowSize ptyWindowSizeRequested() override;

    struct DeferredDelete
    {
        void operator()(PtyProcess *p) const;
    };

    const QString m_id;
    QString m_name;
    const QDateTime m_createdAt;
    std::unique_ptr<PtyProcess, DeferredDelete> m_process;
    OutputRingBuffer m_outputBuffer;
    bool m_isAttached = false;
    bool m_isAlive = false;
    bool m_terminated = false;
    int m_cols = 0;
    int m_rows = 0;
    OutputCallback m_onOutput;
    Callback m_onDetach;
    Callback m_onExit;
};
