#include "sessionstore.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <chrono>

namespace {

constexpr std::array<const char *, 20> Adjectives = {
    "swift", "bold", "calm",  "bright", "dark",  "keen",  "warm",   "cool",   "wild",   "soft",
    "sharp", "fair", "quick", "noble",  "vivid", "crisp", "fierce", "gentle", "silent", "brave",
};
constexpr std::array<const char *, 20> Nouns = {
    "fox",  "oak",  "river", "pine", "hawk", "stone", "wolf",  "flame", "brook", "cloud",
    "sage", "reef", "thorn", "dusk", "peak", "glade", "frost", "wren",  "moss",  "vale",
};

QString sessionIdFromMicros(qint64 micros)
{
    QString hex = QString::number(static_cast<quint64>(micros), 16);
    if (hex.size() > 8)
        hex = hex.right(8);
    return QStringLiteral("sess_") + hex;
}

} // namespace

SessionStore::SessionStore(QObject *parent)
    : QObject(parent)
{
}

SessionStore::~SessionStore() = default;

SessionStore &SessionStore::shared()
{
    static auto *store = new SessionStore; // never released
    return *store;
}

void SessionStore::setSessions(SessionMap sessions)
{
    m_sessions = std::move(sessions);
    Q_EMIT sessionsChanged();
}

void SessionStore::addSession(std::shared_ptr<TerminalSession> session)
{
    SessionMap next = m_sessions;
    const QString id = session->id();
    next.insert(id, std::move(session));
    setSessions(std::move(next));
}

QString SessionStore::makeSessionId()
{
    using namespace std::chrono;
    qint64 micros = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    // Two ids made within one microsecond, or a clock stepped back, would otherwise repeat an
    // id; so would the 8-digit wrap (every 71.6 minutes) when it meets a live session.
    if (micros <= m_lastIdMicros)
        micros = m_lastIdMicros + 1;
    while (m_sessions.contains(sessionIdFromMicros(micros)))
        ++micros;
    m_lastIdMicros = micros;
    return sessionIdFromMicros(micros);
}

QString SessionStore::makeSessionName()
{
    auto *rng = QRandomGenerator::system();
    return QLatin1String(Adjectives[rng->bounded(int(Adjectives.size()))]) + u'-' +
           QLatin1String(Nouns[rng->bounded(int(Nouns.size()))]);
}

QJsonArray SessionStore::listSessions()
{
    SessionMap remaining;
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
        if (it.value()->isListedAlive())
            remaining.insert(it.key(), it.value());
    }
    setSessions(std::move(remaining));
    if (m_attachedSessionId && !m_sessions.contains(*m_attachedSessionId))
        m_attachedSessionId.reset();
    QJsonArray records;
    for (const auto &session : std::as_const(m_sessions))
        records.append(session->info());
    return records;
}

QList<std::shared_ptr<TerminalSession>> SessionStore::sortedSessions() const
{
    QList<std::shared_ptr<TerminalSession>> sorted = m_sessions.values();
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto &a, const auto &b) { return a->createdAt() < b->createdAt(); });
    return sorted;
}

std::shared_ptr<TerminalSession> SessionStore::attachSession(
    const QString &id, int cols, int rows, TerminalSession::OutputCallback onOutput,
    TerminalSession::Callback onDetach, TerminalSession::OutputCallback replay)
{
    // Cleared before the previous consumer hears of it, so that one attaching from inside its
    // detach callback cannot leave two sessions attached.
    if (const std::optional<QString> previousId = std::exchange(m_attachedSessionId, std::nullopt)) {
        if (const auto previous = session(*previousId))
            previous->detach();
    }
    const auto target = session(id);
    if (!target) {
        m_attachedSessionId.reset();
        return nullptr;
    }
    if (target->isStarted())
        target->resize(cols, rows);
    else
        target->start(cols, rows);
    if (!target->isAlive()) {
        m_attachedSessionId.reset();
        return nullptr;
    }
    target->attach(std::move(onOutput), std::move(onDetach), std::move(replay));
    m_attachedSessionId = id;
    return target;
}

void SessionStore::detachAttached()
{
    if (!m_attachedSessionId)
        return;
    // Cleared before the detach callback runs, so that a consumer attaching again from inside
    // it is not undone here.
    const QString id = *std::exchange(m_attachedSessionId, std::nullopt);
    if (const auto attached = session(id))
        attached->detach();
}

bool SessionStore::terminateSession(const QString &id)
{
    const auto target = session(id);
    if (!target)
        return false;
    if (m_attachedSessionId == id)
        m_attachedSessionId.reset();
    target->terminate();
    SessionMap next = m_sessions;
    next.remove(id);
    setSessions(std::move(next));
    return true;
}

void SessionStore::terminateAll()
{
    for (const auto &s : std::as_const(m_sessions))
        s->terminate();
    setSessions({});
    m_attachedSessionId.reset();
}
