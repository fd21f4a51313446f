// The signalling client and the connection manager against the development relay, over real
// WebSockets on 127.0.0.1. Time is scaled down (one back-off "second" is 20 ms, the heartbeat
// 150 ms) so that a minute of back-off takes about a second.

#include "connectionmanager.h"
#include "devrelay.h"
#include "durableobjectservice.h"
#include "identityservice.h"
#include "localizationmanager.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

namespace {
constexpr int Timeout = 10000;
const QString MacId = QStringLiteral("mac-0001");

class FakeIdentity : public IdentityService
{
public:
    std::optional<QString> user = QStringLiteral("user-1");
    QString token = QStringLiteral("token-1");
    bool fail = false;

    std::optional<QString> currentUser() const override { return user; }
    QCoro::Task<QString> idToken(bool) override
    {
        if (fail)
            throw IdentityError("token service unreachable");
        // A copy: GCC 12 moves from a member named in co_return.
        co_return QString(token);
    }
};

SignallingTiming fastTiming()
{
    SignallingTiming t;
    t.heartbeatIntervalMs = 150;
    t.msPerSecond = 20;
    t.random = [](quint32) { return 0u; };
    return t;
}

// What one device sent to the relay, by type.
struct RelayLog
{
    QList<QJsonObject> messages;
    QList<int> closeCodes;

    explicit RelayLog(DevRelay &relay, const QString &deviceId = MacId)
    {
        QObject::connect(&relay, &DevRelay::messageReceived,
                         [this, deviceId](const QString &id, const QJsonObject &m) {
                             if (id == deviceId)
                                 messages.append(m);
                         });
        QObject::connect(&relay, &DevRelay::clientDisconnected,
                         [this, deviceId](const QString &id, int code) {
                             if (id == deviceId)
                                 closeCodes.append(code);
                         });
    }
    int count(const char *type) const
    {
        int n = 0;
        for (const QJsonObject &m : messages)
            n += m.value("type").toString() == QLatin1String(type);
        return n;
    }
};

QList<ConnectionStatus> statuses(const QSignalSpy &spy)
{
    QList<ConnectionStatus> out;
    for (const QList<QVariant> &args : spy)
        out.append(args.first().value<ConnectionStatus>());
    return out;
}

QStringList types(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out.append(args.first().toJsonObject().value("type").toString());
    return out;
}
} // namespace

class TestDurableObjectService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    FakeIdentity m_identity;
    std::unique_ptr<DevRelay> m_relay;

    std::unique_ptr<DurableObjectService> makeService()
    {
        return std::make_unique<DurableObjectService>(MacId, "test-host", m_identity,
                                                      m_relay->url(), fastTiming());
    }

    // Starts a service and waits until the relay has registered it.
    std::unique_ptr<DurableObjectService> online()
    {
        auto service = makeService();
        service->connect();
        [&] {
            QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::registered, Timeout);
        }();
        return service;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The shared preferences store lives in a folder of this test, in English.
        qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
        LocalizationManager::shared().setLanguage(AppLanguage::en);
    }

    void init()
    {
        m_identity = FakeIdentity();
        m_relay = std::make_unique<DevRelay>();
        QVERIFY(m_relay->listen());
    }

    void cleanup() { m_relay.reset(); }

    void delaySchedule_data()
    {
        QTest::addColumn<int>("attempts");
        QTest::addColumn<int>("least");
        QTest::addColumn<int>("most");
        QTest::newRow("0") << 0 << 1 << 1;
        QTest::newRow("1") << 1 << 2 << 2;
        QTest::newRow("2") << 2 << 4 << 5;
        QTest::newRow("3") << 3 << 8 << 11;
        QTest::newRow("4") << 4 << 16 << 23;
        QTest::newRow("5") << 5 << 32 << 47;
        QTest::newRow("6") << 6 << 60 << 89;
        QTest::newRow("31") << 31 << 60 << 89;
        QTest::newRow("huge") << std::numeric_limits<int>::max() << 60 << 89;
    }
    void delaySchedule()
    {
        QFETCH(int, attempts);
        QFETCH(int, least);
        QFETCH(int, most);
        QCOMPARE(DurableObjectService::reconnectDelaySeconds(attempts, [](quint32) { return 0u; }),
                 least);
        QCOMPARE(
            DurableObjectService::reconnectDelaySeconds(attempts, [](quint32 b) { return b - 1; }),
            most);
    }

    void registersAndKeepsAlive()
    {
        RelayLog log(*m_relay);
        auto service = makeService();
        QSignalSpy status(service.get(), &DurableObjectService::statusChanged);
        QSignalSpy messages(service.get(), &DurableObjectService::messageReceived);
        service->connect();
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::registered, Timeout);
        QCOMPARE(statuses(status), (QList<ConnectionStatus>{ConnectionStatus::connecting,
                                                            ConnectionStatus::registering,
                                                            ConnectionStatus::registered}));
        const QJsonObject reg = log.messages.first();
        QCOMPARE(reg, (QJsonObject{{"type", "register"},
                                   {"idToken", "token-1"},
                                   {"deviceId", MacId},
                                   {"deviceType", "mac"},
                                   {"deviceName", "test-host"}}));
        QCOMPARE(types(messages), QStringList{"registered"});

        // Pings every tick, each answered: the link stays up and "pong" is not forwarded.
        QTRY_VERIFY_WITH_TIMEOUT(log.count("ping") >= 4, Timeout);
        QCOMPARE(service->status(), ConnectionStatus::registered);
        QVERIFY(service->missedPongs() <= 1);
        QCOMPARE(types(messages), QStringList{"registered"});
    }

    // Two pings unanswered, then the third tick declares the link lost and it reconnects.
    void silentRelayIsLostAtTheThirdTick()
    {
        RelayLog log(*m_relay);
        auto service = online();
        m_relay->setAnswerPings(false);
        const int pingsBefore = log.count("ping");
        // Read at the moment of the loss: the scaled-down reconnect follows within milliseconds.
        int unanswered = -1, attempts = -1;
        bool scheduled = false;
        connect(service.get(), &DurableObjectService::statusChanged, this, [&](ConnectionStatus s) {
            if (s != ConnectionStatus::disconnected || unanswered >= 0)
                return;
            unanswered = log.count("ping") - pingsBefore;
            QMetaObject::invokeMethod(
                this,
                [&] {
                    attempts = service->reconnectAttempts();
                    scheduled = service->isReconnectScheduled();
                },
                Qt::QueuedConnection);
        });
        QTRY_VERIFY_WITH_TIMEOUT(attempts >= 0, Timeout);
        QCOMPARE(unanswered, 2);
        QCOMPARE(attempts, 1);
        QVERIFY(scheduled);

        m_relay->setAnswerPings(true);
        QTRY_VERIFY2_WITH_TIMEOUT(service->status() == ConnectionStatus::registered,
                                  qPrintable(service->lastError().value_or("-")), Timeout);
        QCOMPARE(service->reconnectAttempts(), 0);
        QCOMPARE(log.count("register"), 2);
        // The silent socket was given up at the loss: its closing is not a second loss.
        QTest::qWait(300);
        QCOMPARE(service->status(), ConnectionStatus::registered);
        QCOMPARE(log.count("register"), 2);
    }

    void killedRelayIsReconnectedWhenBack()
    {
        auto service = online();
        const quint16 port = m_relay->port();
        m_relay->close();
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::disconnected, Timeout);
        QVERIFY(service->lastError().has_value());
        // Keeps trying with growing delays while the relay is away.
        QTRY_VERIFY_WITH_TIMEOUT(service->reconnectAttempts() >= 4, Timeout);
        QCOMPARE(service->status(), ConnectionStatus::disconnected);

        QVERIFY(m_relay->listen(QHostAddress::LocalHost, port));
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::registered, 15000);
        QCOMPARE(service->reconnectAttempts(), 0);
    }

    void unregisteredDeviceStopsReconnecting()
    {
        m_relay->setAutoRegisterMacs(false);
        RelayLog log(*m_relay);
        auto service = makeService();
        QSignalSpy messages(service.get(), &DurableObjectService::messageReceived);
        service->connect();
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::error, Timeout);
        QCOMPARE(types(messages), QStringList{"device_not_registered"});
        // Heartbeat ticks outside "registered" send nothing and never declare a loss.
        QTest::qWait(600);
        QCOMPARE(log.count("ping"), 0);
        QCOMPARE(service->status(), ConnectionStatus::error);

        m_relay->close();
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::disconnected, Timeout);
        QVERIFY(!service->isReconnectScheduled());
        QVERIFY(service->lastError().has_value()); // the closing error
        QTest::qWait(300);
        QCOMPARE(service->status(), ConnectionStatus::disconnected);
    }

    void relayErrors_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("lastError"); // "<none>": cleared
        QTest::addColumn<bool>("suppressesReconnect");
        QTest::newRow("plain error") << QByteArray(R"({"type":"error","message":"Rate limited"})")
                                     << "Rate limited" << false;
        QTest::newRow("error without text")
            << QByteArray(R"({"type":"error","message":5})") << "<none>" << false;
        QTest::newRow("device not registered, capitalised")
            << QByteArray(R"({"type":"error","message":"Device not registered"})")
            << "Device not registered" << true;
        QTest::newRow("upper case in a sentence")
            << QByteArray(R"({"type":"error","message":"Sorry: DEVICE NOT REGISTERED here"})")
            << "Sorry: DEVICE NOT REGISTERED here" << true;
        QTest::newRow("registered false") << QByteArray(R"({"type":"registered","success":false})")
                                          << "Registration failed" << false;
        QTest::newRow("registered with text true")
            << QByteArray(R"({"type":"registered","success":"true"})") << "Registration failed"
            << false;
    }
    void relayErrors()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, lastError);
        QFETCH(bool, suppressesReconnect);
        auto service = online();
        QSignalSpy messages(service.get(), &DurableObjectService::messageReceived);
        QSignalSpy status(service.get(), &DurableObjectService::statusChanged);
        // The status change comes before the message that caused it.
        connect(service.get(), &DurableObjectService::messageReceived, this,
                [&] { QCOMPARE(status.size(), 1); });
        QVERIFY(m_relay->sendRawTo(MacId, json, false));
        QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, Timeout);
        QCOMPARE(service->status(), ConnectionStatus::error);
        QCOMPARE(service->lastError().value_or("<none>"), lastError);

        m_relay->close();
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::disconnected, Timeout);
        QCOMPARE(service->isReconnectScheduled(), !suppressesReconnect);
    }

    // Frames that are not a JSON object change nothing but the last error; the link stays up.
    void malformedFrames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("binary");
        QTest::addColumn<bool>("parseError");
        QTest::addColumn<bool>("forwarded");
        QTest::newRow("not JSON") << QByteArray("hello {") << false << true << false;
        QTest::newRow("JSON array")
            << QByteArray(R"([{"type":"offer"}])") << false << true << false;
        QTest::newRow("JSON string") << QByteArray(R"("registered")") << false << true << false;
        QTest::newRow("empty text") << QByteArray() << false << true << false;
        QTest::newRow("invalid UTF-8 binary")
            << QByteArray("{\"type\":\"\xff\xfe\"}") << true << false << false;
        QTest::newRow("1 MiB garbage")
            << QByteArray(1024 * 1024 - 64, 'G') << false << true << false;
        QTest::newRow("1 MiB garbage binary")
            << QByteArray(1024 * 1024 - 64, '\x9c') << true << false << false;
        QTest::newRow("object in a binary frame")
            << QByteArray(R"({"type":"list_sessions"})") << true << false << true;
        QTest::newRow("object without type")
            << QByteArray(R"({"payload":{}})") << false << false << true;
        QTest::newRow("type not text")
            << QByteArray(R"({"type":{"x":1}})") << false << false << true;
        QTest::newRow("number past double range")
            << QByteArray(R"({"type":"ice_candidate","payload":{"sdpMLineIndex":1e999}})") << false
            << true << false;
    }
    void malformedFrames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, binary);
        QFETCH(bool, parseError);
        QFETCH(bool, forwarded);
        RelayLog log(*m_relay);
        auto service = online();
        QSignalSpy messages(service.get(), &DurableObjectService::messageReceived);
        QSignalSpy status(service.get(), &DurableObjectService::statusChanged);
        QVERIFY(m_relay->sendRawTo(MacId, bytes, binary));
        // A marker afterwards: once it is through, the frame before it has been handled.
        QVERIFY(m_relay->sendTo(MacId, {{"type", "marker"}}));
        QTRY_VERIFY_WITH_TIMEOUT(
            !messages.isEmpty() && messages.last().first().toJsonObject().value("type") == "marker",
            Timeout);
        QCOMPARE(messages.size(), forwarded ? 2 : 1);
        QCOMPARE(service->lastError().has_value(), parseError);
        if (parseError)
            QCOMPARE(*service->lastError(), QStringLiteral("Failed to parse message"));
        QVERIFY(status.isEmpty());
        QCOMPARE(service->status(), ConnectionStatus::registered);
        const int pings = log.count("ping");
        QTRY_VERIFY_WITH_TIMEOUT(log.count("ping") > pings, Timeout); // still alive
    }

    void disconnectSaysGoodbyeAndCloses()
    {
        RelayLog log(*m_relay);
        auto service = online();
        QSignalSpy status(service.get(), &DurableObjectService::statusChanged);
        service->disconnect();
        QCOMPARE(service->status(), ConnectionStatus::disconnected);
        QCOMPARE(service->webSocket(), nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(log.closeCodes, QList<int>{1000}, Timeout);
        QCOMPARE(log.messages.last().value("type").toString(), QStringLiteral("disconnect"));
        // The closing socket reports once more, without scheduling a reconnect.
        QTRY_COMPARE_WITH_TIMEOUT(status.size(), 2, Timeout);
        QCOMPARE(statuses(status), (QList<ConnectionStatus>{ConnectionStatus::disconnected,
                                                            ConnectionStatus::disconnected}));
        QVERIFY(!service->isReconnectScheduled());
        QTest::qWait(200);
        QCOMPARE(log.count("register"), 1);
    }

    void noSignedInUser()
    {
        m_identity.user.reset();
        auto service = makeService();
        QSignalSpy status(service.get(), &DurableObjectService::statusChanged);
        service->connect();
        QCOMPARE(statuses(status), (QList<ConnectionStatus>{
                                       ConnectionStatus::connecting, ConnectionStatus::registering,
                                       ConnectionStatus::error, ConnectionStatus::disconnected}));
        QCOMPARE(service->lastError(), QStringLiteral("User not authenticated"));
        QVERIFY(service->isReconnectScheduled());
        QCOMPARE(service->reconnectAttempts(), 1);
        // It retries; once somebody is signed in, it gets online.
        m_identity.user = QStringLiteral("user-1");
        QTRY_COMPARE_WITH_TIMEOUT(service->status(), ConnectionStatus::registered, Timeout);
    }

    void tokenFailure()
    {
        m_identity.fail = true;
        auto service = makeService();
        service->connect();
        QCOMPARE(service->status(), ConnectionStatus::disconnected);
        QCOMPARE(service->lastError(), QStringLiteral("token service unreachable"));
        QCOMPARE(service->reconnectAttempts(), 1);
    }

    void sendWithoutSocketIsDropped()
    {
        auto service = makeService();
        service->send({{"type", "ping"}});
        QVERIFY(!service->lastError());
        QCOMPARE(service->status(), ConnectionStatus::disconnected);
    }

    // ---- the connection manager

    void managerReplacesItsService()
    {
        RelayLog log(*m_relay);
        ConnectionManager manager(m_identity, m_relay->url(), fastTiming());
        QSignalSpy status(&manager, &ConnectionManager::statusChanged);
        manager.connect(MacId, "test-host");
        QTRY_VERIFY_WITH_TIMEOUT(manager.isConnected(), Timeout);
        QPointer<DurableObjectService> first = manager.service();
        status.clear();

        manager.connect(MacId, "test-host");
        QVERIFY(manager.service() != first);
        QCOMPARE(status.first().first().value<ConnectionStatus>(), ConnectionStatus::disconnected);
        QTRY_VERIFY_WITH_TIMEOUT(manager.isConnected(), Timeout);
        // The old link said goodbye and closed normally before the new one registered.
        QTRY_COMPARE_WITH_TIMEOUT(log.closeCodes, QList<int>{1000}, Timeout);
        QStringList sent;
        for (const QJsonObject &m : log.messages)
            sent.append(m.value("type").toString());
        sent.removeAll("ping");
        QCOMPARE(sent, (QStringList{"register", "disconnect", "register"}));
        QTRY_VERIFY_WITH_TIMEOUT(!first, Timeout); // dropped
    }

    void managerDisconnect()
    {
        ConnectionManager manager(m_identity, m_relay->url(), fastTiming());
        manager.disconnect(); // no service: only resets
        QCOMPARE(manager.status(), ConnectionStatus::disconnected);
        QVERIFY(!manager.lastError());

        m_relay->setAutoRegisterMacs(false);
        manager.connect(MacId, "test-host");
        QTRY_COMPARE_WITH_TIMEOUT(manager.status(), ConnectionStatus::error, Timeout);
        QVERIFY(!manager.isConnected());
        QVERIFY(m_relay->sendTo(MacId, {{"type", "error"}, {"message", "boom"}}));
        QTRY_COMPARE_WITH_TIMEOUT(manager.lastError(), QStringLiteral("boom"), Timeout);
        manager.disconnect();
        QCOMPARE(manager.status(), ConnectionStatus::disconnected);
        QVERIFY(!manager.lastError());
        QVERIFY(!manager.service());
        QTest::qWait(100); // queued events of the old service are not applied
        QCOMPARE(manager.status(), ConnectionStatus::disconnected);
        QVERIFY(!manager.lastError());
    }

    void managerMessagesOutliveServices()
    {
        ConnectionManager manager(m_identity, m_relay->url(), fastTiming());
        QSignalSpy messages(&manager, &ConnectionManager::messageReceived);
        QList<bool> connectedWhenSeen;
        for (int round = 0; round < 2; ++round) {
            manager.connect(MacId, "test-host");
            QTRY_VERIFY_WITH_TIMEOUT(manager.isConnected(), Timeout);
            QVERIFY(m_relay->sendTo(MacId, {{"type", "list_sessions"}, {"round", round}}));
            QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2 * (round + 1), Timeout);
            QCOMPARE(messages.last().first().toJsonObject().value("round").toInt(), round);
        }
        QCOMPARE(types(messages),
                 (QStringList{"registered", "list_sessions", "registered", "list_sessions"}));
    }

    void statusReachesTheManagerOneTurnLater()
    {
        ConnectionManager manager(m_identity, m_relay->url(), fastTiming());
        manager.connect(MacId, "test-host");
        // The client is already registering; the manager hears of it from the event loop.
        QCOMPARE(manager.service()->status(), ConnectionStatus::registering);
        QCOMPARE(manager.status(), ConnectionStatus::disconnected);
        QTRY_COMPARE_WITH_TIMEOUT(manager.status(), ConnectionStatus::registered, Timeout);
    }
};

QTEST_GUILESS_MAIN(TestDurableObjectService)
#include "tst_durableobjectservice.moc"
