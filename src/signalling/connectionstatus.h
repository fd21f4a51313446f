#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace ConnectionStatuses {
Q_NAMESPACE

/// The state of the signalling link.
enum class ConnectionStatus
{
    disconnected,
    connecting,
    registering,
    registered,
    error
};
Q_ENUM_NS(ConnectionStatus)

QString rawValue(ConnectionStatus status);
/// The status with that raw value; nothing for any other text.
std::optional<ConnectionStatus> fromRawValue(const QString &raw);

} // namespace ConnectionStatuses

using ConnectionStatuses::ConnectionStatus;
