// Input injection into a real X server (a private Xvfb), read back from the server and from a
// small window of the test's own that records what it receives.

#include "inputeventservice.h"
#include "inputinjector.h"
#include "xvfbserver.h"

#include <QTest>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace {
constexpr int Timeout = 5000;

struct Received
{
    int type;        // KeyPress, ButtonPress, ...
    unsigned detail; // button number, or 0 for keys
    KeySym keysym;   // for keys: the keysym at level 0 of the keycode
    unsigned state;  // modifier mask at the time
    int x, y;
};

// A window covering the screen that has the input focus.
class Recorder
{
public:
    Recorder()
    {
        m_display = XOpenDisplay(nullptr);
        const int screen = DefaultScreen(m_display);
        m_window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 0, 0,
                                       DisplayWidth(m_display, screen),
                                       DisplayHeight(m_display, screen), 0, 0, 0);
        XSelectInput(m_display, m_window,
                     KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                         ExposureMask);
        XMapRaised(m_display, m_window);
        XSync(m_display, False);
        // Wait until it is viewable before taking the focus.
        XEvent e;
        do
            XNextEvent(m_display, &e);
        while (e.type != Expose);
        XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
        XSync(m_display, False);
    }
    ~Recorder()
    {
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }

    QList<Received> &events()
    {
        while (XPending(m_display)) {
            XEvent e;
            XNextEvent(m_display, &e);
            if (e.type == MappingNotify) {
                XRefreshKeyboardMapping(&e.xmapping);
            } else if (e.type == KeyPress || e.type == KeyRelease) {
                KeySym sym = NoSymbol;
                char buf[8];
                XKeyEvent copy = e.xkey;
                copy.state &= ~ShiftMask; // the keysym of the key itself
                XLookupString(&copy, buf, sizeof buf, &sym, nullptr);
                m_events.append({e.type, 0, sym, e.xkey.state, e.xkey.x, e.xkey.y});
            } else if (e.type == ButtonPress || e.type == ButtonRelease) {
                m_events.append({e.type, e.xbutton.button, NoSymbol, e.xbutton.state, e.xbutton.x,
                                 e.xbutton.y});
            }
        }
        return m_events;
    }
    // Key presses of anything but modifier keys.
    QList<Received> keyPresses()
    {
        QList<Received> out;
        for (const Received &r : events()) {
            if (r.type == KeyPress && !IsModifierKey(r.keysym))
                out.append(r);
        }
        return out;
    }
    QPoint pointer()
    {
        Window root, child;
        int rx, ry, wx, wy;
        unsigned mask;
        XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rx, &ry, &wx, &wy,
                      &mask);
        return {rx, ry};
    }
    void clear()
    {
        events();
        m_events.clear();
    }

private:
    Display *m_display = nullptr;
    Window m_window = 0;
    QList<Received> m_events;
};
} // namespace

class TestInputEventService : public QObject
{
    Q_OBJECT

    std::unique_ptr<XvfbServer> m_x;
    std::unique_ptr<Recorder> m_recorder;
    std::unique_ptr<InputEventService> m_service;

private Q_SLOTS:
    void initTestCase()
    {
        m_x = std::make_unique<XvfbServer>();
        QVERIFY2(m_x->isRunning(), "Xvfb did not start");
        m_recorder = std::make_unique<Recorder>();
        m_service = std::make_unique<InputEventService>();
    }
    void init() { m_recorder->clear(); }
    void cleanupTestCase()
    {
        m_service.reset();
        m_recorder.reset();
        m_x.reset();
    }

    void keyNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code"); // -1: none
        const QList<QPair<const char *, int>> table = {{"escape", 53},
                                                       {"tab", 48},
                                                       {"return", 36},
                                                       {"delete", 51},
                                                       {"forwardDelete", 117},
                                                       {"up", 126},
                                                       {"down", 125},
                                                       {"left", 123},
                                                       {"right", 124},
                                                       {"home", 115},
                                                       {"end", 119},
                                                       {"pageUp", 116},
                                                       {"pageDown", 121},
                                                       {"space", 49},
                                                       {"f1", 122},
                                                       {"f2", 120},
                                                       {"f3", 99},
                                                       {"f4", 118},
                                                       {"f5", 96},
                                                       {"f6", 97},
                                                       {"f7", 98},
                                                       {"f8", 100},
                                                       {"f9", 101},
                                                       {"f10", 109},
                                                       {"f11", 103},
                                                       {"f12", 111},
                                                       {"Escape", -1},
                                                       {"Enter", -1},
                                                       {"Tab", -1},
                                                       {"f13", -1},
                                                       {"", -1},
                                                       {"return ", -1}};
        for (const auto &[name, code] : table)
            QTest::newRow(*name ? name : "(empty)") << QString::fromLatin1(name) << code;
    }
    void keyNames()
    {
        QFETCH(QString, name);
        QFETCH(int, code);
        const std::optional<quint16> found = InputEventService::keyCode(name);
        QCOMPARE(found ? int(*found) : -1, code);
    }

    void modifiers_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<quint32>("flags");
        QTest::newRow("none") << QStringList{} << 0u;
        QTest::newRow("cmd+shift") << QStringList{"cmd", "shift"} << 0x120000u;
        QTest::newRow("all") << QStringList{"shift", "ctrl", "alt", "cmd"} << 0x1e0000u;
        QTest::newRow("unknown names") << QStringList{"option", "Cmd", "SHIFT"} << 0u;
        QTest::newRow("repeated") << QStringList{"ctrl", "ctrl"} << 0x40000u;
    }
    void modifiers()
    {
        QFETCH(QStringList, names);
        QFETCH(quint32, flags);
        QCOMPARE(InputEventService::modifierFlags(names), flags);
    }

    void scrollDeltas_data()
    {
        QTest::addColumn<double>("delta");
        QTest::addColumn<qint32>("converted");
        QTest::newRow("1.9") << 1.9 << 1;
        QTest::newRow("-1.9") << -1.9 << -1;
        QTest::newRow("-120") << -120.0 << -120;
        QTest::newRow("huge") << 1e20 << std::numeric_limits<qint32>::max();
        QTest::newRow("-huge") << -1e20 << std::numeric_limits<qint32>::min();
        QTest::newRow("inf") << std::numeric_limits<double>::infinity() << 0;
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << 0;
    }
    void scrollDeltas()
    {
        QFETCH(double, delta);
        QFETCH(qint32, converted);
        QCOMPARE(InputEventService::scrollDelta(delta), converted);
    }

    void moveMouse_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("y");
        QTest::addColumn<QSizeF>("reference"); // empty: none given
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("centre of 1920x1080")
            << 0.5 << 0.5 << QSizeF(1920, 1080) << QPoint(960, 540);
        QTest::newRow("clamped") << -3.0 << 7.0 << QSizeF(1280, 720) << QPoint(0, 720);
        QTest::newRow("main screen") << 0.25 << 0.5 << QSizeF() << QPoint(480, 540);
        QTest::newRow("nan is 0") << std::numeric_limits<double>::quiet_NaN() << 0.1
                                  << QSizeF(1000, 1000) << QPoint(0, 100);
    }
    void moveMouse()
    {
        QFETCH(double, x);
        QFETCH(double, y);
        QFETCH(QSizeF, reference);
        QFETCH(QPoint, expected);
        m_service->moveMouse(0.1, 0.1, QSizeF(100, 100)); // somewhere else first
        m_service->moveMouse(x, y, reference.isEmpty() ? std::nullopt : std::optional(reference));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->pointer(), expected, Timeout);
    }

    void emptyReferenceSizeMovesNothing()
    {
        m_service->moveMouse(0.5, 0.5, QSizeF(200, 200));
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->pointer(), QPoint(100, 100), Timeout);
        m_service->moveMouse(0.9, 0.9, QSizeF(0, 1080));
        m_service->moveMouse(0.9, 0.9, QSizeF(1920, -1));
        QTest::qWait(100);
        QCOMPARE(m_recorder->pointer(), QPoint(100, 100));
    }

    void clicks_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<unsigned>("x11Button");
        QTest::newRow("right") << "right" << 3u;
        QTest::newRow("left") << "left" << 1u;
        QTest::newRow("middle is left") << "middle" << 1u;
        QTest::newRow("Right is left") << "Right" << 1u;
    }
    void clicks()
    {
        QFETCH(QString, button);
        QFETCH(unsigned, x11Button);
        m_service->moveMouse(0.5, 0.25, QSizeF(1920, 1080));
        m_service->click(button);
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events().size(), 2, Timeout);
        const QList<Received> e = m_recorder->events();
        QCOMPARE(e[0].type, ButtonPress);
        QCOMPARE(e[1].type, ButtonRelease);
        QCOMPARE(e[0].detail, x11Button);
        QCOMPARE(e[1].detail, x11Button);
        QCOMPARE(QPoint(e[0].x, e[0].y), QPoint(960, 270)); // where the pointer was
    }

    // Pixel deltas become wheel steps (buttons 4/5 vertical, 6/7 horizontal); what does not
    // make a whole step is kept for the next call.
    void scrolling()
    {
        auto buttons = [this] {
            QList<unsigned> b;
            for (const Received &r : m_recorder->events()) {
                if (r.type == ButtonPress)
                    b.append(r.detail);
            }
            return b;
        };
        m_service->scroll(0, -120); // down three steps
        QTRY_COMPARE_WITH_TIMEOUT(buttons(), (QList<unsigned>{5, 5, 5}), Timeout);
        m_recorder->clear();
        m_service->scroll(0, 100);    // up two, 20 px kept
        m_service->scroll(0, 20);     // with the 20 kept: one more
        m_service->scroll(1.9, -1.9); // below a step: nothing yet
        QTRY_COMPARE_WITH_TIMEOUT(buttons(), (QList<unsigned>{4, 4, 4}), Timeout);
        m_recorder->clear();
        m_service->scroll(80, 0);  // with the 1 px kept from 1.9: two steps left, 1 px kept
        m_service->scroll(-41, 0); // -40 with that pixel: one step right
        QTRY_COMPARE_WITH_TIMEOUT(buttons(), (QList<unsigned>{6, 6, 7}), Timeout);
        // An absurd delta gives a bounded number of steps, and nothing saved up for later.
        m_recorder->clear();
        m_service->scroll(0, 1e12);
        m_service->scroll(0, 40);
        QTRY_COMPARE_WITH_TIMEOUT(buttons().size(), 51, Timeout);
        QTest::qWait(100);
        QCOMPARE(buttons().size(), 51);
    }

    void namedKeyWithModifiers()
    {
        m_service->pressKey("return", {"cmd", "shift"});
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->keyPresses().size(), 1, Timeout);
        const Received r = m_recorder->keyPresses().first();
        QCOMPARE(r.keysym, KeySym(XK_Return));
        QVERIFY(r.state & ShiftMask);
        QVERIFY(r.state & Mod4Mask); // command: the Super modifier
        QVERIFY(!(r.state & ControlMask));
        // Every press is released, the modifiers last.
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->events().size(), 6, Timeout);
        QCOMPARE(m_recorder->events().last().type, KeyRelease);
    }

    void typedText_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("modifiers");
        QTest::addColumn<QList<KeySym>>("keysyms");
        QTest::addColumn<bool>("control");
        QTest::newRow("a") << "a" << QStringList{} << QList<KeySym>{XK_a} << false;
        QTest::newRow("ab with ctrl")
            << "ab" << QStringList{"ctrl"} << QList<KeySym>{XK_a, XK_b} << true;
        QTest::newRow("Tab is typed")
            << "Tab" << QStringList{} << QList<KeySym>{XK_t, XK_a, XK_b} << false;
        QTest::newRow("tab is the key") << "tab" << QStringList{} << QList<KeySym>{XK_Tab} << false;
        QTest::newRow("not in the keymap") << QString::fromUtf8("é€") << QStringList{}
                                           << QList<KeySym>{XK_eacute, 0x10020ac} << false;
        QTest::newRow("outside the BMP")
            << QString::fromUtf8("😀") << QStringList{} << QList<KeySym>{0x101f600} << false;
        QTest::newRow("newline") << "\n" << QStringList{} << QList<KeySym>{XK_Return} << false;
    }
    void typedText()
    {
        QFETCH(QString, key);
        QFETCH(QStringList, modifiers);
        QFETCH(QList<KeySym>, keysyms);
        QFETCH(bool, control);
        m_service->pressKey(key, modifiers);
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->keyPresses().size(), keysyms.size(), Timeout);
        const QList<Received> presses = m_recorder->keyPresses();
        for (int i = 0; i < presses.size(); ++i) {
            QCOMPARE(presses[i].keysym, keysyms[i]);
            QCOMPARE(bool(presses[i].state & ControlMask), control);
        }
    }

    void capitalLettersUseShift()
    {
        m_service->pressKey("A", {});
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->keyPresses().size(), 1, Timeout);
        QCOMPARE(m_recorder->keyPresses().first().keysym, KeySym(XK_a));
        QVERIFY(m_recorder->keyPresses().first().state & ShiftMask);
    }
};

QTEST_GUILESS_MAIN(TestInputEventService)
#include "tst_inputeventservice.moc"
