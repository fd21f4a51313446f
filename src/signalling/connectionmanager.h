#pragma once

#include "connectionstatus.h"
#include "durableobjectservice.h"
#include "signallingmessage.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

class IdentityService;

/// Takes the host online and offline. Owns the signalling client of the current online period,
/// republishes its status and last error, and re-broadcasts every incoming message on its own
/// messageReceived(), which outlives every client. All delivery is queued to the main thread,
/// so the published status follows the client's by one turn of the event loop.
class ConnectionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ConnectionStatuses::ConnectionStatus status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString lastError READ lastErrorText NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY statusChanged)

public:
    /// Tests make their own; the host uses shared().
    ConnectionManager(IdentityService &identity, const QUrl &serverUrl,
                      DurableObjectService::Timing timing = {}, QObject *parent = nullptr);
    ~ConnectionManager() override;

    /// The process-wide manager: the configured relay and identity service.
    static ConnectionManager &shared();

    ConnectionStatus status() const { return m_status; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    QString lastErrorText() const { return m_lastError.value_or(QString()); }
    bool isConnected() const { return m_status == ConnectionStatus::registered; }
    /// The current signalling client, if online; the router sends through it.
    DurableObjectService *service() const { return m_service; }

    /// Goes online as this device, replacing any current client. Returns when the client's
    /// connect returns; the outcome shows in status() and lastError().
    QCoro::Task<> connect(const QString &deviceId, const QString &deviceName);
    /// Goes offline: the client sends "disconnect", closes and is dropped.
    void disconnect();

Q_SIGNALS:
    /// Emitted on every assignment of the status, also when it did not change.
    void statusChanged(ConnectionStatus status);
    void lastErrorChanged();
    void messageReceived(const SignallingMessage &message);

private:
    void setStatus(ConnectionStatus status);
    void setLastError(const std::optional<QString> &error);

    IdentityService &m_identity;
    const QUrl m_serverUrl;
    DurableObjectService::Timing m_timing;
    ConnectionStatus m_status = ConnectionStatus::disconnected;
    std::optional<QString> m_lastError;
    QPointer<DurableObjectService> m_service;
};
