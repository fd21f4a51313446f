// The peer connection on webrtcbin against an independent WebRTC stack (aiortc, the phone
// simulator's), inside the test's own network namespace.

#include "phonepeer.h"
#include "webrtcservice.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <qcorotask.h>

using namespace TestPeer;

namespace {
constexpr int Timeout = 20000;

// The ICE servers the tests pass: loopback only, so nothing is ever looked up outside.
const QJsonArray LocalIce{QJsonObject{{"urls", "stun:127.0.0.1:3478"}}};

} // namespace

class TestWebRTCService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void iceServers_data()
    {
        QTest::addColumn<QJsonArray>("entries");
        QTest::addColumn<QList<IceServer>>("servers");
        const IceServer fallback{{"stun:stun.l.google.com:19302"}, std::nullopt, std::nullopt};
        QTest::newRow("none") << QJsonArray{} << QList<IceServer>{fallback};
        QTest::newRow("no usable urls")
            << QJsonArray{QJsonObject{{"url", "stun:a"}}, QJsonObject{{"urls", 5}}, "x"}
            << QList<IceServer>{fallback};
        QTest::newRow("list with credentials")
            << QJsonArray{QJsonObject{{"urls", QJsonArray{"turn:t:3478", "turns:t:5349"}},
                                      {"username", "u"},
                                      {"credential", "p"}}}
            << QList<IceServer>{{{"turn:t:3478", "turns:t:5349"}, "u", "p"}};
        QTest::newRow("username without credential")
            << QJsonArray{QJsonObject{{"urls", QJsonArray{"turn:t"}}, {"username", "u"}}}
            << QList<IceServer>{{{"turn:t"}, std::nullopt, std::nullopt}};
        QTest::newRow("single url ignores credentials")
            << QJsonArray{QJsonObject{{"urls", "turn:t"}, {"username", "u"}, {"credential", "p"}}}
            << QList<IceServer>{{{"turn:t"}, std::nullopt, std::nullopt}};
        QTest::newRow("order kept") << QJsonArray{QJsonObject{{"urls", "stun:a"}},
                                                  QJsonObject{{"urls", QJsonArray{"stun:b"}}}}
                                    << QList<IceServer>{{{"stun:a"}, std::nullopt, std::nullopt},
                                                        {{"stun:b"}, std::nullopt, std::nullopt}};
    }
    void iceServers()
    {
        QFETCH(QJsonArray, entries);
        QFETCH(QList<IceServer>, servers);
        QCOMPARE(WebRTCService::iceServersFrom(entries), servers);
    }

    void sdpReading()
    {
        const QString sdp = "v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:0\r\n"
                            "a=max-message-size:262144\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n"
                            "a=mid:video1\r\nm=audio 9 RTP/AVP 0\r\n";
        QCOMPARE(WebRTCService::midsOf(sdp), (QStringList{"0", "video1", ""}));
        QCOMPARE(WebRTCService::maxMessageSizeOf(sdp), qsizetype(262144));
        QCOMPARE(WebRTCService::maxMessageSizeOf("v=0\r\n"), std::nullopt);
    }

    void beforeAnyOffer()
    {
        WebRTCService service;
        try {
            await(service.createReOffer());
            QFAIL("no error");
        } catch (const WebRTCException &e) {
            QCOMPARE(e.error(), WebRTCError::failedToCreatePeerConnection);
        }
        await(service.handleReAnswer("v=0", "answer"));
        await(service.addIceCandidate("candidate:1 1 udp 1 10.0.0.1 9 typ host", "0", 0));
        service.sendText("dropped");
        QVERIFY(!service.hasPeerConnection());
    }

    void garbageOffers_data()
    {
        QTest::addColumn<QString>("sdp");
        QTest::addColumn<QString>("type");
        QTest::newRow("not SDP") << "hello"
                                 << "offer";
        QTest::newRow("empty") << ""
                               << "offer";
        QTest::newRow("no media") << "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
                                  << "offer";
        QTest::newRow("unknown type")
            << "v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
            << "banana";
    }
    void garbageOffers()
    {
        QFETCH(QString, sdp);
        QFETCH(QString, type);
        WebRTCService service;
        try {
            await(service.handleOffer(sdp, type, LocalIce));
            QFAIL("no error");
        } catch (const WebRTCException &e) {
            QVERIFY(!e.description().isEmpty());
        }
        service.close();
    }

    void dataChannelBothWays()
    {
        WebRTCService service;
        Phone phone;
        QStringList received;
        int opens = 0;
        int failures = 0;
        service.onConnectionFailed = [&failures] { ++failures; };
        QVERIFY(connectPhone(service, phone, received, opens, LocalIce));
        QVERIFY(service.isDataChannelOpen());
        QCOMPARE(service.maxMessageSize(), 65536); // aiortc's limit

        // Text both ways, UTF-8 intact; binary UTF-8 from the phone arrives as text.
        phone.send({{"type", "send"}, {"text", "hello from the phone"}});
        phone.send({{"type", "send_binary_utf8"}, {"text", "bin ✓ é"}});
        phone.send({{"type", "send_binary_hex"}, {"hex", "fffe00"}}); // not UTF-8: dropped
        phone.send({{"type", "send"}, {"text", "after"}});
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 3, Timeout);
        QCOMPARE(received, (QStringList{"hello from the phone", "bin ✓ é", "after"}));
        service.sendText("héllo ✓ 😀");
        std::optional<QJsonObject> text;
        QTRY_VERIFY_WITH_TIMEOUT(phone.has("text"), Timeout);
        text = phone.take("text");
        QCOMPARE(text->value("text").toString(), QStringLiteral("héllo ✓ 😀"));

        // A 1 MiB block goes out in messages the phone accepts and arrives whole, in order.
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        service.sendBinary(block);
        std::optional<QJsonObject> report;
        for (int i = 0; i < 100; ++i) {
            phone.send({{"type", "report"}});
            QTRY_VERIFY_WITH_TIMEOUT(phone.has("report"), Timeout);
            report = phone.take("report");
            if (report->value("binaryBytes").toInteger() == block.size())
                break;
            QTest::qWait(100);
        }
        QCOMPARE(report->value("sha256").toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(block, QCryptographicHash::Sha256).toHex()));
        QVERIFY(report->value("maxMessage").toInt() <= 65536);
        QCOMPARE(report->value("binaryMessages").toInt(), 16);

        // A second channel from the phone takes over.
        phone.send({{"type", "open_channel"}, {"label", "second"}});
        QTRY_COMPARE_WITH_TIMEOUT(opens, 2, Timeout);
        service.sendText("to the second");
        QTRY_VERIFY_WITH_TIMEOUT(phone.has("text"), Timeout);
        text = phone.take("text");
        QCOMPARE(text->value("channel").toString(), QStringLiteral("second"));

        // Candidates for m-lines the offer does not have are refused, without harm.
        for (auto [mid, index] : {std::pair{std::optional<QString>("nope"), 0},
                                  std::pair{std::optional<QString>(), 7}}) {
            try {
                await(service.addIceCandidate("candidate:1 1 udp 1 10.213.0.2 9 typ host", mid,
                                              index));
                QFAIL("no error");
            } catch (const WebRTCException &) {
            }
        }

        QCOMPARE(failures, 0);
        service.close();
        QTRY_COMPARE_WITH_TIMEOUT(failures, 1, Timeout);
        QTest::qWait(200);
        QCOMPARE(failures, 1);
        service.sendText("dropped after close");
    }

    // The phone vanishing in the middle of the negotiation: the answer is still made (or the
    // error reported), candidates go nowhere, and closing returns at once.
    void peerVanishesMidNegotiation()
    {
        WebRTCService service;
        int candidates = 0;
        service.onIceCandidate = [&](const QString &, int, const std::optional<QString> &) {
            ++candidates;
        };
        std::optional<QJsonObject> offer;
        {
            Phone phone;
            QTRY_VERIFY_WITH_TIMEOUT(phone.has("offer"), Timeout);
            offer = phone.take("offer");
        } // gone before it hears the answer
        const WebRTCService::Description answer =
            await(service.handleOffer(offer->value("sdp").toString(), "offer", LocalIce));
        QCOMPARE(answer.type, QStringLiteral("answer"));
        QTRY_VERIFY_WITH_TIMEOUT(candidates > 0, Timeout);
        await(
            service.addIceCandidate("candidate:1 1 udp 2130706431 10.213.0.2 9 typ host", "0", 0));
        QElapsedTimer t;
        t.start();
        service.close();
        QVERIFY(t.elapsed() < 5000);
        QVERIFY(!service.hasPeerConnection());
    }
};

QTEST_GUILESS_MAIN(TestWebRTCService)
#include "tst_webrtcservice.moc"
