#pragma once

#include <QSizeF>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class InputInjector;

/// Turns the phone's pointer and key requests into system input events. Keeps no state and
/// reports nothing: the phone sees the effect in the screen stream. Main thread only.
class InputEventService
{
public:
    /// Uses `injector` (owned); the platform's own when none is given.
    explicit InputEventService(std::unique_ptr<InputInjector> injector = {});
    ~InputEventService();

    static InputEventService &shared();

    /// Moves the pointer to (x, y), each clamped to 0…1 across the reference size (the captured
    /// picture), or across the main screen without one. Nothing happens for an empty size.
    void moveMouse(double x, double y, std::optional<QSizeF> referenceSize = std::nullopt);
    /// A single click where the pointer is: "right" clicks the right button, anything else the
    /// left one.
    void click(const QString &button);
    /// Scrolls by pixel deltas (truncated toward zero); positive deltaY scrolls up.
    void scroll(double deltaX, double deltaY);
    /// Presses the named key (see keyCode), or types the characters of `key` one by one, with
    /// the named modifiers ("shift", "ctrl", "alt", "cmd") held.
    void pressKey(const QString &key, const QStringList &modifiers);

    /// The virtual key code of a key name ("escape", "tab", "return", … "f12"), case-sensitive.
    static std::optional<quint16> keyCode(const QString &name);
    /// The modifier flags of the named modifiers; other names add nothing.
    static quint32 modifierFlags(const QStringList &modifiers);
    /// A delta converted for a scroll event: truncated, clamped into 32 bits, 0 when not finite.
    static qint32 scrollDelta(double delta);

    /// The most characters one pressKey types; the rest of a longer text is dropped.
    static constexpr qsizetype MaxTypedCharacters = 4096;

private:
    std::unique_ptr<InputInjector> m_injector;
};
