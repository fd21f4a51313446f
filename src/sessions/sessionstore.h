#pragma once

#include "terminalsession.h"

#include <QHash>
#include <QJsonArray>
#include <QObject>

#include <memory>
#include <optional>

/// The one registry of terminal sessions on this computer, and the keeper of the rule that at
/// most one session in the whole process is attached to a consumer: attaching any session, from
/// any consumer, first detaches the one attached before, whose detach callback tells its
/// consumer.
class SessionStore : public QObject
{
    Q_OBJECT

public:
    using SessionMap = QHash<QString, std::shared_ptr<TerminalSession>>;

    /// Tests make their own stores; the host uses shared().
    explicit SessionStore(QObject *parent = nullptr);
    ~SessionStore() override;

    /// The process-wide store, created on first use and never released.
    static SessionStore &shared();

    const SessionMap &sessions() const { return m_sessions; }
    /// Replaces the map; every assignment emits sessionsChanged(), also when nothing changed.
    void setSessions(SessionMap sessions);
    /// Stores `session` under its id (an assignment of the map).
    void addSession(std::shared_ptr<TerminalSession> session);
    std::shared_ptr<TerminalSession> session(const QString &id) const
    {
        return m_sessions.value(id);
    }
    const std::optional<QString> &attachedSessionId() const { return m_attachedSessionId; }

    /// "sess_" and 8 lowercase hex digits from the current time in microseconds; never the id
    /// of a session in this store nor the id made just before.
    QString makeSessionId();
    /// "adjective-noun", each word picked with the system random source.
    static QString makeSessionName();

    /// Drops the sessions whose shell has ended, then returns the summary record of each
    /// remaining session (no defined order).
    QJsonArray listSessions();
    /// All sessions, oldest first.
    QList<std::shared_ptr<TerminalSession>> sortedSessions() const;

    /// The attach sequence: detaches the attached session, starts or resizes the named one and
    /// attaches it if it is alive. Returns the attached session, or nothing.
    std::shared_ptr<TerminalSession> attachSession(const QString &id, int cols, int rows,
                                                   TerminalSession::OutputCallback onOutput,
                                                   TerminalSession::Callback onDetach,
                                                   TerminalSession::OutputCallback replay = {});
    void detachAttached();
    /// Returns true when a session with this id was found and terminated.
    bool terminateSession(const QString &id);
    void terminateAll();

Q_SIGNALS:
    void sessionsChanged();

private:
    SessionMap m_sessions;
    std::optional<QString> m_attachedSessionId;
    qint64 m_lastIdMicros = 0;
};
