#pragma once

#include <QUrl>

namespace SignallingConfig {

/// The relay's WebSocket URL: KORVO_SIGNALLING_URL when it is set and acceptable (path "/ws";
/// "wss", or "ws" to a loopback address only), else the built-in deployment URL.
QUrl serverUrl();

/// Whether `url` may be used as the relay URL.
bool isAcceptable(const QUrl &url);

} // namespace SignallingConfig
