#include "connectionstatus.h"

#include <array>

namespace ConnectionStatuses {

QString rawValue(ConnectionStatus status)
{
    switch (status) {
    case ConnectionStatus::disconnected:
        return QStringLiteral("disconnected");
    case ConnectionStatus::connecting:
        return QStringLiteral("connecting");
    case ConnectionStatus::registering:
        return QStringLiteral("registering");
    case ConnectionStatus::registered:
        return QStringLiteral("registered");
    case ConnectionStatus::error:
        return QStringLiteral("error");
    }
    return {};
}

std::optional<ConnectionStatus> fromRawValue(const QString &raw)
{
    for (ConnectionStatus s :
         {ConnectionStatus::disconnected, ConnectionStatus::connecting,
          ConnectionStatus::registering, ConnectionStatus::registered, ConnectionStatus::error}) {
        if (rawValue(s) == raw)
            return s;
    }
    return std::nullopt;
}

} // namespace ConnectionStatuses
