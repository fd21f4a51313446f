#include "signallingconfig.h"

#include <QDebug>
#include <QHostAddress>

namespace SignallingConfig {

namespace {
bool isLoopbackHost(const QString &host)
{
    if (host == QLatin1String("localhost"))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}
} // namespace

bool isAcceptable(const QUrl &url)
{
    if (!url.isValid() || url.path() != QLatin1String("/ws") || url.hasQuery() ||
        url.host().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("wss"))
        return true;
    return url.scheme() == QLatin1String("ws") && isLoopbackHost(url.host());
}

QUrl serverUrl()
{
    static const QUrl url = [] {
        const QString override = qEnvironmentVariable("KORVO_SIGNALLING_URL");
        if (!override.isEmpty()) {
            const QUrl candidate(override, QUrl::StrictMode);
            if (isAcceptable(candidate))
                return candidate;
            qWarning().noquote() << "[Signalling] Ignoring KORVO_SIGNALLING_URL" << override
                                 << "(needs path /ws, and wss unless the host is loopback)";
        }
        const QUrl builtIn(QStringLiteral(KORVO_DEFAULT_SIGNALLING_URL), QUrl::StrictMode);
        Q_ASSERT_X(isAcceptable(builtIn), "SignallingConfig", "bad built-in signalling URL");
        return builtIn;
    }();
    return url;
}

} // namespace SignallingConfig
