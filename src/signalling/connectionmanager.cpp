#include "connectionmanager.h"

#include "identityservice.h"
#include "signallingconfig.h"

ConnectionManager::ConnectionManager(IdentityService &identity, const QUrl &serverUrl,
                                     DurableObjectService::Timing timing, QObject *parent)
    : QObject(parent)
    , m_identity(identity)
    , m_serverUrl(serverUrl)
    , m_timing(std::move(timing))
{
}

ConnectionManager::~ConnectionManager()
{
    delete m_service;
}

ConnectionManager &ConnectionManager::shared()
{
    // Never released. Function-local statics are initialised once even under concurrent use.
    static auto *manager =
        new ConnectionManager(DevelopmentIdentityService::shared(), SignallingConfig::serverUrl());
    return *manager;
}

void ConnectionManager::setStatus(ConnectionStatus status)
{
    m_status = status;
    Q_EMIT statusChanged(status);
}

void ConnectionManager::setLastError(const std::optional<QString> &error)
{
    m_lastError = error;
    Q_EMIT lastErrorChanged();
}

QCoro::Task<> ConnectionManager::connect(const QString &deviceId, const QString &deviceName)
{
    if (m_service)
        disconnect();
    auto *service =
        new DurableObjectService(deviceId, deviceName, m_identity, m_serverUrl, m_timing, this);
    m_service = service;
    // Queued even on the main thread; events of a client that has since been replaced are
    // not applied.
    QObject::connect(
        service, &DurableObjectService::statusChanged, this,
        [this, service](ConnectionStatus status) {
            if (service != m_service)
                return;
            setStatus(status);
            setLastError(service->lastError());
        },
        Qt::QueuedConnection);
    QObject::connect(
        service, &DurableObjectService::messageReceived, this,
        [this, service](const SignallingMessage &message) {
            if (service == m_service)
                Q_EMIT messageReceived(message);
        },
        Qt::QueuedConnection);
    co_await service->connect();
}

void ConnectionManager::disconnect()
{
    if (DurableObjectService *service = m_service.data()) {
        service->disconnect();
        m_service = nullptr;
        // Later: its socket is still closing, and a connect coroutine may still be suspended
        // in it (it checks for that when it resumes).
        QObject::disconnect(service, nullptr, this, nullptr);
        service->deleteLater();
    }
    setStatus(ConnectionStatus::disconnected);
    setLastError(std::nullopt);
}
