#pragma once

#include <QPointF>
#include <QSizeF>

#include <memory>
#include <optional>

/// Posts synthetic pointer and keyboard events into the desktop session, as hardware would.
///
/// Coordinates are in pixels of the main screen (the first monitor), origin at its top-left
/// corner, y growing downwards. Key codes are the virtual key codes of the remote keyboard
/// protocol (macOS codes); flags are its modifier masks (shift 0x20000, control 0x40000,
/// alternate 0x80000, command 0x100000). Main thread only.
class InputInjector
{
public:
    enum class Button
    {
        left,
        right
    };

    static constexpr quint32 ShiftFlag = 0x20000;
    static constexpr quint32 ControlFlag = 0x40000;
    static constexpr quint32 AlternateFlag = 0x80000;
    static constexpr quint32 CommandFlag = 0x100000;

    virtual ~InputInjector() = default;

    /// The platform's injector for the current session (X11 through XTest on Linux).
    static std::unique_ptr<InputInjector> create();

    /// The main screen's size, or nothing without a display.
    virtual std::optional<QSizeF> mainScreenSize() const = 0;
    /// Where the pointer is, or nothing without a display.
    virtual std::optional<QPointF> pointerLocation() const = 0;

    virtual void postMouseMove(QPointF point) = 0;
    /// A press and a release of `button` at `point`.
    virtual void postClick(QPointF point, Button button) = 0;
    /// Scrolling by pixel deltas; positive vertical scrolls up, positive horizontal scrolls left.
    virtual void postScroll(qint32 vertical, qint32 horizontal) = 0;
    /// A press and release of the key with that virtual key code, under `flags`.
    virtual void postKey(quint16 virtualKeyCode, quint32 flags) = 0;
    /// Types one character, whatever the keyboard layout, under `flags`.
    virtual void postCharacter(char32_t character, quint32 flags) = 0;
};
