#include "durableobjectservice.h"

#include "identityservice.h"
#include "localizationmanager.h"

#include <QDebug>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTimer>
#include <QWebSocket>

namespace {
constexpr char LossHandledProperty[] = "korvoLossHandled";
// Set on the socket that disconnect() closes: its closing is still reported, once.
constexpr char ClosedByDisconnectProperty[] = "korvoClosedByDisconnect";

QString localized(LocalizationKey key)
{
    return LocalizationManager::shared().localizedString(key);
}

// Closes with 1000, or drops a socket that is not connected (nothing would report its end).
void closeNormally(QWebSocket *socket)
{
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    else
        socket->close(QWebSocketProtocol::CloseCodeNormal);
}

QString failureText(const QWebSocket *socket)
{
    if (!socket->closeReason().isEmpty())
        return socket->closeReason();
    if (socket->error() != QAbstractSocket::UnknownSocketError)
        return socket->errorString();
    return QStringLiteral("The connection was closed (code %1)").arg(int(socket->closeCode()));
}
} // namespace

DurableObjectService::DurableObjectService(const QString &deviceId, const QString &deviceName,
                                           IdentityService &identity, const QUrl &serverUrl,
                                           Timing timing, QObject *parent)
    : QObject(parent)
    , m_deviceId(deviceId)
    , m_deviceName(deviceName)
    , m_identity(identity)
    , m_serverUrl(serverUrl)
    , m_timing(std::move(timing))
{
    if (!m_timing.random)
        m_timing.random = [](quint32 bound) { return QRandomGenerator::global()->bounded(bound); };
}

DurableObjectService::~DurableObjectService()
{
    // Sockets are children; make sure none reports back into a half-destroyed object.
    for (QWebSocket *s : findChildren<QWebSocket *>())
        QObject::disconnect(s, nullptr, this, nullptr);
}

bool DurableObjectService::isReconnectScheduled() const
{
    return m_reconnectTimer && m_reconnectTimer->isActive();
}

void DurableObjectService::setStatus(ConnectionStatus status)
{
    m_status = status;
    Q_EMIT statusChanged(status);
}

int DurableObjectService::reconnectDelaySeconds(int attempts,
                                                const std::function<quint32(quint32)> &random)
{
    const bool capped = attempts >= 6; // 2^6 = 64 is past the cap, whatever comes after
    const int base = capped ? 60 : (1 << std::max(attempts, 0));
    const int range = capped ? 30 : std::max(1, base / 2);
    return base + int(random(quint32(range)) % quint32(range));
}

void DurableObjectService::dropSocket()
{
    if (!m_socket)
        return;
    // A replaced socket no longer speaks for this service: its late failure is not a loss.
    QWebSocket *old = std::exchange(m_socket, nullptr);
    QObject::disconnect(old, nullptr, this, nullptr);
    QObject::connect(old, &QWebSocket::disconnected, old, &QObject::deleteLater);
    closeNormally(old);
    m_pendingFrames.clear();
}

QCoro::Task<> DurableObjectService::connect()
{
    cancelReconnect();
    m_manualDisconnect = false;
    m_deviceNotRegistered = false;
    m_lastError.reset();
    setStatus(ConnectionStatus::connecting);

    dropSocket();
    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(MaxIncomingMessageBytes);
    socket->setMaxAllowedIncomingFrameSize(MaxIncomingMessageBytes);
    QObject::connect(socket, &QWebSocket::connected, this, &DurableObjectService::flushPending);
    QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                     &DurableObjectService::handleText);
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this,
                     &DurableObjectService::handleBinary);
    QObject::connect(socket, &QWebSocket::disconnected, this,
                     [this, socket] { onSocketFailed(socket); });
    QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [this, socket] {
                         // Errors on an open socket are followed by disconnected(); only a socket
                         // that never opened ends here.
                         if (socket->state() == QAbstractSocket::UnconnectedState)
                             onSocketFailed(socket);
                     });
    m_socket = socket;
    socket->open(m_serverUrl);
    setStatus(ConnectionStatus::registering);

    QPointer<DurableObjectService> self(this);
    QPointer<QWebSocket> attempt(socket);
    QString token;
    std::optional<QString> failure;
    if (!m_identity.currentUser()) {
        failure = localized(LocalizationKey::userNotAuthenticated);
    } else {
        try {
            token = co_await m_identity.idToken(false);
        } catch (const IdentityError &e) {
            failure = e.description();
        } catch (const std::exception &e) {
            failure = QString::fromUtf8(e.what());
        }
    }
    // The service may have been dropped, taken offline or reconnected while the token came.
    if (!self || m_manualDisconnect || !attempt || attempt != m_socket)
        co_return;
    if (failure) {
        m_lastError = *failure;
        setStatus(ConnectionStatus::error);
        // This socket will never register; left open, its eventual failure would count as a
        // second loss.
        dropSocket();
        handleConnectionLoss();
        co_return;
    }
    send(SignallingMessages::registerDevice(token, m_deviceId, m_deviceName));
    startHeartbeat();
}

void DurableObjectService::send(const SignallingMessage &message)
{
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    if (!m_socket)
        return;
    switch (m_socket->state()) {
    case QAbstractSocket::ConnectedState:
        m_socket->sendTextMessage(text);
        return;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        // Goes out in order once the socket opens, like a task that buffers until then.
        m_pendingFrames.append(text);
        return;
    default:
        m_lastError = LocalizationManager::shared().format(LocalizationKey::failedToSendMessage,
                                                           {failureText(m_socket)});
        return;
    }
}

void DurableObjectService::flushPending()
{
    const QList<QString> frames = std::exchange(m_pendingFrames, {});
    for (const QString &frame : frames)
        m_socket->sendTextMessage(frame);
}

void DurableObjectService::handleBinary(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return; // not text: dropped, and nothing to report
    handleText(text);
}

void DurableObjectService::handleText(const QString &text)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        m_lastError = localized(LocalizationKey::failedToParseMessage);
        return;
    }
    const SignallingMessage message = doc.object();
    const std::optional<QString> type = SignallingMessages::type(message);
    if (type == QLatin1String("pong")) {
        m_missedPongs = 0;
        return;
    }
    if (type == QLatin1String("registered")) {
        if (SignallingMessages::readRegisteredSuccess(message)) {
            m_reconnectAttempts = 0;
            m_deviceNotRegistered = false;
            setStatus(ConnectionStatus::registered);
        } else {
            m_lastError = localized(LocalizationKey::registrationFailed);
            setStatus(ConnectionStatus::error);
        }
    } else if (type == QLatin1String("device_not_registered")) {
        m_deviceNotRegistered = true;
        setStatus(ConnectionStatus::error);
    } else if (type == QLatin1String("error")) {
        m_lastError = SignallingMessages::text(message, QLatin1StringView("message"));
        if (m_lastError && m_lastError->toLower().contains(QLatin1String("device not registered")))
            m_deviceNotRegistered = true;
        setStatus(ConnectionStatus::error);
    }
    Q_EMIT messageReceived(message);
}

void DurableObjectService::onSocketFailed(QWebSocket *socket)
{
    if (socket->property(LossHandledProperty).toBool())
        return;
    socket->setProperty(LossHandledProperty, true);
    if (socket != m_socket) {
        socket->deleteLater();
        // Only the socket disconnect() closed still speaks for this service, and only while
        // it stays offline.
        if (!socket->property(ClosedByDisconnectProperty).toBool() || !m_manualDisconnect)
            return;
    }
    m_lastError = failureText(socket);
    handleConnectionLoss();
}

void DurableObjectService::handleConnectionLoss()
{
    setStatus(ConnectionStatus::disconnected);
    stopHeartbeat();
    if (m_manualDisconnect || m_deviceNotRegistered)
        return;
    const int delay = reconnectDelaySeconds(m_reconnectAttempts, m_timing.random);
    ++m_reconnectAttempts;
    cancelReconnect();
    m_reconnectTimer = new QTimer(this);
    m_reconnectTimer->setSingleShot(true);
    m_reconnectTimer->setInterval(delay * m_timing.msPerSecond);
    QObject::connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
        if (!m_manualDisconnect)
            connect();
    });
    m_reconnectTimer->start();
}

void DurableObjectService::startHeartbeat()
{
    stopHeartbeat();
    m_heartbeatTimer = new QTimer(this);
    m_heartbeatTimer->setInterval(m_timing.heartbeatIntervalMs);
    QObject::connect(m_heartbeatTimer, &QTimer::timeout, this,
                     &DurableObjectService::heartbeatTick);
    m_heartbeatTimer->start();
}

void DurableObjectService::stopHeartbeat()
{
    if (m_heartbeatTimer) {
        m_heartbeatTimer->stop();
        m_heartbeatTimer->deleteLater();
        m_heartbeatTimer = nullptr;
    }
    m_missedPongs = 0;
}

void DurableObjectService::heartbeatTick()
{
    if (m_status != ConnectionStatus::registered)
        return;
    if (m_missedPongs >= 2) {
        // The silent socket is given up, so that its late failure is not a second loss.
        dropSocket();
        handleConnectionLoss();
        return;
    }
    send(SignallingMessages::ping());
    ++m_missedPongs;
}

void DurableObjectService::cancelReconnect()
{
    if (m_reconnectTimer) {
        m_reconnectTimer->stop();
        m_reconnectTimer->deleteLater();
        m_reconnectTimer = nullptr;
    }
}

void DurableObjectService::disconnect()
{
    m_manualDisconnect = true;
    cancelReconnect();
    stopHeartbeat();
    send(SignallingMessages::disconnect());
    if (QWebSocket *socket = std::exchange(m_socket, nullptr)) {
        m_pendingFrames.clear();
        socket->setProperty(ClosedByDisconnectProperty, true);
        // Kept until it has closed: its closing still reports here (without a reconnect).
        closeNormally(socket);
    }
    setStatus(ConnectionStatus::disconnected);
}
