#pragma once

#include "connectionstatus.h"
#include "signallingmessage.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <optional>

class IdentityService;
class QTimer;
class QWebSocket;

/// Time and chance for the signalling link, injectable so that tests need not wait a minute
/// for a back-off.
struct SignallingTiming
{
    int heartbeatIntervalMs = 15000;
    /// Length of one back-off "second".
    int msPerSecond = 1000;
    /// A uniformly random integer in [0, bound); the system's generator when empty.
    std::function<quint32(quint32 bound)> random;
};

/// The host's one WebSocket link to the signalling relay for one online period: opens the
/// socket, registers with the user's ID token, pings every 15 s, notices a dead link and
/// reconnects with capped exponential back-off and jitter.
///
/// Every assignment to `status` emits statusChanged() (also when the value does not change);
/// every incoming message except "pong" is emitted on messageReceived(), after the status change
/// it caused. Main thread only.
class DurableObjectService : public QObject
{
    Q_OBJECT

public:
    using Timing = SignallingTiming;

    DurableObjectService(const QString &deviceId, const QString &deviceName,
                         IdentityService &identity, const QUrl &serverUrl, Timing timing = {},
                         QObject *parent = nullptr);
    ~DurableObjectService() override;

    const QString &deviceId() const { return m_deviceId; }
    const QString &deviceName() const { return m_deviceName; }
    ConnectionStatus status() const { return m_status; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    int missedPongs() const { return m_missedPongs; }
    int reconnectAttempts() const { return m_reconnectAttempts; }
    bool isReconnectScheduled() const;
    /// The current socket, if any (tests read its state).
    QWebSocket *webSocket() const { return m_socket; }

    /// Opens a new socket and registers. Returns once "register" has been handed to the socket,
    /// or once a failure has been handled.
    QCoro::Task<> connect();
    /// User-requested: sends "disconnect", closes with 1000 and never reconnects.
    void disconnect();
    /// Sends one message as a compact JSON text frame; dropped when there is no socket.
    void send(const SignallingMessage &message);

    /// Seconds to wait before reconnect number `attempts` (0-based): 2^n capped at 60, plus a
    /// random whole number of seconds below max(1, base / 2), or below 30 once capped.
    static int reconnectDelaySeconds(int attempts, const std::function<quint32(quint32)> &random);

    /// Incoming frames larger than this close the link (the relay never sends such).
    static constexpr qint64 MaxIncomingMessageBytes = 8 * 1024 * 1024;

Q_SIGNALS:
    void statusChanged(ConnectionStatus status);
    void messageReceived(const SignallingMessage &message);

private:
    void setStatus(ConnectionStatus status);
    void handleText(const QString &text);
    void handleBinary(const QByteArray &bytes);
    void handleConnectionLoss();
    void onSocketFailed(QWebSocket *socket);
    void startHeartbeat();
    void stopHeartbeat();
    void heartbeatTick();
    void flushPending();
    void dropSocket();
    void cancelReconnect();

    const QString m_deviceId;
    const QString m_deviceName;
    IdentityService &m_identity;
    const QUrl m_serverUrl;
    Timing m_timing;
    QWebSocket *m_socket = nullptr;
    QList<QString> m_pendingFrames; // sent before the socket opened
    ConnectionStatus m_status = ConnectionStatus::disconnected;
    std::optional<QString> m_lastError;
    QTimer *m_heartbeatTimer = nullptr;
    QTimer *m_reconnectTimer = nullptr;
    int m_missedPongs = 0;
    int m_reconnectAttempts = 0;
    bool m_manualDisconnect = false;
    bool m_deviceNotRegistered = false;
};
