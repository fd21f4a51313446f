#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

/// One signalling message: a string-keyed dictionary of JSON values, sent as compact JSON.
using SignallingMessage = QJsonObject;

/// Builders and readers for the messages on the signalling WebSocket.
///
/// Reading rules: a key whose value has the wrong JSON type counts as missing; replies to a
/// phone carry "targetDeviceId" copied from the request's "fromDeviceId" (empty without one).
namespace SignallingMessages {

// ---- reading helpers

std::optional<QString> text(const SignallingMessage &m, QLatin1StringView key);
/// The message's "type" when it is text.
std::optional<QString> type(const SignallingMessage &m);
/// The "payload" object, when present and an object.
std::optional<QJsonObject> payload(const SignallingMessage &m);
/// The target for a reply: the request's text "fromDeviceId", else "".
QString replyTarget(const SignallingMessage &m);

// ---- relay → host

struct SessionDescription
{
    QString sdp;
    QString type;
};
/// "offer" and "re_answer": payload with text "sdp" and "type", both required.
std::optional<SessionDescription> readSessionDescription(const SignallingMessage &m);

struct IceCandidate
{
    QString candidate;
    std::optional<QString> sdpMid;
    int sdpMLineIndex = 0;
};
/// "ice_candidate": payload with text "candidate" (required), "sdpMid" (optional) and
/// "sdpMLineIndex" (number, truncated toward zero, clamped into 32 bits; 0 when missing).
std::optional<IceCandidate> readIceCandidate(const SignallingMessage &m);

struct RegistrationRequest
{
    QString registrationId;
    QString iphoneDeviceId;
    QString iphoneName;
};
/// "iphone_registration_request", top-level fields with their defaults ("Unknown iPhone").
RegistrationRequest readRegistrationRequest(const SignallingMessage &m);

struct ConnectionRequest
{
    QString fromDeviceId;
    bool isApproved = false; ///< only the Boolean true counts
};
ConnectionRequest readConnectionRequest(const SignallingMessage &m);

/// "ice_servers": the "iceServers" array when it is an array of objects.
std::optional<QJsonArray> readIceServers(const SignallingMessage &m);
/// "create_session": the payload's text "name", default "zsh".
QString readCreateSessionName(const SignallingMessage &m);
/// "attach_session" and "terminate_session": the payload's text "sessionId".
std::optional<QString> readSessionId(const SignallingMessage &m);
/// "registered": whether "success" is the Boolean true.
bool readRegisteredSuccess(const SignallingMessage &m);

// ---- host → relay

SignallingMessage registerDevice(const QString &idToken, const QString &deviceId,
                                 const QString &deviceName);
SignallingMessage ping();
SignallingMessage disconnect();
SignallingMessage registerMacDevice();
SignallingMessage approveIphone(const RegistrationRequest &request);
SignallingMessage rejectIphone(const RegistrationRequest &request);
SignallingMessage connectionAccepted(const QString &target);
SignallingMessage answer(const QString &target, const SessionDescription &description);
SignallingMessage reOffer(const QString &target, const SessionDescription &description);
SignallingMessage iceCandidate(const QString &target, const QString &candidate,
                               const QString &sdpMid, int sdpMLineIndex);
SignallingMessage sessionsList(const QString &target, const QJsonArray &sessions);
SignallingMessage sessionCreated(const QString &target, const QJsonObject &summary);
SignallingMessage sessionAttachReady(const QString &target, const QString &sessionId,
                                     const QString &name);
/// The refusal of an "attach_session" without a text "sessionId".
SignallingMessage sessionErrorMissingId(const QString &target);
/// The refusal of an "attach_session" naming no live session.
SignallingMessage sessionErrorNotFound(const QString &target, const QString &sessionId);
SignallingMessage sessionTerminated(const QString &target, const QString &sessionId, bool success);

} // namespace SignallingMessages
