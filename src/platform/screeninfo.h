#pragma once

#include <QRect>
#include <QString>

#include <optional>

/// The displays of the desktop session.
namespace ScreenInfo {

/// The X display name screen capture and input use (DISPLAY), or empty without one.
QString displayName();
/// The first monitor's geometry on the X screen (XRandR order), or nothing without a display.
std::optional<QRect> firstMonitor();
/// The same on an open connection (a Display *; void here to keep Xlib out of this header).
QRect firstMonitorOn(void *display);

} // namespace ScreenInfo
