#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QSizeF>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>

class WebRTCService;
typedef struct _GstElement GstElement;
typedef struct _GstPad GstPad;

enum class ScreenStreamError
{
    missingPeerConnection,
    failedToAddTrack,
    noDisplay,
    noShareableContent
};

class ScreenStreamException : public std::runtime_error
{
public:
    explicit ScreenStreamException(ScreenStreamError error, const QString &detail = {});
    ScreenStreamError error() const { return m_error; }
    QString description() const { return QString::fromUtf8(what()); }

private:
    ScreenStreamError m_error;
};

/// Streams the first monitor of the X display as an H.264 video track on the current peer
/// connection: ximagesrc → videoconvert → x264enc (constrained baseline, zero latency) →
/// rtph264pay → a send-only webrtcbin sink pad.
///
/// webrtcbin 1.22 can neither turn a transceiver back to sending nor remove an m-line, so a
/// pause drops frames before the encoder (the atomic `stopped` flag, read by a pad probe on a
/// streaming thread) and keeps the track; a later start resumes without renegotiating.
/// Main thread only, except for that probe.
class ScreenStreamManager : public QObject
{
    Q_OBJECT

public:
    explicit ScreenStreamManager(QObject *parent = nullptr);
    ~ScreenStreamManager() override;

    static ScreenStreamManager &shared();

    /// Starts (or resumes) capturing into a video track on `service`'s peer connection at `fps`.
    /// Returns true when a new track was added, so the caller must send a re-offer; false when
    /// the existing track was reused. The re-offer may be made as soon as this returns: the
    /// encoder's caps have reached webrtcbin by then.
    QCoro::Task<bool> startStreaming(WebRTCService *service, int fps);
    /// Stops frames; keeps the track and its sender.
    void stopCapture();
    /// Stops everything and removes the branch from the peer connection (no re-offer follows).
    void teardown();

    bool isCapturing() const { return m_isCapturing; }
    bool hasTrack() const { return m_branch != nullptr; }
    /// The captured monitor's size while a track exists.
    std::optional<QSizeF> captureSize() const { return m_captureSize; }
    /// Frames that reached the encoder since the track was made (for tests and benchmarks).
    quint64 framesEncoded() const { return m_state ? m_state->frames.load() : 0; }

    /// State shared with the streaming thread's pad probe.
    struct FrameGate
    {
        std::atomic<bool> stopped{false};
        std::atomic<quint64> frames{0};
    };

Q_SIGNALS:
    /// The encoder's caps have reached webrtcbin (internal: ends the wait in startStreaming).
    void capsArrived();

private:
    void removeBranch();

    QPointer<WebRTCService> m_service;
    GstElement *m_branch = nullptr; // a bin inside the service's pipeline
    GstPad *m_webrtcPad = nullptr;  // the webrtcbin request pad the branch feeds
    std::shared_ptr<FrameGate> m_state;
    bool m_isCapturing = false;
    std::optional<QSizeF> m_captureSize;
};
