#include "devrelay.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QWebSocket>

#include <memory>

namespace {
constexpr int Timeout = 10000;

QJsonObject json(const char *text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text), &error);
    if (!document.isObject())
        qFatal("test data is not a JSON object: %s", text);
    return document.object();
}

QString str(const char *text)
{
    return QString::fromUtf8(text);
}

QJsonObject registerMessage(const QString &deviceId, const char *deviceType,
                            const QString &token = str("token"))
{
    return {{str("type"), str("register")},
            {str("idToken"), token},
            {str("deviceId"), deviceId},
            {str("deviceType"), str(deviceType)},
            {str("deviceName"), deviceId + str(" name")}};
}

const QJsonObject Registered = json(R"({"type":"registered","success":true})");
const QJsonObject Pong = json(R"({"type":"pong"})");
const QJsonObject Ping = json(R"({"type":"ping"})");
const QJsonObject MacOffline = json(R"({"type":"error","message":"Mac is offline"})");

/// A WebSocket peer standing in for the host or the phone; it keeps every message it gets.
class Client
{
public:
    Client()
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &text) {
                             texts.append(text);
                             messages.append(QJsonDocument::fromJson(text.toUtf8()).object());
                         });
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived, &socket,
                         [this](const QByteArray &bytes) { binaries.append(bytes); });
    }

    bool open(const QUrl &url)
    {
        socket.open(url);
        // Refused connections end quickly; waiting for success would sit out the timeout.
        (void)QTest::qWaitFor([this] { return socket.state() != QAbstractSocket::ConnectingState; },
                              Timeout);
        return socket.state() == QAbstractSocket::ConnectedState;
    }

    void send(const QJsonObject &message)
    {
        socket.sendTextMessage(
            QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }

    /// The oldest message not yet taken, or an empty object after the timeout.
    QJsonObject next()
    {
        if (!QTest::qWaitFor([this] { return messages.size() > m_taken; }, Timeout))
            return {};
        return messages.at(m_taken++);
    }

    /// True when the relay has nothing queued for us: the answer to a ping is the next message.
    bool hasNothingPending()
    {
        send(Ping);
        return next() == Pong;
    }

    bool waitForDisconnect()
    {
        return QTest::qWaitFor(
            [this] { return socket.state() == QAbstractSocket::UnconnectedState; }, Timeout);
    }

    QWebSocket socket;
    QStringList texts;
    QList<QJsonObject> messages;
    QList<QByteArray> binaries;

private:
    qsizetype m_taken = 0;
};

std::unique_ptr<Client> connectClient(const QUrl &url)
{
    auto client = std::make_unique<Client>();
    if (!client->open(url))
        return nullptr;
    return client;
}

std::unique_ptr<Client> registeredClient(const DevRelay &relay, const QString &deviceId,
                                         const char *deviceType)
{
    auto client = connectClient(relay.url());
    if (!client)
        return nullptr;
    client->send(registerMessage(deviceId, deviceType));
    if (client->next() != Registered)
        return nullptr;
    return client;
}

void showLog(DevRelay &relay)
{
    QObject::connect(&relay, &DevRelay::logLine, &relay,
                     [](const QString &line) { qInfo("relay: %s", qPrintable(line)); });
}
} // namespace

class TestDevRelay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void registration_data()
    {
        QTest::addColumn<QString>("requiredToken");
        QTest::addColumn<bool>("autoRegisterMacs");
        QTest::addColumn<bool>("macKnownBefore");
        QTest::addColumn<QJsonObject>("message");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<bool>("connected");

        const QJsonObject badToken = json(R"({"type":"error","message":"Invalid ID token"})");
        const QJsonObject badFields = json(R"({"type":"error","message":"Invalid registration"})");
        const QJsonObject notRegistered = json(R"({"type":"device_not_registered"})");
        const QString none;
        const QString secret = str("secret");

        QTest::newRow("iphone, any token")
            << none << true << false << registerMessage(str("ip-1"), "iphone") << Registered
            << true;
        QTest::newRow("iphone, the required token")
            << secret << true << false << registerMessage(str("ip-1"), "iphone", secret)
            << Registered << true;
        QTest::newRow("iphone, another token")
            << secret << true << false << registerMessage(str("ip-1"), "iphone", str("guess"))
            << badToken << false;
        QTest::newRow("empty token")
            << none << true << false << registerMessage(str("ip-1"), "iphone", none) << badToken
            << false;
        QTest::newRow("token is a number")
            << none << true << false
            << json(R"({"type":"register","idToken":42,"deviceId":"ip-1",)"
                    R"("deviceType":"iphone","deviceName":"n"})")
            << badToken << false;
        QTest::newRow("token missing")
            << none << true << false
            << json(R"({"type":"register","deviceId":"ip-1","deviceType":"iphone",)"
                    R"("deviceName":"n"})")
            << badToken << false;
        QTest::newRow("mac, counted as registered")
            << none << true << false << registerMessage(str("mac-1"), "mac") << Registered << true;
        QTest::newRow("mac, registration required")
            << none << false << false << registerMessage(str("mac-1"), "mac") << notRegistered
            << false;
        QTest::newRow("mac, registered earlier")
            << none << false << true << registerMessage(str("mac-1"), "mac") << Registered << true;
        QTest::newRow("mac, another token")
            << secret << true << false << registerMessage(str("mac-1"), "mac", str("guess"))
            << badToken << false;
        QTest::newRow("unknown device type")
            << none << true << false << registerMessage(str("x-1"), "android") << badFields
            << false;
        QTest::newRow("empty deviceId")
            << none << true << false << registerMessage(none, "iphone") << badFields << false;
        QTest::newRow("deviceId is a number")
            << none << true << false
            << json(R"({"type":"register","idToken":"t","deviceId":7,"deviceType":"iphone",)"
                    R"("deviceName":"n"})")
            << badFields << false;
        QTest::newRow("deviceName missing")
            << none << true << false
            << json(R"({"type":"register","idToken":"t","deviceId":"ip-1","deviceType":"iphone"})")
            << badFields << false;
    }

    void registration()
    {
        QFETCH(QString, requiredToken);
        QFETCH(bool, autoRegisterMacs);
        QFETCH(bool, macKnownBefore);
        QFETCH(QJsonObject, message);
        QFETCH(QJsonObject, reply);
        QFETCH(bool, connected);

        DevRelay relay;
        showLog(relay);
        relay.setRequiredToken(requiredToken);
        relay.setAutoRegisterMacs(autoRegisterMacs);
        if (macKnownBefore)
            QVERIFY(relay.registerMac(str("mac-1")));
        QVERIFY2(relay.listen(), qPrintable(relay.errorString()));
        QSignalSpy received(&relay, &DevRelay::messageReceived);

        auto client = connectClient(relay.url());
        QVERIFY(client);
        client->send(message);
        QCOMPARE(client->next(), reply);

        const QString deviceId = message.value(str("deviceId")).toString();
        QCOMPARE(relay.isConnected(deviceId), connected);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(0).toString(), deviceId);
        QCOMPARE(received.at(0).at(1).value<QJsonObject>(), message);
        // Refused or not, the connection stays usable.
        QVERIFY(client->hasNothingPending());
        QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
    }

    void unregisteredMacRegistersItself()
    {
        DevRelay relay;
        showLog(relay);
        relay.setAutoRegisterMacs(false);
        QVERIFY(relay.listen());
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(iphone);

        auto mac = connectClient(relay.url());
        QVERIFY(mac);
        mac->send(registerMessage(str("mac-1"), "mac"));
        QCOMPARE(mac->next(), json(R"({"type":"device_not_registered"})"));

        // Until it registers, the Mac neither sends nor receives anything.
        mac->send(json(R"({"type":"answer","targetDeviceId":"ip-1","sdp":"x"})"));
        QVERIFY(mac->hasNothingPending());
        QVERIFY(iphone->hasNothingPending());
        iphone->send(json(R"({"type":"connection_request","targetDeviceId":"mac-1"})"));
        QCOMPARE(iphone->next(), MacOffline);
        QVERIFY(mac->hasNothingPending());

        mac->send(json(R"({"type":"register_mac_device"})"));
        QCOMPARE(mac->next(), Registered);
        QVERIFY(relay.isMacRegistered(str("mac-1")));
        QVERIFY(relay.isConnected(str("mac-1")));
        iphone->send(json(R"({"type":"connection_request","targetDeviceId":"mac-1"})"));
        QCOMPARE(mac->next().value(str("type")).toString(), str("connection_request"));

        // Known from now on: a fresh connection is registered straight away.
        auto again = registeredClient(relay, str("mac-1"), "mac");
        QVERIFY(again);
    }

    void stateIsPerDatabase()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(str("devcloud.sqlite"));
        {
            DevRelay relay(file);
            showLog(relay);
            relay.setAutoRegisterMacs(false);
            QVERIFY2(relay.listen(), qPrintable(relay.errorString()));
            auto mac = connectClient(relay.url());
            QVERIFY(mac);
            mac->send(registerMessage(str("mac-1"), "mac"));
            QCOMPARE(mac->next().value(str("type")).toString(), str("device_not_registered"));
            mac->send(json(R"({"type":"register_mac_device"})"));
            QCOMPARE(mac->next(), Registered);
            QVERIFY(relay.approveIphone(str("mac-1"), str("ip-1"), str("Phone")));

            // Two relays in one process, each in memory, know nothing of each other.
            DevRelay other;
            QVERIFY(!other.isMacRegistered(str("mac-1")));
            QVERIFY(!other.isIphoneApproved(str("mac-1"), str("ip-1")));
        }

        DevRelay restarted(file);
        showLog(restarted);
        restarted.setAutoRegisterMacs(false);
        QVERIFY2(restarted.listen(), qPrintable(restarted.errorString()));
        QVERIFY(restarted.isIphoneApproved(str("mac-1"), str("ip-1")));
        QVERIFY(!restarted.isIphoneApproved(str("mac-2"), str("ip-1")));
        auto mac = registeredClient(restarted, str("mac-1"), "mac");
        QVERIFY(mac);
    }

    void keepAlive_data()
    {
        QTest::addColumn<bool>("answerPings");
        QTest::newRow("answered") << true;
        QTest::newRow("swallowed") << false;
    }

    void keepAlive()
    {
        QFETCH(bool, answerPings);
        DevRelay relay;
        showLog(relay);
        relay.setAnswerPings(answerPings);
        QVERIFY(relay.listen());
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(iphone);

        iphone->send(Ping);
        // Replies come in order, so whatever arrives before this one is the ping's answer.
        iphone->send(json(R"({"type":"offer","targetDeviceId":"nobody"})"));
        if (answerPings)
            QCOMPARE(iphone->next(), Pong);
        QCOMPARE(iphone->next(), MacOffline);
    }

    void iphoneToMac_data()
    {
        QTest::addColumn<QJsonArray>("iceServers"); // empty: leave the default
        QTest::addColumn<QJsonObject>("sent");
        QTest::addColumn<QJsonArray>("expected");

        const QJsonArray defaultIce = QJsonArray{json(R"({"urls":["stun:127.0.0.1:3478"]})")};
        const QJsonArray customIce =
            QJsonArray{json(R"({"urls":["turn:127.0.0.1:3479"],"username":"u","credential":"c"})")};

        QTest::newRow("offer, default ice servers")
            << QJsonArray()
            << json(R"({"type":"offer","targetDeviceId":"mac-1","sdp":"v=0","sessionId":3})")
            << QJsonArray{
                   QJsonObject{{str("type"), str("ice_servers")}, {str("iceServers"), defaultIce}},
                   json(R"({"type":"offer","fromDeviceId":"ip-1","sdp":"v=0",)"
                        R"("sessionId":3})")};
        QTest::newRow("offer, configured ice servers, spoofed sender")
            << customIce
            << json(R"({"type":"offer","targetDeviceId":"mac-1","fromDeviceId":"mac-1",)"
                    R"("sdp":"v=0"})")
            << QJsonArray{
                   QJsonObject{{str("type"), str("ice_servers")}, {str("iceServers"), customIce}},
                   json(R"({"type":"offer","fromDeviceId":"ip-1","sdp":"v=0"})")};
        QTest::newRow("ice candidate")
            << QJsonArray()
            << json(R"({"type":"ice_candidate","targetDeviceId":"mac-1",)"
                    R"("candidate":{"sdpMid":"0","candidate":"c"}})")
            << QJsonArray{json(R"({"type":"ice_candidate","fromDeviceId":"ip-1",)"
                               R"("candidate":{"sdpMid":"0","candidate":"c"}})")};
        QTest::newRow("connection request, unapproved, claims approval")
            << QJsonArray()
            << json(R"({"type":"connection_request","targetDeviceId":"mac-1","isApproved":true})")
            << QJsonArray{json(R"({"type":"connection_request","fromDeviceId":"ip-1",)"
                               R"("isApproved":false})")};
    }

    void iphoneToMac()
    {
        QFETCH(QJsonArray, iceServers);
        QFETCH(QJsonObject, sent);
        QFETCH(QJsonArray, expected);

        DevRelay relay;
        showLog(relay);
        if (!iceServers.isEmpty())
            relay.setIceServers(iceServers);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(mac && iphone);
        QSignalSpy received(&relay, &DevRelay::messageReceived);

        iphone->send(sent);
        for (const QJsonValue &message : std::as_const(expected))
            QCOMPARE(mac->next(), message.toObject());
        QVERIFY(mac->hasNothingPending());

        QVERIFY(received.size() >= 1);
        QCOMPARE(received.at(0).at(0).toString(), str("ip-1"));
        QCOMPARE(received.at(0).at(1).value<QJsonObject>(), sent);
    }

    void iphoneToUnreachableMac_data()
    {
        QTest::addColumn<QJsonObject>("sent");
        QTest::addColumn<QJsonObject>("reply"); // empty: none

        QTest::newRow("unknown Mac")
            << json(R"({"type":"offer","targetDeviceId":"nobody","sdp":"v=0"})") << MacOffline;
        QTest::newRow("target is an iPhone")
            << json(R"({"type":"offer","targetDeviceId":"ip-2","sdp":"v=0"})") << MacOffline;
        QTest::newRow("Mac not yet registered")
            << json(R"({"type":"connection_request","targetDeviceId":"mac-pending"})")
            << MacOffline;
        QTest::newRow("pairing with an unknown Mac")
            << json(R"({"type":"pair_request","targetDeviceId":"nobody","iphoneName":"P"})")
            << MacOffline;
        QTest::newRow("no target") << json(R"({"type":"offer","sdp":"v=0"})") << QJsonObject();
    }

    void iphoneToUnreachableMac()
    {
        QFETCH(QJsonObject, sent);
        QFETCH(QJsonObject, reply);

        DevRelay relay;
        showLog(relay);
        relay.setAutoRegisterMacs(false);
        relay.registerMac(str("mac-1"));
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto pending = connectClient(relay.url());
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        auto otherIphone = registeredClient(relay, str("ip-2"), "iphone");
        QVERIFY(mac && pending && iphone && otherIphone);
        pending->send(registerMessage(str("mac-pending"), "mac"));
        QCOMPARE(pending->next().value(str("type")).toString(), str("device_not_registered"));

        iphone->send(sent);
        if (!reply.isEmpty())
            QCOMPARE(iphone->next(), reply);
        QVERIFY(iphone->hasNothingPending());
        for (Client *other : {mac.get(), pending.get(), otherIphone.get()})
            QVERIFY(other->hasNothingPending());
    }

    void macToIphone_data()
    {
        QTest::addColumn<QJsonObject>("sent");
        QTest::addColumn<QJsonObject>("expected"); // empty: dropped

        QTest::newRow("answer, spoofed sender")
            << json(R"({"type":"answer","targetDeviceId":"ip-1","fromDeviceId":"ip-1",)"
                    R"("sdp":"v=0"})")
            << json(R"({"type":"answer","targetDeviceId":"ip-1","fromDeviceId":"mac-1",)"
                    R"("sdp":"v=0"})");
        QTest::newRow("connection accepted")
            << json(R"({"type":"connection_accepted","targetDeviceId":"ip-1"})")
            << json(R"({"type":"connection_accepted","targetDeviceId":"ip-1",)"
                    R"("fromDeviceId":"mac-1"})");
        QTest::newRow("iPhone not connected")
            << json(R"({"type":"answer","targetDeviceId":"ip-gone","sdp":"v=0"})") << QJsonObject();
        QTest::newRow("target is a Mac")
            << json(R"({"type":"answer","targetDeviceId":"mac-2","sdp":"v=0"})") << QJsonObject();
        QTest::newRow("no target") << json(R"({"type":"answer","sdp":"v=0"})") << QJsonObject();
        QTest::newRow("disconnect notice") << json(R"({"type":"disconnect"})") << QJsonObject();
    }

    void macToIphone()
    {
        QFETCH(QJsonObject, sent);
        QFETCH(QJsonObject, expected);

        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto otherMac = registeredClient(relay, str("mac-2"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(mac && otherMac && iphone);

        mac->send(sent);
        QVERIFY(mac->hasNothingPending());
        if (!expected.isEmpty())
            QCOMPARE(iphone->next(), expected);
        QVERIFY(iphone->hasNothingPending());
        QVERIFY(otherMac->hasNothingPending());
        QVERIFY(relay.isConnected(str("mac-1")));
    }

    void pairing_data()
    {
        QTest::addColumn<bool>("approve");
        QTest::newRow("approved") << true;
        QTest::newRow("rejected") << false;
    }

    void pairing()
    {
        QFETCH(bool, approve);
        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(mac && iphone);

        // (Built by hand: moc mistakes the apostrophe in a raw string for a character literal.)
        iphone->send({{str("type"), str("pair_request")},
                      {str("targetDeviceId"), str("mac-1")},
                      {str("iphoneName"), str("Ana's phone")}});
        const QJsonObject request = mac->next();
        QCOMPARE(request.value(str("type")).toString(), str("iphone_registration_request"));
        QCOMPARE(request.value(str("iphoneDeviceId")).toString(), str("ip-1"));
        QCOMPARE(request.value(str("iphoneName")).toString(), str("Ana's phone"));
        const QString registrationId = request.value(str("registrationId")).toString();
        QVERIFY2(!QUuid::fromString(registrationId).isNull(), qPrintable(registrationId));

        QJsonObject answer{{str("type"), approve ? str("approve_iphone") : str("reject_iphone")},
                           {str("registrationId"), registrationId},
                           {str("iphoneDeviceId"), str("ip-1")}};
        if (approve)
            answer.insert(str("iphoneName"), str("Ana's phone"));
        mac->send(answer);
        QCOMPARE(iphone->next(), (QJsonObject{{str("type"), str("pair_result")},
                                              {str("approved"), approve},
                                              {str("registrationId"), registrationId},
                                              {str("macDeviceId"), str("mac-1")}}));
        QCOMPARE(relay.isIphoneApproved(str("mac-1"), str("ip-1")), approve);

        // A registrationId is good for one answer only.
        mac->send(answer);
        QVERIFY(mac->hasNothingPending());
        QVERIFY(iphone->hasNothingPending());

        iphone->send(json(R"({"type":"connection_request","targetDeviceId":"mac-1"})"));
        QCOMPARE(mac->next(), (QJsonObject{{str("type"), str("connection_request")},
                                           {str("fromDeviceId"), str("ip-1")},
                                           {str("isApproved"), approve}}));
        mac->send(json(R"({"type":"connection_accepted","targetDeviceId":"ip-1"})"));
        QCOMPARE(iphone->next().value(str("fromDeviceId")).toString(), str("mac-1"));
    }

    void pairingAnswersThatDoNotCount_data()
    {
        QTest::addColumn<QString>("answeringMac");
        QTest::addColumn<bool>("realRegistrationId");
        QTest::addColumn<QString>("iphoneDeviceId");

        QTest::newRow("unknown registrationId") << str("mac-1") << false << str("ip-1");
        QTest::newRow("another Mac's registrationId") << str("mac-2") << true << str("ip-1");
        QTest::newRow("iphoneDeviceId does not match") << str("mac-1") << true << str("ip-2");
    }

    void pairingAnswersThatDoNotCount()
    {
        QFETCH(QString, answeringMac);
        QFETCH(bool, realRegistrationId);
        QFETCH(QString, iphoneDeviceId);

        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto otherMac = registeredClient(relay, str("mac-2"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        auto otherIphone = registeredClient(relay, str("ip-2"), "iphone");
        QVERIFY(mac && otherMac && iphone && otherIphone);

        iphone->send(json(R"({"type":"pair_request","targetDeviceId":"mac-1","iphoneName":"P"})"));
        const QString registrationId = mac->next().value(str("registrationId")).toString();
        QVERIFY(!registrationId.isEmpty());

        Client *answering = answeringMac == str("mac-1") ? mac.get() : otherMac.get();
        answering->send({{str("type"), str("approve_iphone")},
                         {str("registrationId"),
                          realRegistrationId ? registrationId : QUuid::createUuid().toString()},
                         {str("iphoneDeviceId"), iphoneDeviceId},
                         {str("iphoneName"), str("P")}});
        QVERIFY(answering->hasNothingPending());
        QVERIFY(iphone->hasNothingPending());
        QVERIFY(otherIphone->hasNothingPending());
        for (const QString &macId : {str("mac-1"), str("mac-2")}) {
            QVERIFY(!relay.isIphoneApproved(macId, str("ip-1")));
            QVERIFY(!relay.isIphoneApproved(macId, str("ip-2")));
        }

        // The request is still open for the Mac it was sent to.
        mac->send({{str("type"), str("approve_iphone")},
                   {str("registrationId"), registrationId},
                   {str("iphoneDeviceId"), str("ip-1")},
                   {str("iphoneName"), str("P")}});
        QCOMPARE(iphone->next().value(str("approved")), QJsonValue(true));
        QVERIFY(relay.isIphoneApproved(str("mac-1"), str("ip-1")));
    }

    void newerRegistrationReplacesOlder()
    {
        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        QSignalSpy disconnected(&relay, &DevRelay::clientDisconnected);
        auto older = registeredClient(relay, str("mac-1"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(older && iphone);

        auto newer = registeredClient(relay, str("mac-1"), "mac");
        QVERIFY(newer);
        QVERIFY(older->waitForDisconnect());
        QCOMPARE(older->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
        QVERIFY(relay.isConnected(str("mac-1")));

        iphone->send(json(R"({"type":"connection_request","targetDeviceId":"mac-1"})"));
        QCOMPARE(newer->next().value(str("fromDeviceId")).toString(), str("ip-1"));
        // The device never went away, so there is nothing to report.
        QVERIFY(newer->hasNothingPending());
        QCOMPARE(disconnected.size(), 0);
    }

    void clientDisconnected_data()
    {
        QTest::addColumn<int>("sentCode"); // 0: drop the TCP connection without a close frame
        QTest::addColumn<int>("reportedCode");
        QTest::newRow("normal closure") << int(QWebSocketProtocol::CloseCodeNormal) << 1000;
        QTest::newRow("going away") << int(QWebSocketProtocol::CloseCodeGoingAway) << 1001;
        QTest::newRow("connection dropped") << 0 << 1006;
    }

    void clientDisconnected()
    {
        QFETCH(int, sentCode);
        QFETCH(int, reportedCode);
        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        QVERIFY(mac);
        QSignalSpy disconnected(&relay, &DevRelay::clientDisconnected);

        if (sentCode)
            mac->socket.close(QWebSocketProtocol::CloseCode(sentCode));
        else
            mac->socket.abort();
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, Timeout);
        QCOMPARE(disconnected.at(0).at(0).toString(), str("mac-1"));
        QCOMPARE(disconnected.at(0).at(1).toInt(), reportedCode);
        QVERIFY(!relay.isConnected(str("mac-1")));
    }

    void closeAndListenAgain()
    {
        DevRelay relay;
        showLog(relay);
        relay.setAutoRegisterMacs(false);
        relay.registerMac(str("mac-1"));
        QVERIFY(relay.listen());
        const quint16 port = relay.port();
        QCOMPARE(relay.url(), QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(mac && iphone);
        QSignalSpy disconnected(&relay, &DevRelay::clientDisconnected);

        relay.close();
        QVERIFY(!relay.isListening());
        QVERIFY(!relay.isConnected(str("mac-1")));
        QVERIFY(!relay.isConnected(str("ip-1")));
        QVERIFY(mac->waitForDisconnect());
        QVERIFY(iphone->waitForDisconnect());
        QCOMPARE(mac->socket.closeCode(), QWebSocketProtocol::CloseCodeGoingAway);
        QVERIFY(!connectClient(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port))));

        QVERIFY2(relay.listen(QHostAddress(QHostAddress::LocalHost), port),
                 qPrintable(relay.errorString()));
        QCOMPARE(relay.port(), port);
        mac = registeredClient(relay, str("mac-1"), "mac");
        iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(mac && iphone);
        iphone->send(json(R"({"type":"ice_candidate","targetDeviceId":"mac-1"})"));
        QCOMPARE(mac->next().value(str("type")).toString(), str("ice_candidate"));
        QCOMPARE(disconnected.size(), 0);
    }

    void onlyTheWsPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("/ws") << str("/ws") << true;
        QTest::newRow("/ws with a query") << str("/ws?v=1") << true;
        QTest::newRow("root") << str("/") << false;
        QTest::newRow("other") << str("/socket") << false;
        QTest::newRow("below /ws") << str("/ws/more") << false;
    }

    void onlyTheWsPath()
    {
        QFETCH(QString, path);
        QFETCH(bool, accepted);
        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());

        Client client;
        client.socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(relay.port()) + path));
        if (!accepted) {
            QVERIFY(client.waitForDisconnect());
            QCOMPARE(client.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
            return;
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return client.socket.state() == QAbstractSocket::ConnectedState; }, Timeout));
        client.send(registerMessage(str("ip-1"), "iphone"));
        QCOMPARE(client.next(), Registered);
    }

    void malformedFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<bool>("binary");
        QTest::addColumn<QJsonObject>("reply"); // empty: none

        const QJsonObject none;
        const QByteArray oversizedPing = QByteArray(R"({"type":"ping","pad":")") +
                                         QByteArray(DevRelay::MaxMessageBytes, 'x') +
                                         QByteArray(R"("})");

        QTest::newRow("not JSON") << QByteArray("hello") << false << none;
        QTest::newRow("truncated JSON") << QByteArray(R"({"type":"ping")") << false << none;
        QTest::newRow("JSON array") << QByteArray(R"([{"type":"ping"}])") << false << none;
        QTest::newRow("JSON string") << QByteArray(R"("ping")") << false << none;
        QTest::newRow("empty text") << QByteArray() << false << none;
        QTest::newRow("no type") << QByteArray(R"({"targetDeviceId":"mac-1"})") << false << none;
        QTest::newRow("type is a number") << QByteArray(R"({"type":5})") << false << none;
        QTest::newRow("binary ping") << QByteArray(R"({"type":"ping"})") << true << Pong;
        QTest::newRow("binary, invalid UTF-8")
            << QByteArray("\xff\xfe{\"type\":\"ping\"}") << true << none;
        QTest::newRow("binary, UTF-8 cut inside a string")
            << QByteArray("{\"type\":\"ping\",\"x\":\"\xe2\x82\"}") << true << none;
        QTest::newRow("text, over 1 MiB of garbage")
            << QByteArray(DevRelay::MaxMessageBytes + 1, '#') << false << none;
        QTest::newRow("binary, over 1 MiB of garbage")
            << QByteArray(DevRelay::MaxMessageBytes + 1, '\xff') << true << none;
        QTest::newRow("over 1 MiB, valid JSON") << oversizedPing << false << none;
        QTest::newRow("register, deviceId a number")
            << QByteArray(R"({"type":"register","idToken":"t","deviceId":7,)"
                          R"("deviceType":"iphone","deviceName":"n"})")
            << false << json(R"({"type":"error","message":"Invalid registration"})");
        QTest::newRow("register, token not text")
            << QByteArray(R"({"type":"register","idToken":true,"deviceId":"ip-1",)"
                          R"("deviceType":"iphone","deviceName":"n"})")
            << false << json(R"({"type":"error","message":"Invalid ID token"})");
        QTest::newRow("register, deviceType an array")
            << QByteArray(R"({"type":"register","idToken":"t","deviceId":"ip-1",)"
                          R"("deviceType":["mac"],"deviceName":"n"})")
            << false << json(R"({"type":"error","message":"Invalid registration"})");
    }

    void malformedFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(bool, binary);
        QFETCH(QJsonObject, reply);

        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        auto iphone = registeredClient(relay, str("ip-1"), "iphone");
        QVERIFY(mac && iphone);
        QSignalSpy logged(&relay, &DevRelay::logLine);
        QSignalSpy received(&relay, &DevRelay::messageReceived);

        if (binary)
            iphone->socket.sendBinaryMessage(frame);
        else
            iphone->socket.sendTextMessage(QString::fromUtf8(frame));
        // Answered in order: anything the frame provoked arrives before the probe's answer.
        const QJsonObject probe = json(R"({"type":"offer","targetDeviceId":"nobody"})");
        iphone->send(probe);
        if (!reply.isEmpty())
            QCOMPARE(iphone->next(), reply);
        QCOMPARE(iphone->next(), MacOffline);

        const bool wellFormed = !reply.isEmpty();
        if (!wellFormed)
            QCOMPARE(logged.size(), 2); // one line for the frame, one for the probe
        QCOMPARE(received.size(), wellFormed ? 2 : 1);
        QCOMPARE(received.last().at(1).value<QJsonObject>(), probe);

        QCOMPARE(iphone->socket.state(), QAbstractSocket::ConnectedState);
        QVERIFY(relay.isConnected(str("ip-1")));
        QVERIFY(relay.isConnected(str("mac-1")));
        iphone->send(json(R"({"type":"ice_candidate","targetDeviceId":"mac-1"})"));
        QCOMPARE(mac->next().value(str("fromDeviceId")).toString(), str("ip-1"));
    }

    void framesInjectedByTests_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("binary");
        QTest::newRow("text") << QByteArray(R"({"type":"pong","extra":[1,2]})") << false;
        QTest::newRow("text, not JSON") << QByteArray("{{{") << false;
        QTest::newRow("binary, invalid UTF-8") << QByteArray("\xc3\x28\x00\xff", 4) << true;
    }

    void framesInjectedByTests()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, binary);
        DevRelay relay;
        showLog(relay);
        QVERIFY(relay.listen());
        auto mac = registeredClient(relay, str("mac-1"), "mac");
        QVERIFY(mac);
        QVERIFY(!relay.sendRawTo(str("nobody"), bytes, binary));

        QVERIFY(relay.sendRawTo(str("mac-1"), bytes, binary));
        if (binary) {
            QTRY_COMPARE_WITH_TIMEOUT(mac->binaries.size(), 1, Timeout);
            QCOMPARE(mac->binaries.at(0), bytes);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(mac->texts.size(), 2, Timeout); // after "registered"
            QCOMPARE(mac->texts.at(1), QString::fromUtf8(bytes));
        }

        const QJsonObject message = json(R"({"type":"ice_servers","iceServers":[]})");
        QVERIFY(relay.sendTo(str("mac-1"), message));
        QTRY_VERIFY_WITH_TIMEOUT(!mac->texts.isEmpty() &&
                                     mac->texts.last() ==
                                         str(R"({"iceServers":[],"type":"ice_servers"})"),
                                 Timeout);
    }

    void executableServesAndStops()
    {
        QProcess relay;
        relay.setProcessChannelMode(QProcess::SeparateChannels);
        relay.start(str(DEVCLOUD_EXECUTABLE),
                    {str("--port"), str("0"), str("--require-mac-registration"), str("--token"),
                     str("secret")});
        QVERIFY(relay.waitForStarted(Timeout));

        const QRegularExpression listening(
            str(R"(^devcloud: relay listening on (ws://127\.0\.0\.1:\d+/ws)$)"),
            QRegularExpression::MultilineOption);
        QUrl url;
        QVERIFY(QTest::qWaitFor(
            [&] {
                relay.waitForReadyRead(50);
                const auto match =
                    listening.match(QString::fromUtf8(relay.peek(relay.bytesAvailable())));
                if (match.hasMatch())
                    url = QUrl(match.captured(1));
                return match.hasMatch();
            },
            Timeout));

        auto mac = connectClient(url);
        QVERIFY(mac);
        mac->send(registerMessage(str("mac-1"), "mac", str("secret")));
        QCOMPARE(mac->next(), json(R"({"type":"device_not_registered"})"));

        relay.terminate(); // SIGTERM
        QVERIFY(relay.waitForFinished(Timeout));
        QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
        QCOMPARE(relay.exitCode(), 0);
        QVERIFY(mac->waitForDisconnect());
        const QString output = QString::fromUtf8(relay.readAllStandardOutput());
        QVERIFY2(output.contains(str("[devcloud] Mac mac-1 connected but is not registered")),
                 qPrintable(output));
    }

    void executableRefusesBadOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("ice servers not JSON") << QStringList{str("--ice-servers"), str("[{")};
        QTest::newRow("ice servers an object")
            << QStringList{str("--ice-servers"), str(R"({"urls":[]})")};
        QTest::newRow("port not a number") << QStringList{str("--port"), str("ws")};
        QTest::newRow("port too large") << QStringList{str("--port"), str("70000")};
        QTest::newRow("host not an address") << QStringList{str("--host"), str("localhost")};
    }

    void executableRefusesBadOptions()
    {
        QFETCH(QStringList, arguments);
        QProcess relay;
        relay.start(str(DEVCLOUD_EXECUTABLE), arguments);
        QVERIFY(relay.waitForFinished(Timeout));
        QCOMPARE(relay.exitStatus(), QProcess::NormalExit);
        QCOMPARE(relay.exitCode(), 2);
        QVERIFY(!relay.readAllStandardOutput().contains("listening"));
    }
};

QTEST_GUILESS_MAIN(TestDevRelay)
#include "tst_devrelay.moc"
