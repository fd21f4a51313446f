#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <termios.h>

class QSocketNotifier;
class SessionStore;
class UnixSignalNotifier;

/// Puts a persistent shell session into the terminal the host was started from.
///
/// The local terminal is the consumer: its keystrokes go to the attached session, the session's
/// output (its history first) comes back. Ctrl-] detaches, leaving the shell running; from the
/// menu that follows, the owner attaches again (the history is replayed), opens a new session
/// or quits, which terminates every session.
class LocalTerminal : public QObject
{
    Q_OBJECT

public:
    static constexpr char DetachKey = 0x1d; // Ctrl-]

    explicit LocalTerminal(SessionStore &store, QObject *parent = nullptr);
    ~LocalTerminal() override;

    /// Creates the first session and attaches it. Returns false, with a message on standard
    /// error, when standard input is not a terminal.
    bool start();

private:
    void attach(const QString &sessionId);
    void showMenu(const QString &reason);
    void onStdinReadable();
    void onSignal(int signalNumber);
    void quit();
    void writeOut(const QByteArray &bytes);
    void applyWindowSize();
    QString newSession();

    SessionStore &m_store;
    QSocketNotifier *m_stdinNotifier = nullptr;
    UnixSignalNotifier *m_signals = nullptr;
    termios m_savedTermios{};
    bool m_rawMode = false;
    QString m_currentId;
    bool m_attached = false;
    bool m_leaving = false; // detaching from the menu, not from elsewhere
};
