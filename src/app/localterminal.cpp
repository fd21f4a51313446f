#include "localterminal.h"

#include "sessionstore.h"
#include "unixsignalnotifier.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

LocalTerminal::LocalTerminal(SessionStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
{
}

LocalTerminal::~LocalTerminal()
{
    if (m_rawMode)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_savedTermios);
}

bool LocalTerminal::start()
{
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &m_savedTermios) != 0) {
        std::fputs("korvo-host: the terminal mode needs a terminal on standard input\n", stderr);
        return false;
    }
    termios raw = m_savedTermios;
    ::cfmakeraw(&raw);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
    m_rawMode = true;

    m_signals = new UnixSignalNotifier({SIGWINCH, SIGINT, SIGTERM, SIGHUP}, this);
    connect(m_signals, &UnixSignalNotifier::signalReceived, this, &LocalTerminal::onSignal);
    m_stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdinNotifier, &QSocketNotifier::activated, this, &LocalTerminal::onStdinReadable);

    writeOut("[korvo] persistent shell; Ctrl-] detaches\r\n");
    attach(newSession());
    return true;
}

QString LocalTerminal::newSession()
{
    const QString id = m_store.makeSessionId();
    auto session = std::make_shared<TerminalSession>(id, SessionStore::makeSessionName());
    session->setOnExit([this, id] {
        if (m_attached && m_currentId == id)
            showMenu(QStringLiteral("shell exited"));
    });
    m_store.addSession(session);
    return id;
}

void LocalTerminal::attach(const QString &sessionId)
{
    winsize ws{};
    ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws);
    m_currentId = sessionId;
    m_attached = true;
    // Clears the screen so that the replayed history draws as it did the first time.
    writeOut("\x1b[H\x1b[2J");
    const auto session = m_store.attachSession(
        sessionId, ws.ws_col, ws.ws_row, [this](const QByteArray &block) { writeOut(block); },
        [this] {
            // Detached by another consumer (or the store), not from the menu: say so.
            const bool fromMenu = m_leaving;
            m_attached = false;
            if (!fromMenu)
                showMenu(QStringLiteral("the session was attached elsewhere"));
        });
    if (!session)
        showMenu(QStringLiteral("that session has ended"));
}

void LocalTerminal::showMenu(const QString &reason)
{
    m_leaving = true;
    if (m_attached && m_store.attachedSessionId() == m_currentId)
        m_store.detachAttached();
    m_leaving = false;
    m_attached = false;
    const auto current = m_store.session(m_currentId);
    const bool canReattach = current && current->isListedAlive();
    QString text = QStringLiteral("\r\n[korvo] ") + reason + QStringLiteral(". ");
    if (canReattach)
        text += QStringLiteral("Enter: attach to ") + current->name() + QStringLiteral(", ");
    text += QStringLiteral("n: new session, q: quit\r\n");
    writeOut(text.toUtf8());
}

void LocalTerminal::onStdinReadable()
{
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            quit();
        return;
    }
    const QByteArray input(buffer, n);
    if (m_attached) {
        const qsizetype detachAt = input.indexOf(DetachKey);
        const auto session = m_store.session(m_currentId);
        if (session)
            session->sendInput(detachAt < 0 ? input : input.left(detachAt));
        if (detachAt >= 0) {
            const QString name = session ? session->name() : m_currentId;
            showMenu(QStringLiteral("detached from ") + name + QStringLiteral(", still running"));
        }
        return;
    }
    switch (input.at(0)) {
    case '\r':
    case '\n':
        if (const auto current = m_store.session(m_currentId); current && current->isListedAlive())
            attach(m_currentId);
        break;
    case 'n':
        attach(newSession());
        break;
    case 'q':
    case 3: // Ctrl-C
        quit();
        break;
    default:
        break;
    }
}

void LocalTerminal::onSignal(int signalNumber)
{
    if (signalNumber == SIGWINCH) {
        applyWindowSize();
        return;
    }
    quit();
}

void LocalTerminal::applyWindowSize()
{
    winsize ws{};
    if (!m_attached || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0)
        return;
    if (const auto session = m_store.session(m_currentId))
        session->resize(ws.ws_col, ws.ws_row);
}

void LocalTerminal::quit()
{
    m_store.terminateAll();
    if (m_rawMode) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_savedTermios);
        m_rawMode = false;
    }
    writeOut("\r\n[korvo] all sessions terminated\n");
    QCoreApplication::quit();
}

void LocalTerminal::writeOut(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return;
        }
        p += n;
        left -= n;
    }
}
