// The screen of a private Xvfb streamed to the aiortc phone peer, which decodes it; inside the
// test's own network namespace.

#include "phonepeer.h"
#include "screenstreammanager.h"
#include "webrtcservice.h"
#include "xvfbserver.h"

#include <QProcess>
#include <QTest>

using namespace TestPeer;

namespace {
constexpr int Timeout = 30000;
const QJsonArray LocalIce{QJsonObject{{"urls", "stun:127.0.0.1:3478"}}};

void paintScreen(const char *colour)
{
    QProcess::execute("xsetroot", {"-solid", colour});
}

int colourDistance(const QJsonObject &frame, int r, int g, int b)
{
    const QJsonArray rgb = frame.value("rgb").toArray();
    return std::abs(rgb[0].toInt() - r) + std::abs(rgb[1].toInt() - g) +
           std::abs(rgb[2].toInt() - b);
}
} // namespace

class TestScreenStreamManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<XvfbServer> m_x;

    // Renegotiates with the phone: the host's re-offer, the phone's re-answer.
    static void renegotiate(WebRTCService &service, Phone &phone)
    {
        const WebRTCService::Description offer = await(service.createReOffer());
        QVERIFY(offer.sdp.contains("m=video"));
        QVERIFY(offer.sdp.contains("H264"));
        phone.send({{"type", "reoffer"}, {"sdp", offer.sdp}});
        QTRY_VERIFY_WITH_TIMEOUT(phone.has("reanswer"), Timeout);
        await(service.handleReAnswer(phone.take("reanswer")->value("sdp").toString(), "answer"));
    }

    static int framesSeen(Phone &phone)
    {
        int n = 0;
        for (const QJsonObject &m : phone.received()) {
            if (m.value("type") == "frame")
                n = std::max(n, m.value("n").toInt());
        }
        return n;
    }

    static std::optional<QJsonObject> lastFrame(Phone &phone)
    {
        std::optional<QJsonObject> last;
        for (const QJsonObject &m : phone.received()) {
            if (m.value("type") == "frame")
                last = m;
        }
        return last;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_x = std::make_unique<XvfbServer>(QStringLiteral("640x480x24"));
        QVERIFY(m_x->isRunning());
    }

    void errors()
    {
        ScreenStreamManager manager;
        WebRTCService unanswered;
        try {
            await(manager.startStreaming(&unanswered, 30));
            QFAIL("no error");
        } catch (const ScreenStreamException &e) {
            QCOMPARE(e.error(), ScreenStreamError::missingPeerConnection);
        }
        QVERIFY(!manager.isCapturing());

        // A peer connection, but no display to capture.
        Phone phone;
        QTRY_VERIFY_WITH_TIMEOUT(phone.has("offer"), Timeout);
        WebRTCService answered;
        await(
            answered.handleOffer(phone.take("offer")->value("sdp").toString(), "offer", LocalIce));
        const QByteArray display = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
        try {
            await(manager.startStreaming(&answered, 30));
            qputenv("DISPLAY", display);
            QFAIL("no error");
        } catch (const ScreenStreamException &e) {
            qputenv("DISPLAY", display);
            QCOMPARE(e.error(), ScreenStreamError::noDisplay);
        }
        QVERIFY(!manager.hasTrack());
        answered.close();
    }

    void streamPauseResumeAndTeardown()
    {
        paintScreen("#ff0000");
        WebRTCService service;
        Phone phone;
        QStringList received;
        int opens = 0;
        QVERIFY(connectPhone(service, phone, received, opens, LocalIce));

        ScreenStreamManager manager;
        QVERIFY(await(manager.startStreaming(&service, 30))); // a new track: renegotiate
        QVERIFY(manager.isCapturing());
        QCOMPARE(manager.captureSize(), QSizeF(640, 480));
        renegotiate(service, phone);

        // The phone decodes what is on the screen.
        QTRY_VERIFY_WITH_TIMEOUT(framesSeen(phone) >= 10, Timeout);
        QCOMPARE(lastFrame(phone)->value("width").toInt(), 640);
        QVERIFY2(colourDistance(*lastFrame(phone), 255, 0, 0) < 60,
                 QJsonDocument(*lastFrame(phone)).toJson().constData());
        paintScreen("#0000ff");
        QTRY_VERIFY_WITH_TIMEOUT(colourDistance(*lastFrame(phone), 0, 0, 255) < 60, Timeout);

        // Paused: frames stop, the track stays.
        manager.stopCapture();
        QTest::qWait(500); // what was on the way
        const int paused = framesSeen(phone);
        const quint64 encoded = manager.framesEncoded();
        QTest::qWait(1000);
        QVERIFY(framesSeen(phone) <= paused + 5);
        QCOMPARE(manager.framesEncoded(), encoded);
        QVERIFY(manager.hasTrack());

        // Resumed on the same track: no renegotiation needed.
        paintScreen("#00ff00");
        QVERIFY(!await(manager.startStreaming(&service, 30)));
        QTRY_VERIFY_WITH_TIMEOUT(framesSeen(phone) > paused + 10, Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(colourDistance(*lastFrame(phone), 0, 255, 0) < 60, Timeout);

        // Teardown stops sending without a re-offer and leaves the data channel working.
        manager.teardown();
        QVERIFY(!manager.hasTrack());
        QVERIFY(!manager.captureSize());
        const int afterTeardown = framesSeen(phone);
        QTest::qWait(1000);
        QVERIFY(framesSeen(phone) <= afterTeardown + 5);
        service.sendText("still here");
        QTRY_VERIFY_WITH_TIMEOUT(phone.has("text"), Timeout);
        service.close();
    }

    // A new peer connection gets a track of its own; the old one's is removed first.
    void newServiceGetsANewTrack()
    {
        ScreenStreamManager manager;
        WebRTCService first;
        Phone phoneA;
        QStringList received;
        int opens = 0;
        QVERIFY(connectPhone(first, phoneA, received, opens, LocalIce));
        QVERIFY(await(manager.startStreaming(&first, 15)));
        renegotiate(first, phoneA);
        QTRY_VERIFY_WITH_TIMEOUT(framesSeen(phoneA) >= 5, Timeout);

        WebRTCService second;
        Phone phoneB;
        opens = 0;
        QVERIFY(connectPhone(second, phoneB, received, opens, LocalIce));
        QVERIFY(await(manager.startStreaming(&second, 15)));
        QVERIFY(manager.isCapturing());
        renegotiate(second, phoneB);
        QTRY_VERIFY_WITH_TIMEOUT(framesSeen(phoneB) >= 5, Timeout);
        manager.stopCapture();
        QVERIFY(!await(manager.startStreaming(&second, 15)));
        // The first connection closing under a live track is harmless.
        first.close();
        manager.teardown();
        second.close();
    }
};

QTEST_GUILESS_MAIN(TestScreenStreamManager)
#include "tst_screenstreammanager.moc"
