#include "screeninfo.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace ScreenInfo {

QString displayName()
{
    return qEnvironmentVariable("DISPLAY");
}

std::optional<QRect> firstMonitor()
{
    if (displayName().isEmpty())
        return std::nullopt;
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return std::nullopt;
    const QRect rect = firstMonitorOn(display);
    XCloseDisplay(display);
    return rect;
}

QRect firstMonitorOn(void *connection)
{
    auto *display = static_cast<Display *>(connection);
    int count = 0;
    XRRMonitorInfo *monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    QRect rect;
    if (monitors && count > 0)
        rect = QRect(monitors[0].x, monitors[0].y, monitors[0].width, monitors[0].height);
    else
        rect = QRect(0, 0, DisplayWidth(display, DefaultScreen(display)),
                     DisplayHeight(display, DefaultScreen(display)));
    if (monitors)
        XRRFreeMonitors(monitors);
    return rect;
}

} // namespace ScreenInfo
