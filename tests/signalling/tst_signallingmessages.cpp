#include "connectionstatus.h"
#include "signallingmessage.h"

#include <QJsonDocument>
#include <QTest>

using namespace SignallingMessages;

namespace {
SignallingMessage parse(const char *json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}
} // namespace

class TestSignallingMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void iceCandidate_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("mid"); // "<none>" when absent
        QTest::addColumn<int>("index");
        QTest::newRow("full")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMid":"0","sdpMLineIndex":2}})") << true
            << "0" << 2;
        QTest::newRow("no index") << QByteArray(R"({"payload":{"candidate":"c","sdpMid":"v"}})")
                                  << true << "v" << 0;
        QTest::newRow("index 1.0")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":1.0}})") << true
            << "<none>" << 1;
        QTest::newRow("fraction truncates")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":1.9}})") << true
            << "<none>" << 1;
        QTest::newRow("negative fraction")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":-1.9}})") << true
            << "<none>" << -1;
        QTest::newRow("huge index clamps")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":1e300}})") << true
            << "<none>" << std::numeric_limits<int>::max();
        QTest::newRow("just past 32 bits")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":2147483648}})") << true
            << "<none>" << std::numeric_limits<int>::max();
        QTest::newRow("very negative")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":-1e20}})") << true
            << "<none>" << std::numeric_limits<int>::min();
        QTest::newRow("index as text")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMLineIndex":"1"}})") << true
            << "<none>" << 0;
        QTest::newRow("mid not text")
            << QByteArray(R"({"payload":{"candidate":"c","sdpMid":0}})") << true << "<none>" << 0;
        QTest::newRow("no candidate")
            << QByteArray(R"({"payload":{"sdpMid":"0"}})") << false << "" << 0;
        QTest::newRow("candidate not text")
            << QByteArray(R"({"payload":{"candidate":5}})") << false << "" << 0;
        QTest::newRow("no payload") << QByteArray(R"({"candidate":"c"})") << false << "" << 0;
        QTest::newRow("payload array") << QByteArray(R"({"payload":["c"]})") << false << "" << 0;
    }
    void iceCandidate()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, accepted);
        QFETCH(QString, mid);
        QFETCH(int, index);
        const auto c = readIceCandidate(parse(json.constData()));
        QCOMPARE(c.has_value(), accepted);
        if (!c)
            return;
        QCOMPARE(c->candidate, QStringLiteral("c"));
        QCOMPARE(c->sdpMid.value_or(QStringLiteral("<none>")), mid);
        QCOMPARE(c->sdpMLineIndex, index);
    }

    void sessionDescription_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("offer") << QByteArray(R"({"payload":{"sdp":"v=0","type":"offer"}})") << true;
        QTest::newRow("no type") << QByteArray(R"({"payload":{"sdp":"v=0"}})") << false;
        QTest::newRow("sdp not text")
            << QByteArray(R"({"payload":{"sdp":1,"type":"offer"}})") << false;
        QTest::newRow("no payload") << QByteArray(R"({"sdp":"v=0","type":"offer"})") << false;
        QTest::newRow("payload null") << QByteArray(R"({"payload":null})") << false;
    }
    void sessionDescription()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, accepted);
        QCOMPARE(readSessionDescription(parse(json.constData())).has_value(), accepted);
    }

    void registrationRequestDefaults()
    {
        const RegistrationRequest r = readRegistrationRequest(parse(
            R"({"type":"iphone_registration_request","registrationId":7,"iphoneDeviceId":"p1"})"));
        QCOMPARE(r.registrationId, QString()); // wrong type counts as missing
        QCOMPARE(r.iphoneDeviceId, QStringLiteral("p1"));
        QCOMPARE(r.iphoneName, QStringLiteral("Unknown iPhone"));
        const SignallingMessage approve = approveIphone(r);
        QCOMPARE(approve.value("iphoneName").toString(), QStringLiteral("Unknown iPhone"));
        QCOMPARE(approve.value("type").toString(), QStringLiteral("approve_iphone"));
        const SignallingMessage reject = rejectIphone(r);
        QVERIFY(!reject.contains("iphoneName"));
        QCOMPARE(reject.keys(), (QStringList{"iphoneDeviceId", "registrationId", "type"}));
    }

    void connectionRequest_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("approved");
        QTest::addColumn<QString>("from");
        QTest::newRow("approved") << QByteArray(R"({"fromDeviceId":"p","isApproved":true})") << true
                                  << "p";
        QTest::newRow("false") << QByteArray(R"({"fromDeviceId":"p","isApproved":false})") << false
                               << "p";
        QTest::newRow("missing") << QByteArray(R"({"fromDeviceId":"p"})") << false << "p";
        QTest::newRow("text true") << QByteArray(R"({"isApproved":"true"})") << false << "";
        QTest::newRow("number 1") << QByteArray(R"({"isApproved":1})") << false << "";
    }
    void connectionRequest()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, approved);
        QFETCH(QString, from);
        const ConnectionRequest r = readConnectionRequest(parse(json.constData()));
        QCOMPARE(r.isApproved, approved);
        QCOMPARE(r.fromDeviceId, from);
    }

    void smallReaders()
    {
        QVERIFY(readIceServers(parse(R"({"iceServers":[{"urls":"stun:x"}]})")));
        QVERIFY(!readIceServers(parse(R"({"iceServers":[{"urls":"stun:x"}, "y"]})")));
        QVERIFY(!readIceServers(parse(R"({"iceServers":{"urls":"stun:x"}})")));
        QCOMPARE(readCreateSessionName(parse(R"({"type":"create_session"})")),
                 QStringLiteral("zsh"));
        QCOMPARE(readCreateSessionName(parse(R"({"payload":{"name":3}})")), QStringLiteral("zsh"));
        QCOMPARE(readCreateSessionName(parse(R"({"payload":{"name":"build"}})")),
                 QStringLiteral("build"));
        QCOMPARE(readSessionId(parse(R"({"payload":{"sessionId":"sess_1"}})")),
                 QStringLiteral("sess_1"));
        QVERIFY(!readSessionId(parse(R"({"payload":{"sessionId":1}})")));
        QVERIFY(!readSessionId(parse(R"({})")));
        QVERIFY(readRegisteredSuccess(parse(R"({"success":true})")));
        QVERIFY(!readRegisteredSuccess(parse(R"({"success":"true"})")));
        QVERIFY(!readRegisteredSuccess(parse(R"({})")));
        QCOMPARE(replyTarget(parse(R"({"fromDeviceId":5})")), QString());
        QCOMPARE(type(parse(R"({"type":["ping"]})")), std::nullopt);
    }

    void replies()
    {
        QCOMPARE(
            QJsonDocument(registerDevice("tok", "dev", "host")).toJson(QJsonDocument::Compact),
            QByteArray(
                R"({"deviceId":"dev","deviceName":"host","deviceType":"mac","idToken":"tok","type":"register"})"));
        QCOMPARE(sessionErrorMissingId("").value("payload").toObject(),
                 (QJsonObject{{"error", "Missing sessionId"}}));
        QCOMPARE(sessionErrorNotFound("p", "s").value("payload").toObject(),
                 (QJsonObject{{"error", "Session not found or dead"}, {"sessionId", "s"}}));
        const SignallingMessage t = sessionTerminated("", "x", false);
        QCOMPARE(t.value("targetDeviceId"), QJsonValue(""));
        QCOMPARE(t.value("payload").toObject(),
                 (QJsonObject{{"sessionId", "x"}, {"success", false}}));
        const SignallingMessage c = SignallingMessages::iceCandidate("p", "cand", "", 0);
        QCOMPARE(c.value("payload").toObject(),
                 (QJsonObject{{"candidate", "cand"}, {"sdpMid", ""}, {"sdpMLineIndex", 0}}));
        QCOMPARE(connectionAccepted("p"),
                 (QJsonObject{{"type", "connection_accepted"}, {"targetDeviceId", "p"}}));
    }

    void statusRawValues()
    {
        for (const char *raw : {"disconnected", "connecting", "registering", "registered", "error"})
            QCOMPARE(ConnectionStatuses::rawValue(*ConnectionStatuses::fromRawValue(raw)),
                     QString::fromLatin1(raw));
        QVERIFY(!ConnectionStatuses::fromRawValue("Registered"));
    }
};

QTEST_GUILESS_MAIN(TestSignallingMessages)
#include "tst_signallingmessages.moc"
