// Screen streaming, 1920x1080 at 30 fps from a private Xvfb to the aiortc phone peer, inside a
// network namespace of its own:
//
//   sh tests/support/run-in-netns.sh build/bench/bench_screen [seconds, default 10]
//
// Reports the frame rate the phone decodes, the host's CPU time per encoded frame against
// gst-launch-1.0 running the same capture and encoder into fakesink (the baseline, measured in
// the same run), and capture-to-decode latency: the screen is repainted in a new colour and the
// time until the phone decodes a frame of that colour is taken, p50 and p90 over the samples.

#include "phonepeer.h"
#include "screenstreammanager.h"
#include "webrtcservice.h"
#include "xvfbserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace TestPeer;

namespace {

double cpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Lets the event loop run for `ms` without spinning (the CPU measurement would count a spin).
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    return true;
}

std::optional<QJsonObject> lastFrame(Phone &phone)
{
    std::optional<QJsonObject> last;
    for (const QJsonObject &m : phone.received()) {
        if (m.value("type") == "frame")
            last = m;
    }
    return last;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = app.arguments().value(1, "10").toInt();
    XvfbServer x(QStringLiteral("1920x1080x24"));
    if (!x.isRunning()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    QProcess::execute("xsetroot", {"-solid", "#808080"});

    // Baseline: the same capture and encoder into fakesink, in its own process.
    const int baselineFrames = 30 * seconds;
    const double childrenBefore = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer wall;
    wall.start();
    QProcess::execute("gst-launch-1.0", {"-q",
                                         "ximagesrc",
                                         "display-name=" + x.display(),
                                         "use-damage=false",
                                         "show-pointer=true",
                                         QStringLiteral("num-buffers=%1").arg(baselineFrames),
                                         "!",
                                         "video/x-raw,framerate=30/1",
                                         "!",
                                         "videoconvert",
                                         "!",
                                         "video/x-raw,format=I420",
                                         "!",
                                         "queue",
                                         "max-size-buffers=2",
                                         "leaky=downstream",
                                         "!",
                                         "x264enc",
                                         "tune=zerolatency",
                                         "speed-preset=ultrafast",
                                         "key-int-max=60",
                                         "bframes=0",
                                         "!",
                                         "video/x-h264,profile=constrained-baseline",
                                         "!",
                                         "fakesink",
                                         "sync=false"});
    const double baselineWall = double(wall.elapsed()) / 1000.0;
    const double baselineCpuPerFrame =
        (cpuSeconds(RUSAGE_CHILDREN) - childrenBefore) / double(baselineFrames);

    WebRTCService service;
    Phone phone;
    QStringList received;
    int opens = 0;
    const QJsonArray ice{QJsonObject{{"urls", "stun:127.0.0.1:3478"}}};
    if (!connectPhone(service, phone, received, opens, ice, 30000)) {
        std::fprintf(stderr, "the phone did not connect\n");
        return 1;
    }
    ScreenStreamManager manager;
    try {
        await(manager.startStreaming(&service, 30));
        const WebRTCService::Description offer = await(service.createReOffer());
        phone.send({{"type", "reoffer"}, {"sdp", offer.sdp}});
        if (!waitFor([&] { return phone.has("reanswer"); }, 30000))
            return 1;
        await(service.handleReAnswer(phone.take("reanswer")->value("sdp").toString(), "answer"));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "streaming failed: %s\n", e.what());
        return 1;
    }
    phone.send({{"type", "frames_every"}, {"n", 1}});
    if (!waitFor([&] { return lastFrame(phone).has_value(); }, 30000))
        return 1;
    spin(2000); // settle

    // Throughput and CPU.
    const int phoneStart = lastFrame(phone)->value("n").toInt();
    const quint64 encodedStart = manager.framesEncoded();
    const double cpuStart = cpuSeconds(RUSAGE_SELF);
    wall.restart();
    spin(seconds * 1000);
    const double elapsed = double(wall.elapsed()) / 1000.0;
    const double phoneFps = double(lastFrame(phone)->value("n").toInt() - phoneStart) / elapsed;
    const quint64 encoded = manager.framesEncoded() - encodedStart;
    const double hostCpuPerFrame = (cpuSeconds(RUSAGE_SELF) - cpuStart) / double(encoded);

    // Latency: repaint, then time until the phone decodes the new colour.
    std::vector<double> latencies;
    const char *colours[] = {"#ff0000", "#0000ff"};
    const int expected[2][3] = {{255, 0, 0}, {0, 0, 255}};
    for (int i = 0; i < 20; ++i) {
        const int c = i % 2;
        QProcess::execute("xsetroot", {"-solid", colours[c]});
        QElapsedTimer t;
        t.start();
        const bool seen = waitFor(
            [&] {
                const auto f = lastFrame(phone);
                if (!f)
                    return false;
                const QJsonArray rgb = f->value("rgb").toArray();
                int d = 0;
                for (int k = 0; k < 3; ++k)
                    d += std::abs(rgb[k].toInt() - expected[c][k]);
                return d < 80;
            },
            5000);
        if (seen)
            latencies.push_back(double(t.nsecsElapsed()) / 1e6);
        spin(300);
    }

    std::printf("screen stream 1920x1080 at 30 fps, %d s\n", seconds);
    std::printf("  phone decoded %.1f fps; host encoded %.1f fps\n", phoneFps,
                double(encoded) / elapsed);
    std::printf("  host CPU %.2f ms per frame; baseline gst-launch %.2f ms per frame (%d frames "
                "in %.1f s); host / baseline = %.2fx (goal <= 1.2x)\n",
                hostCpuPerFrame * 1e3, baselineCpuPerFrame * 1e3, baselineFrames, baselineWall,
                hostCpuPerFrame / baselineCpuPerFrame);
    std::printf("  capture-to-decode latency over %zu repaints: p50 %.0f ms, p90 %.0f ms "
                "(includes the xsetroot repaint and the phone's Python decode)\n",
                latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.9));
    manager.teardown();
    service.close();
    return 0;
}
