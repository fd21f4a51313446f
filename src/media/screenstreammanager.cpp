#include "screenstreammanager.h"

#include "screeninfo.h"
#include "webrtcservice.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QDebug>

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <chrono>

namespace {

using GateRef = std::weak_ptr<ScreenStreamManager::FrameGate>;

const char *describe(ScreenStreamError error)
{
    switch (error) {
    case ScreenStreamError::missingPeerConnection:
        return "The peer connection is not set up yet";
    case ScreenStreamError::failedToAddTrack:
        return "The video track could not be added";
    case ScreenStreamError::noDisplay:
        return "No display to capture";
    case ScreenStreamError::noShareableContent:
        return "Nothing on screen can be captured";
    }
    return "Screen stream error";
}

// Streaming thread: drops frames while paused, before they cost an encode.
GstPadProbeReturn gateFrames(GstPad *, GstPadProbeInfo *, gpointer data)
{
    const auto gate = static_cast<GateRef *>(data)->lock();
    if (!gate || gate->stopped.load(std::memory_order_relaxed))
        return GST_PAD_PROBE_DROP;
    gate->frames.fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

void deleteGateRef(gpointer data)
{
    delete static_cast<GateRef *>(data);
}

// Streaming thread: the first CAPS event on webrtcbin's pad means an offer can now describe
// the track. Posts to the main thread, where the manager is looked at only if still alive.
struct CapsWatch
{
    GateRef gate;
    ScreenStreamManager *manager;
};

} // namespace

ScreenStreamException::ScreenStreamException(ScreenStreamError error, const QString &detail)
    : std::runtime_error(detail.isEmpty()
                             ? std::string(describe(error))
                             : std::string(describe(error)) + ": " + detail.toStdString())
    , m_error(error)
{
}

ScreenStreamManager::ScreenStreamManager(QObject *parent)
    : QObject(parent)
{
}

ScreenStreamManager::~ScreenStreamManager()
{
    teardown();
}

ScreenStreamManager &ScreenStreamManager::shared()
{
    static auto *manager = new ScreenStreamManager; // never released
    return *manager;
}

QCoro::Task<bool> ScreenStreamManager::startStreaming(WebRTCService *service, int fps)
{
    if (!m_service || m_service != service) {
        teardown();
        m_service = service;
    }
    if (m_isCapturing)
        stopCapture();
    if (!service || !service->hasPeerConnection())
        throw ScreenStreamException(ScreenStreamError::missingPeerConnection);
    const std::optional<QRect> monitor = ScreenInfo::firstMonitor();
    if (!monitor)
        throw ScreenStreamException(ScreenStreamError::noDisplay);
    if (monitor->isEmpty())
        throw ScreenStreamException(ScreenStreamError::noShareableContent);
    fps = std::clamp(fps, 1, 240);

    bool added = false;
    if (!m_branch) {
        // The whole branch, so that the pipeline only ever sees one element come and go.
        const QString description =
            QStringLiteral(
                "ximagesrc name=capture display-name=\"%1\" use-damage=false show-pointer=true "
                "startx=%2 starty=%3 endx=%4 endy=%5 "
                "! video/x-raw,framerate=%6/1 ! videoconvert ! video/x-raw,format=I420 "
                "! queue max-size-buffers=2 leaky=downstream "
                "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=%7 bframes=0 "
                "! video/x-h264,profile=constrained-baseline "
                "! rtph264pay config-interval=-1 aggregate-mode=zero-latency pt=96 "
                // A caps string cannot end a description: the bin's ghost pad needs an element.
                "! capsfilter caps=\"application/x-rtp,media=video,encoding-name=H264,payload=96\"")
                .arg(ScreenInfo::displayName())
                .arg(monitor->x())
                .arg(monitor->y())
                .arg(monitor->right())
                .arg(monitor->bottom())
                .arg(fps)
                .arg(fps * 2);
        GError *error = nullptr;
        GstElement *bin =
            gst_parse_bin_from_description(description.toUtf8().constData(), TRUE, &error);
        if (!bin) {
            const QString detail = QString::fromUtf8(error ? error->message : "");
            g_clear_error(&error);
            throw ScreenStreamException(ScreenStreamError::failedToAddTrack, detail);
        }
        GstElement *webrtc = service->webrtcbin();
        GstPad *sinkPad = gst_element_request_pad_simple(webrtc, "sink_%u");
        if (!sinkPad) {
            gst_object_unref(bin);
            throw ScreenStreamException(ScreenStreamError::failedToAddTrack);
        }
        GstWebRTCRTPTransceiver *transceiver = nullptr;
        g_object_get(sinkPad, "transceiver", &transceiver, nullptr);
        if (transceiver) {
            g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                         nullptr);
            gst_object_unref(transceiver);
        }

        m_state = std::make_shared<FrameGate>();
        GstElement *capture = gst_bin_get_by_name(GST_BIN(bin), "capture");
        GstPad *capturePad = gst_element_get_static_pad(capture, "src");
        gst_pad_add_probe(capturePad, GST_PAD_PROBE_TYPE_BUFFER, gateFrames, new GateRef(m_state),
                          deleteGateRef);
        gst_object_unref(capturePad);
        gst_object_unref(capture);

        auto *watch = new CapsWatch{m_state, this};
        gst_pad_add_probe(
            sinkPad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
            [](GstPad *, GstPadProbeInfo *info, gpointer data) -> GstPadProbeReturn {
                if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_CAPS)
                    return GST_PAD_PROBE_OK;
                const CapsWatch w = *static_cast<CapsWatch *>(data);
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [w] {
                        const auto gate = w.gate.lock();
                        if (gate && w.manager->m_state == gate)
                            Q_EMIT w.manager->capsArrived();
                    },
                    Qt::QueuedConnection);
                return GST_PAD_PROBE_REMOVE;
            },
            watch, [](gpointer data) { delete static_cast<CapsWatch *>(data); });

        gst_object_ref(bin); // ours as well as the pipeline's, for a teardown after the pipeline
        gst_bin_add(GST_BIN(service->pipeline()), bin);
        GstPad *binSrc = gst_element_get_static_pad(bin, "src");
        const GstPadLinkReturn linked = gst_pad_link(binSrc, sinkPad);
        gst_object_unref(binSrc);
        m_branch = bin;
        m_webrtcPad = sinkPad;
        if (linked != GST_PAD_LINK_OK) {
            removeBranch();
            throw ScreenStreamException(ScreenStreamError::failedToAddTrack,
                                        QStringLiteral("link failed"));
        }
        m_captureSize = QSizeF(monitor->size());
        gst_element_sync_state_with_parent(bin);
        added = true;

        // An offer made before the encoder's caps reach webrtcbin describes no video.
        QPointer<ScreenStreamManager> self(this);
        const auto arrived =
            co_await qCoro(this, &ScreenStreamManager::capsArrived, std::chrono::seconds(15));
        if (!self)
            co_return false;
        if (!arrived)
            throw ScreenStreamException(ScreenStreamError::noShareableContent,
                                        QStringLiteral("no picture reached the encoder"));
    }
    m_state->stopped = false;
    m_isCapturing = true;
    m_captureSize = QSizeF(monitor->size());
    co_return added;
}

void ScreenStreamManager::stopCapture()
{
    if (m_state)
        m_state->stopped = true;
    m_isCapturing = false;
}

void ScreenStreamManager::removeBranch()
{
    if (m_state)
        m_state->stopped = true;
    if (m_branch) {
        // Only while the peer connection still exists; otherwise the pipeline is gone already
        // and the branch with it, but for our reference.
        if (m_service && m_service->pipeline()) {
            // Unlinked first: a frame on its way into webrtcbin then ends as "not linked"
            // instead of holding the stream lock that stopping the branch waits for.
            GstPad *binSrc = gst_element_get_static_pad(m_branch, "src");
            if (m_webrtcPad)
                gst_pad_unlink(binSrc, m_webrtcPad);
            gst_object_unref(binSrc);
            gst_element_set_locked_state(m_branch, TRUE);
            gst_element_set_state(m_branch, GST_STATE_NULL);
            gst_bin_remove(GST_BIN(m_service->pipeline()), m_branch);
            if (m_webrtcPad)
                gst_element_release_request_pad(m_service->webrtcbin(), m_webrtcPad);
        } else {
            gst_element_set_state(m_branch, GST_STATE_NULL);
        }
        gst_object_unref(m_branch);
        m_branch = nullptr;
    }
    if (m_webrtcPad) {
        gst_object_unref(m_webrtcPad);
        m_webrtcPad = nullptr;
    }
    m_state.reset();
}

void ScreenStreamManager::teardown()
{
    removeBranch();
    m_isCapturing = false;
    m_captureSize.reset();
    m_service = nullptr;
}
