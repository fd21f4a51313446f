#include "terminalsession.h"

#include "userenvironment.h"

#include <QStringBuilder>

void TerminalSession::DeferredDelete::operator()(PtyProcess *p) const
{
    // The driver may be inside one of its own callbacks when the session goes away.
    p->terminate();
    p->deleteLater();
}

TerminalSession::TerminalSession(const QString &id, const QString &name, const QDateTime &createdAt)
    : m_id(id)
    , m_name(name)
    , m_createdAt(createdAt)
{
}

TerminalSession::~TerminalSession() = default;

QString TerminalSession::homeDirectory()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
    const QString user = qEnvironmentVariable("USER");
    return UserEnvironment::homeDirectoryRoot() % u'/' %
           (user.isEmpty() ? QStringLiteral("unknown") : user);
}

QStringList TerminalSession::shellEnvironment(const QString &home)
{
    return {
        QStringLiteral("TERM=xterm-256color"),
        QStringLiteral("HOME=") + home,
        QStringLiteral("SHELL=/bin/zsh"),
        QStringLiteral("LANG=en_US.UTF-8"),
        QStringLiteral("LC_ALL=en_US.UTF-8"),
        QStringLiteral("PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"),
    };
}

void TerminalSession::start(int cols, int rows)
{
    // A terminated session stays dead, also when it was never started.
    if (m_process || m_terminated)
        return;
    m_cols = cols;
    m_rows = rows;
    const QString home = homeDirectory();
    m_process.reset(new PtyProcess(this));
    m_isAlive = true;
    m_process->start(QString::fromLatin1(ShellPath), {}, shellEnvironment(home), home);
}

void TerminalSession::attach(OutputCallback onOutput, Callback onDetach, OutputCallback replay)
{
    m_isAttached = true;
    m_onOutput = std::move(onOutput);
    m_onDetach = std::move(onDetach);
    const QByteArray history = m_outputBuffer.snapshot();
    if (history.isEmpty())
        return;
    if (replay)
        replay(history);
    else if (OutputCallback onOutput = m_onOutput)
        onOutput(history);
}

void TerminalSession::detach()
{
    m_isAttached = false;
    m_onOutput = nullptr;
    Callback onDetach = std::exchange(m_onDetach, nullptr);
    if (onDetach)
        onDetach();
}

void TerminalSession::resize(int cols, int rows)
{
    m_cols = cols;
    m_rows = rows;
    if (m_isAlive && m_process)
        m_process->setWindowSize(ptyWindowSizeRequested());
}

void TerminalSession::sendInput(const QByteArray &bytes)
{
    if (m_isAlive && m_process)
        m_process->send(bytes);
}

void TerminalSession::terminate()
{
    m_terminated = true;
    m_isAlive = false;
    m_isAttached = false;
    m_onOutput = nullptr;
    m_onDetach = nullptr;
    if (m_process)
        m_process->terminate();
}

QJsonObject TerminalSession::info() const
{
    return {
        {QStringLiteral("id"), m_id},
        {QStringLiteral("name"), m_name},
        {QStringLiteral("status"),
         m_isAttached ? QStringLiteral("attached") : QStringLiteral("detached")},
        {QStringLiteral("uptime"), uptime()},
        {QStringLiteral("isAlive"), isListedAlive()},
        {QStringLiteral("isStarted"), isStarted()},
        {QStringLiteral("createdAt"), m_createdAt.toUTC().toString(Qt::ISODate)},
    };
}

QString TerminalSession::uptime() const
{
    return formatUptime(m_createdAt.secsTo(QDateTime::currentDateTimeUtc()));
}

QString TerminalSession::formatUptime(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0); // a clock set back must not give "-1m"
    const qint64 minutes = (seconds % 3600) / 60;
    if (seconds < 3600)
        return QString::number(minutes) + u'm';
    return QString::number(seconds / 3600) % QStringLiteral("h ") % QString::number(minutes) % u'm';
}

void TerminalSession::ptyOutputReceived(const QByteArray &block)
{
    // Keeps this session alive should the consumer remove it from its store.
    const auto self = weak_from_this().lock();
    m_outputBuffer.append(block);
    if (m_isAttached && m_onOutput) {
        // A copy: the callback may detach, which drops m_onOutput while it runs.
        OutputCallback onOutput = m_onOutput;
        onOutput(block);
    }
}

void TerminalSession::ptyProcessExited(int)
{
    const auto self = weak_from_this().lock();
    m_isAlive = false;
    if (m_onExit) {
        Callback onExit = m_onExit;
        onExit();
    }
}

PtyWindowSize TerminalSession::ptyWindowSizeRequested()
{
    return {PtyProcess::clampDimension(m_rows), PtyProcess::clampDimension(m_cols)};
}
