#include "signallingmessage.h"

#include <cmath>
#include <limits>

namespace SignallingMessages {

namespace {
QString str(const char *s)
{
    return QString::fromLatin1(s);
}

SignallingMessage typed(const char *type)
{
    return {{QStringLiteral("type"), str(type)}};
}

SignallingMessage reply(const char *type, const QString &target)
{
    SignallingMessage m = typed(type);
    m.insert(QStringLiteral("targetDeviceId"), target);
    return m;
}

SignallingMessage reply(const char *type, const QString &target, const QJsonObject &payload)
{
    SignallingMessage m = reply(type, target);
    m.insert(QStringLiteral("payload"), payload);
    return m;
}

std::optional<QString> textIn(const QJsonObject &o, QLatin1StringView key)
{
    const QJsonValue v = o.value(key);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

QJsonObject description(const SessionDescription &d)
{
    return {{QStringLiteral("sdp"), d.sdp}, {QStringLiteral("type"), d.type}};
}
} // namespace

std::optional<QString> text(const SignallingMessage &m, QLatin1StringView key)
{
    return textIn(m, key);
}

std::optional<QString> type(const SignallingMessage &m)
{
    return textIn(m, QLatin1StringView("type"));
}

std::optional<QJsonObject> payload(const SignallingMessage &m)
{
    const QJsonValue v = m.value(QLatin1StringView("payload"));
    if (!v.isObject())
        return std::nullopt;
    return v.toObject();
}

QString replyTarget(const SignallingMessage &m)
{
    return textIn(m, QLatin1StringView("fromDeviceId")).value_or(QString());
}

std::optional<SessionDescription> readSessionDescription(const SignallingMessage &m)
{
    const auto p = payload(m);
    if (!p)
        return std::nullopt;
    auto sdp = textIn(*p, QLatin1StringView("sdp"));
    auto type = textIn(*p, QLatin1StringView("type"));
    if (!sdp || !type)
        return std::nullopt;
    return SessionDescription{*sdp, *type};
}

std::optional<IceCandidate> readIceCandidate(const SignallingMessage &m)
{
    const auto p = payload(m);
    if (!p)
        return std::nullopt;
    auto candidate = textIn(*p, QLatin1StringView("candidate"));
    if (!candidate)
        return std::nullopt;
    IceCandidate c;
    c.candidate = *candidate;
    c.sdpMid = textIn(*p, QLatin1StringView("sdpMid"));
    const QJsonValue index = p->value(QLatin1StringView("sdpMLineIndex"));
    if (index.isDouble()) {
        // Truncated toward zero; values beyond 32 bits are clamped rather than wrapped, so they
        // name no m-line instead of a wrong one.
        const double d = std::trunc(index.toDouble());
        constexpr double lo = std::numeric_limits<int>::min();
        constexpr double hi = std::numeric_limits<int>::max();
        c.sdpMLineIndex = d <= lo   ? std::numeric_limits<int>::min()
                          : d >= hi ? std::numeric_limits<int>::max()
                                    : static_cast<int>(d);
    }
    return c;
}

RegistrationRequest readRegistrationRequest(const SignallingMessage &m)
{
    return {
        textIn(m, QLatin1StringView("registrationId")).value_or(QString()),
        textIn(m, QLatin1StringView("iphoneDeviceId")).value_or(QString()),
        textIn(m, QLatin1StringView("iphoneName")).value_or(QStringLiteral("Unknown iPhone")),
    };
}

ConnectionRequest readConnectionRequest(const SignallingMessage &m)
{
    return {replyTarget(m), m.value(QLatin1StringView("isApproved")) == QJsonValue(true)};
}

std::optional<QJsonArray> readIceServers(const SignallingMessage &m)
{
    const QJsonValue v = m.value(QLatin1StringView("iceServers"));
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray servers = v.toArray();
    for (const QJsonValue &s : servers) {
        if (!s.isObject())
            return std::nullopt;
    }
    return servers;
}

QString readCreateSessionName(const SignallingMessage &m)
{
    return textIn(payload(m).value_or(QJsonObject()), QLatin1StringView("name"))
        .value_or(QStringLiteral("zsh"));
}

std::optional<QString> readSessionId(const SignallingMessage &m)
{
    return textIn(payload(m).value_or(QJsonObject()), QLatin1StringView("sessionId"));
}

bool readRegisteredSuccess(const SignallingMessage &m)
{
    return m.value(QLatin1StringView("success")) == QJsonValue(true);
}

SignallingMessage registerDevice(const QString &idToken, const QString &deviceId,
                                 const QString &deviceName)
{
    SignallingMessage m = typed("register");
    m.insert(QStringLiteral("idToken"), idToken);
    m.insert(QStringLiteral("deviceId"), deviceId);
    m.insert(QStringLiteral("deviceType"), QStringLiteral("mac"));
    m.insert(QStringLiteral("deviceName"), deviceName);
    return m;
}

SignallingMessage ping()
{
    return typed("ping");
}

SignallingMessage disconnect()
{
    return typed("disconnect");
}

SignallingMessage registerMacDevice()
{
    return typed("register_mac_device");
}

SignallingMessage approveIphone(const RegistrationRequest &r)
{
    SignallingMessage m = typed("approve_iphone");
    m.insert(QStringLiteral("registrationId"), r.registrationId);
    m.insert(QStringLiteral("iphoneDeviceId"), r.iphoneDeviceId);
    m.insert(QStringLiteral("iphoneName"), r.iphoneName);
    return m;
}

SignallingMessage rejectIphone(const RegistrationRequest &r)
{
    SignallingMessage m = typed("reject_iphone");
    m.insert(QStringLiteral("registrationId"), r.registrationId);
    m.insert(QStringLiteral("iphoneDeviceId"), r.iphoneDeviceId);
    return m;
}

SignallingMessage connectionAccepted(const QString &target)
{
    return reply("connection_accepted", target);
}

SignallingMessage answer(const QString &target, const SessionDescription &d)
{
    return reply("answer", target, description(d));
}

SignallingMessage reOffer(const QString &target, const SessionDescription &d)
{
    return reply("re_offer", target, description(d));
}

SignallingMessage iceCandidate(const QString &target, const QString &candidate,
                               const QString &sdpMid, int sdpMLineIndex)
{
    return reply("ice_candidate", target,
                 {{QStringLiteral("candidate"), candidate},
                  {QStringLiteral("sdpMid"), sdpMid},
                  {QStringLiteral("sdpMLineIndex"), sdpMLineIndex}});
}

SignallingMessage sessionsList(const QString &target, const QJsonArray &sessions)
{
    return reply("sessions_list", target, {{QStringLiteral("sessions"), sessions}});
}

SignallingMessage sessionCreated(const QString &target, const QJsonObject &summary)
{
    return reply("session_created", target, summary);
}

SignallingMessage sessionAttachReady(const QString &target, const QString &sessionId,
                                     const QString &name)
{
    return reply("session_attach_ready", target,
                 {{QStringLiteral("sessionId"), sessionId}, {QStringLiteral("name"), name}});
}

SignallingMessage sessionErrorMissingId(const QString &target)
{
    return reply("session_error", target, {{QStringLiteral("error"), str("Missing sessionId")}});
}

SignallingMessage sessionErrorNotFound(const QString &target, const QString &sessionId)
{
    return reply("session_error", target,
                 {{QStringLiteral("error"), str("Session not found or dead")},
                  {QStringLiteral("sessionId"), sessionId}});
}

SignallingMessage sessionTerminated(const QString &target, const QString &sessionId, bool success)
{
    return reply("session_terminated", target,
                 {{QStringLiteral("sessionId"), sessionId}, {QStringLiteral("success"), success}});
}

} // namespace SignallingMessages
