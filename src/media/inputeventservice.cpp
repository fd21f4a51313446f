#include "inputeventservice.h"

#include "inputinjector.h"

#include <QDebug>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {
struct NamedKey
{
    const char *name;
    quint16 code;
};

constexpr std::array<NamedKey, 26> KeyNames = {{
    {"escape", 53}, {"tab", 48},     {"return", 36},    {"delete", 51}, {"forwardDelete", 117},
    {"up", 126},    {"down", 125},   {"left", 123},     {"right", 124}, {"home", 115},
    {"end", 119},   {"pageUp", 116}, {"pageDown", 121}, {"space", 49},  {"f1", 122},
    {"f2", 120},    {"f3", 99},      {"f4", 118},       {"f5", 96},     {"f6", 97},
    {"f7", 98},     {"f8", 100},     {"f9", 101},       {"f10", 109},   {"f11", 103},
    {"f12", 111},
}};
} // namespace

InputEventService::InputEventService(std::unique_ptr<InputInjector> injector)
    : m_injector(injector ? std::move(injector) : InputInjector::create())
{
}

InputEventService::~InputEventService() = default;

InputEventService &InputEventService::shared()
{
    static auto *service = new InputEventService; // never released
    return *service;
}

std::optional<quint16> InputEventService::keyCode(const QString &name)
{
    for (const NamedKey &k : KeyNames) {
        if (name == QLatin1String(k.name))
            return k.code;
    }
    return std::nullopt;
}

quint32 InputEventService::modifierFlags(const QStringList &modifiers)
{
    quint32 flags = 0;
    for (const QString &m : modifiers) {
        if (m == QLatin1String("shift"))
            flags |= InputInjector::ShiftFlag;
        else if (m == QLatin1String("ctrl"))
            flags |= InputInjector::ControlFlag;
        else if (m == QLatin1String("alt"))
            flags |= InputInjector::AlternateFlag;
        else if (m == QLatin1String("cmd"))
            flags |= InputInjector::CommandFlag;
    }
    return flags;
}

qint32 InputEventService::scrollDelta(double delta)
{
    if (!std::isfinite(delta))
        return 0;
    const double t = std::trunc(delta);
    constexpr double lo = std::numeric_limits<qint32>::min();
    constexpr double hi = std::numeric_limits<qint32>::max();
    return t <= lo   ? std::numeric_limits<qint32>::min()
           : t >= hi ? std::numeric_limits<qint32>::max()
                     : static_cast<qint32>(t);
}

void InputEventService::moveMouse(double x, double y, std::optional<QSizeF> referenceSize)
{
    const std::optional<QSizeF> size = referenceSize ? referenceSize : m_injector->mainScreenSize();
    if (!size || !(size->width() > 0) || !(size->height() > 0))
        return;
    // NaN counts as 0: it compares false both ways, and the pointer must land somewhere valid.
    const auto unit = [](double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); };
    m_injector->postMouseMove(QPointF(size->width() * unit(x), size->height() * unit(y)));
}

void InputEventService::click(const QString &button)
{
    if (!m_injector->mainScreenSize())
        return;
    const std::optional<QPointF> at = m_injector->pointerLocation();
    if (!at)
        return;
    m_injector->postClick(*at, button == QLatin1String("right") ? InputInjector::Button::right
                                                                : InputInjector::Button::left);
}

void InputEventService::scroll(double deltaX, double deltaY)
{
    m_injector->postScroll(scrollDelta(deltaY), scrollDelta(deltaX));
}

void InputEventService::pressKey(const QString &key, const QStringList &modifiers)
{
    const quint32 flags = modifierFlags(modifiers);
    if (const std::optional<quint16> code = keyCode(key)) {
        m_injector->postKey(*code, flags);
        return;
    }
    // Whole code points: a character outside the BMP is typed as itself, not as two halves.
    QList<uint> characters = key.toUcs4();
    if (characters.size() > MaxTypedCharacters) {
        qWarning().noquote() << "[Input] Typing only the first" << MaxTypedCharacters << "of"
                             << characters.size() << "characters";
        characters.resize(MaxTypedCharacters);
    }
    for (const uint c : std::as_const(characters))
        m_injector->postCharacter(char32_t(c), flags);
}
