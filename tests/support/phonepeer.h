#pragma once

// The phone simulator's WebRTC half (tools/phone/webrtc_peer.py, on aiortc) as a test peer, and
// a way to run coroutines to their end from test functions.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "webrtcservice.h"

#include <QJsonArray>
#include <QTest>

#include <qcorotask.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>

namespace TestPeer {

// The aiortc peer, one JSON object per line each way.
class Phone
{
public:
    Phone()
    {
        m_process.setProgram("/usr/bin/python3");
        m_process.setArguments({QStringLiteral(KORVO_SOURCE_DIR) + "/tools/phone/webrtc_peer.py"});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine()) {
                const QJsonObject m = QJsonDocument::fromJson(m_process.readLine()).object();

                if (!m.isEmpty())
                    m_received.append(m);
            }
        });
        m_process.start();
    }
    ~Phone()
    {
        if (m_process.state() != QProcess::NotRunning) {
            send({{"type", "close"}});
            if (!m_process.waitForFinished(3000))
                m_process.kill();
            m_process.waitForFinished();
        }
    }
    void send(const QJsonObject &m)
    {
        m_process.write(QJsonDocument(m).toJson(QJsonDocument::Compact) + '\n');
    }
    bool has(const QString &type) const
    {
        return std::any_of(m_received.begin(), m_received.end(), [&](const QJsonObject &m) {
            return m.value("type").toString() == type;
        });
    }
    // The first message of that type not yet taken. (Not inside QTRY_*: those evaluate their
    // expression again after it held.)
    std::optional<QJsonObject> take(const QString &type)
    {
        for (qsizetype i = 0; i < m_received.size(); ++i) {
            if (m_received[i].value("type").toString() == type)
                return m_received.takeAt(i);
        }
        return std::nullopt;
    }
    QList<QJsonObject> &received() { return m_received; }
    QProcess::ProcessState state() const { return m_process.state(); }
    QByteArray pending() { return m_process.peek(200); }

private:
    QProcess m_process;
    QList<QJsonObject> m_received;
};

// Runs a coroutine to its end from a test function (with a hard limit), rethrowing its error.
// QCoro 0.8's waitFor() never returns for a task that finished before it was called.
inline QCoro::Task<> finishVoid(QCoro::Task<> task, std::exception_ptr *error, bool *done)
{
    try {
        co_await std::move(task);
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
}

template<typename T>
QCoro::Task<> finishValue(QCoro::Task<T> task, std::optional<T> *result, std::exception_ptr *error,
                          bool *done)
{
    try {
        *result = co_await std::move(task);
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
}

inline void runUntil(const bool &done, const std::exception_ptr &error)
{
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!done)
        throw std::runtime_error("timed out");
    if (error)
        std::rethrow_exception(error);
}

inline void await(QCoro::Task<> &&task)
{
    std::exception_ptr error;
    bool done = false;
    auto runner = finishVoid(std::move(task), &error, &done);
    runUntil(done, error);
}

template<typename T>
T await(QCoro::Task<T> &&task)
{
    std::optional<T> result;
    std::exception_ptr error;
    bool done = false;
    auto runner = finishValue<T>(std::move(task), &result, &error, &done);
    runUntil(done, error);
    return *result;
}
// Offer from the phone, answer, candidates both ways, until both ends see the channel open.
inline bool connectPhone(WebRTCService &service, Phone &phone, QStringList &received, int &opens,
                         const QJsonArray &iceServers, int timeout = 20000)
{
    service.onIceCandidate = [&phone](const QString &c, int index,
                                      const std::optional<QString> &mid) {
        phone.send({{"type", "candidate"},
                    {"candidate", c},
                    {"sdpMid", mid ? QJsonValue(*mid) : QJsonValue()},
                    {"sdpMLineIndex", index}});
    };
    service.onDataChannelOpen = [&opens] { ++opens; };
    service.onDataChannelMessage = [&received](const QString &t) { received.append(t); };
    std::optional<QJsonObject> offer;
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(phone.has("offer"), timeout);
        offer = phone.take("offer");
    }();
    if (!offer)
        qWarning() << "phone:" << phone.state() << phone.received() << phone.pending();
    if (!offer)
        return false;
    const WebRTCService::Description answer =
        await(service.handleOffer(offer->value("sdp").toString(), "offer", iceServers));
    if (answer.type != QLatin1String("answer") || !answer.sdp.contains("a=group:BUNDLE"))
        return false;
    phone.send({{"type", "answer"}, {"sdp", answer.sdp}});
    [&] { QTRY_VERIFY_WITH_TIMEOUT(opens == 1 && phone.has("open"), timeout); }();
    phone.take("open");
    return opens == 1;
}

} // namespace TestPeer
