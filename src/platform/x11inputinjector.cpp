#include "inputinjector.h"
#include "screeninfo.h"

#include <QDebug>
#include <QRectF>
#include <QTimer>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include <cmath>
#include <vector>

namespace {

// X11 has no pixel-unit scrolling, only wheel steps (buttons 4-7). One step stands for this many
// pixels of a trackpad-style delta; what is left over is kept for the next call, so slow
// scrolling still moves.
constexpr qint64 PixelsPerWheelStep = 40;
// At most this many wheel steps per call: a peer's absurd delta must not flood the X server or
// stall the event loop. What is beyond is dropped, not saved up.
constexpr qint64 MaxWheelStepsPerCall = 50;

// Spare keycodes are borrowed to type characters the keymap lacks; each keeps its keysym this
// long after its last use, so that clients reading the keymap late still see the right one.
constexpr int SpareRestoreDelayMs = 500;

KeySym keysymForVirtualKey(quint16 code)
{
    switch (code) {
    case 53:
        return XK_Escape;
    case 48:
        return XK_Tab;
    case 36:
        return XK_Return;
    case 51:
        return XK_BackSpace; // the remote "delete" key erases backwards
    case 117:
        return XK_Delete;
    case 126:
        return XK_Up;
    case 125:
        return XK_Down;
    case 123:
        return XK_Left;
    case 124:
        return XK_Right;
    case 115:
        return XK_Home;
    case 119:
        return XK_End;
    case 116:
        return XK_Prior;
    case 121:
        return XK_Next;
    case 49:
        return XK_space;
    case 122:
        return XK_F1;
    case 120:
        return XK_F2;
    case 99:
        return XK_F3;
    case 118:
        return XK_F4;
    case 96:
        return XK_F5;
    case 97:
        return XK_F6;
    case 98:
        return XK_F7;
    case 100:
        return XK_F8;
    case 101:
        return XK_F9;
    case 109:
        return XK_F10;
    case 103:
        return XK_F11;
    case 111:
        return XK_F12;
    default:
        return NoSymbol;
    }
}

KeySym keysymForCharacter(char32_t c)
{
    switch (c) {
    case U'\n':
    case U'\r':
        return XK_Return;
    case U'\t':
        return XK_Tab;
    case U'\b':
        return XK_BackSpace;
    case 0x1b:
        return XK_Escape;
    case 0x7f:
        return XK_Delete;
    default:
        break;
    }
    if (c < 0x20 || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
        return NoSymbol;
    // Latin-1 keysyms equal their code points; everything else has a Unicode keysym.
    return c <= 0xff ? KeySym(c) : KeySym(0x01000000 | c);
}

class X11InputInjector final : public InputInjector
{
public:
    X11InputInjector()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            return;
        int eventBase, errorBase, major, minor;
        if (!XTestQueryExtension(m_display, &eventBase, &errorBase, &major, &minor)) {
            qWarning().noquote() << "[Input] The X server has no XTEST extension";
            XCloseDisplay(m_display);
            m_display = nullptr;
            return;
        }
        m_restoreTimer.setSingleShot(true);
        QObject::connect(&m_restoreTimer, &QTimer::timeout, [this] { restoreSpares(); });
    }

    ~X11InputInjector() override
    {
        if (!m_display)
            return;
        restoreSpares();
        XCloseDisplay(m_display);
    }

    std::optional<QSizeF> mainScreenSize() const override
    {
        if (!m_display)
            return std::nullopt;
        return mainMonitor().size();
    }

    std::optional<QPointF> pointerLocation() const override
    {
        if (!m_display)
            return std::nullopt;
        Window root, child;
        int rootX, rootY, winX, winY;
        unsigned int mask;
        if (!XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rootX, &rootY,
                           &winX, &winY, &mask))
            return std::nullopt;
        const QRectF monitor = mainMonitor();
        return QPointF(rootX - monitor.x(), rootY - monitor.y());
    }

    void postMouseMove(QPointF point) override
    {
        if (!m_display)
            return;
        const QRectF monitor = mainMonitor();
        XTestFakeMotionEvent(m_display, -1, int(std::lround(monitor.x() + point.x())),
                             int(std::lround(monitor.y() + point.y())), CurrentTime);
        XFlush(m_display);
    }

    void postClick(QPointF point, Button button) override
    {
        if (!m_display)
            return;
        postMouseMove(point);
        const unsigned int x11Button = button == Button::right ? 3 : 1;
        XTestFakeButtonEvent(m_display, x11Button, True, CurrentTime);
        XTestFakeButtonEvent(m_display, x11Button, False, CurrentTime);
        XFlush(m_display);
    }

    void postScroll(qint32 vertical, qint32 horizontal) override
    {
        if (!m_display)
            return;
        wheel(m_verticalRemainder, vertical, 4, 5);
        wheel(m_horizontalRemainder, horizontal, 6, 7);
        XFlush(m_display);
    }

    void postKey(quint16 virtualKeyCode, quint32 flags) override
    {
        if (!m_display)
            return;
        const KeySym keysym = keysymForVirtualKey(virtualKeyCode);
        const KeyCode keycode = keysym == NoSymbol ? 0 : XKeysymToKeycode(m_display, keysym);
        if (!keycode)
            return;
        pressWithModifiers(keycode, flags);
    }

    void postCharacter(char32_t character, quint32 flags) override
    {
        if (!m_display)
            return;
        const KeySym keysym = keysymForCharacter(character);
        if (keysym == NoSymbol)
            return;
        KeyCode keycode = XKeysymToKeycode(m_display, keysym);
        if (keycode) {
            // In the keymap already: on its first level, or with shift on its second.
            if (XkbKeycodeToKeysym(m_display, keycode, 0, 0) != keysym) {
                if (XkbKeycodeToKeysym(m_display, keycode, 0, 1) == keysym)
                    flags |= ShiftFlag;
                else
                    keycode = 0;
            }
        }
        if (!keycode)
            keycode = borrowSpare(keysym);
        if (!keycode)
            return;
        pressWithModifiers(keycode, flags);
    }

private:
    QRectF mainMonitor() const { return QRectF(ScreenInfo::firstMonitorOn(m_display)); }

    void wheel(qint64 &remainder, qint32 pixels, unsigned int positiveButton,
               unsigned int negativeButton)
    {
        remainder += pixels;
        qint64 steps = remainder / PixelsPerWheelStep; // toward zero, keeping the sign
        remainder -= steps * PixelsPerWheelStep;
        if (std::abs(steps) > MaxWheelStepsPerCall) {
            steps = steps > 0 ? MaxWheelStepsPerCall : -MaxWheelStepsPerCall;
            remainder = 0;
        }
        const unsigned int button = steps > 0 ? positiveButton : negativeButton;
        for (qint64 i = 0; i < std::abs(steps); ++i) {
            XTestFakeButtonEvent(m_display, button, True, CurrentTime);
            XTestFakeButtonEvent(m_display, button, False, CurrentTime);
        }
    }

    void pressWithModifiers(KeyCode keycode, quint32 flags)
    {
        std::vector<KeyCode> modifiers;
        for (auto [flag, keysym] :
             {std::pair{ControlFlag, XK_Control_L}, std::pair{ShiftFlag, XK_Shift_L},
              std::pair{AlternateFlag, XK_Alt_L}, std::pair{CommandFlag, XK_Super_L}}) {
            if (flags & flag) {
                if (const KeyCode k = XKeysymToKeycode(m_display, keysym))
                    modifiers.push_back(k);
            }
        }
        for (KeyCode m : modifiers)
            XTestFakeKeyEvent(m_display, m, True, CurrentTime);
        XTestFakeKeyEvent(m_display, keycode, True, CurrentTime);
        XTestFakeKeyEvent(m_display, keycode, False, CurrentTime);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
            XTestFakeKeyEvent(m_display, *it, False, CurrentTime);
        XFlush(m_display);
    }

    // A keycode with no keysym, mapped to `keysym` until a little after its last use.
    KeyCode borrowSpare(KeySym keysym)
    {
        if (m_spares.empty())
            findSpares();
        Spare *chosen = nullptr;
        for (Spare &s : m_spares) {
            if (s.keysym == keysym) {
                chosen = &s;
                break;
            }
        }
        if (!chosen) {
            // The one unused longest; a burst of more distinct characters than spares reuses it.
            for (Spare &s : m_spares) {
                if (!chosen || s.lastUse < chosen->lastUse)
                    chosen = &s;
            }
            if (!chosen)
                return 0;
            KeySym syms[2] = {keysym, keysym};
            XChangeKeyboardMapping(m_display, chosen->keycode, 2, syms, 1);
            XSync(m_display, False);
            chosen->keysym = keysym;
        }
        chosen->lastUse = ++m_useCounter;
        m_restoreTimer.start(SpareRestoreDelayMs);
        return chosen->keycode;
    }

    void findSpares()
    {
        int minKeycode, maxKeycode, perKeycode;
        XDisplayKeycodes(m_display, &minKeycode, &maxKeycode);
        KeySym *map = XGetKeyboardMapping(m_display, KeyCode(minKeycode),
                                          maxKeycode - minKeycode + 1, &perKeycode);
        if (!map)
            return;
        for (int k = maxKeycode; k >= minKeycode && m_spares.size() < 16; --k) {
            bool empty = true;
            for (int i = 0; i < perKeycode; ++i)
                empty = empty && map[(k - minKeycode) * perKeycode + i] == NoSymbol;
            if (empty)
                m_spares.push_back({KeyCode(k), NoSymbol, 0});
        }
        XFree(map);
    }

    void restoreSpares()
    {
        bool changed = false;
        for (Spare &s : m_spares) {
            if (s.keysym == NoSymbol)
                continue;
            KeySym none[2] = {NoSymbol, NoSymbol};
            XChangeKeyboardMapping(m_display, s.keycode, 2, none, 1);
            s.keysym = NoSymbol;
            changed = true;
        }
        if (changed)
            XSync(m_display, False);
    }

    struct Spare
    {
        KeyCode keycode;
        KeySym keysym;
        quint64 lastUse;
    };

    Display *m_display = nullptr;
    std::vector<Spare> m_spares;
    quint64 m_useCounter = 0;
    QTimer m_restoreTimer;
    qint64 m_verticalRemainder = 0;
    qint64 m_horizontalRemainder = 0;
};

} // namespace

std::unique_ptr<InputInjector> InputInjector::create()
{
    return std::make_unique<X11InputInjector>();
}
