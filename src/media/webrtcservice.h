#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

typedef struct _GstElement GstElement;
typedef struct _GstWebRTCDataChannel GstWebRTCDataChannel;

/// The service's own failures.
enum class WebRTCError
{
    failedToCreatePeerConnection,
    failedToCreateOffer,
    failedToCreateAnswer
};

/// Thrown by the asynchronous operations: one of the service's own errors, or the WebRTC
/// stack's error text passed through.
class WebRTCException : public std::runtime_error
{
public:
    explicit WebRTCException(WebRTCError error);
    explicit WebRTCException(const QString &stackError);
    std::optional<WebRTCError> error() const { return m_error; }
    QString description() const { return QString::fromUtf8(what()); }

private:
    std::optional<WebRTCError> m_error;
};

/// One ICE server as the phone's offer provides it.
struct IceServer
{
    QStringList urls;
    std::optional<QString> username;
    std::optional<QString> credential;
    bool operator==(const IceServer &) const = default;
};

/// One WebRTC peer connection with one phone, on GStreamer's webrtcbin.
///
/// The phone always starts: it offers, opens the data channel and trickles candidates; the
/// service answers, adopts the channel, and later renegotiates when the screen track is added.
/// Every callback is called on the main thread: the stack's own threads only post to it. A
/// callback may drop the service (deleteLater), but not delete it synchronously.
class WebRTCService : public QObject
{
    Q_OBJECT

public:
    struct Description
    {
        QString sdp;
        QString type;
    };

    /// Largest data-channel message sent when the peer names no limit, and the most sent in one
    /// message in any case: larger messages are lost on several stacks.
    static constexpr qsizetype DefaultMaxMessageSize = 65536;
    /// The STUN server used when the offer brings no usable ICE server.
    static constexpr auto DefaultStunUrl = "stun:stun.l.google.com:19302";

    explicit WebRTCService(QObject *parent = nullptr);
    ~WebRTCService() override;

    std::function<void(const QString &text)> onDataChannelMessage;
    std::function<void()> onDataChannelOpen;
    std::function<void()> onDataChannelClose;
    std::function<void(const QString &candidate, int sdpMLineIndex,
                       const std::optional<QString> &sdpMid)>
        onIceCandidate;
    std::function<void()> onConnectionFailed;

    /// Answers the phone's offer on a new peer connection with these ICE servers.
    QCoro::Task<Description> handleOffer(const QString &sdp, const QString &type,
                                         const QJsonArray &iceServers);
    /// A new local offer after the screen track was added.
    QCoro::Task<Description> createReOffer();
    /// Applies the phone's answer to the last re-offer. Does nothing before an offer.
    QCoro::Task<> handleReAnswer(const QString &sdp, const QString &type);
    /// Adds one remote candidate, matched to its m-line by "sdpMid" when that names one.
    /// Does nothing before an offer.
    QCoro::Task<> addIceCandidate(const QString &candidate, const std::optional<QString> &sdpMid,
                                  int sdpMLineIndex);
    /// Sends one text message; dropped unless the data channel is open.
    void sendText(const QString &text);
    /// Sends a block of bytes as consecutive binary messages no larger than maxMessageSize(),
    /// in order; dropped unless the data channel is open.
    void sendBinary(const QByteArray &bytes);
    /// Closes the data channel, then the peer connection.
    void close();

    bool hasPeerConnection() const { return m_webrtc != nullptr; }
    bool isDataChannelOpen() const;
    /// The largest message the peer accepts (its a=max-message-size), at most 65,536 bytes.
    qsizetype maxMessageSize() const { return m_maxMessageSize; }
    /// The pipeline and the webrtcbin inside it; the screen stream links its branch here.
    GstElement *pipeline() const { return m_pipeline; }
    GstElement *webrtcbin() const { return m_webrtc; }

    /// The ICE servers the offer's entries give, in order: "urls" a list of texts (with both
    /// credentials, or without any), or a single text (credentials ignored); a default STUN
    /// server when none is usable.
    static QList<IceServer> iceServersFrom(const QJsonArray &entries);
    /// The a=mid of each m-line of an SDP, in order (empty text where an m-line has none).
    static QStringList midsOf(const QString &sdp);
    /// The a=max-message-size of an SDP's data channel, or nothing.
    static std::optional<qsizetype> maxMessageSizeOf(const QString &sdp);

    /// One callback crossing from a GStreamer thread (internal).
    struct Guard;

private:
    friend struct WebRTCCallbacks;
    void deliverIceCandidate(int mlineIndex, const QString &candidate);
    void buildPipeline(const QList<IceServer> &servers);
    void adoptDataChannel(GstWebRTCDataChannel *channel);
    void dataChannelStateChanged(GstWebRTCDataChannel *channel);
    void connectionStateChanged();
    QCoro::Task<> setDescription(bool local, const QString &sdp, const QString &type);
    /// Creates an offer or an answer and sets it as the local description.
    QCoro::Task<Description> createLocalDescription(bool offer);

    std::shared_ptr<Guard> m_guard;
    GstElement *m_pipeline = nullptr;
    GstElement *m_webrtc = nullptr;
    GstWebRTCDataChannel *m_dataChannel = nullptr;
    int m_dataChannelState = 0;
    int m_connectionState = 0;
    QStringList m_localMids;
    QStringList m_remoteMids;
    qsizetype m_maxMessageSize = DefaultMaxMessageSize;
};
