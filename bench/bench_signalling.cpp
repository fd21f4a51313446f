// Incoming signalling throughput: small messages from the development relay, parsed by the
// host's signalling client and re-published by the connection manager, against a bare
// QWebSocket that only counts the same frames, alternating in the same run; then resident
// memory across a million messages.
//
//   bench_signalling [messages per round, default 200000] [rounds, default 3]

#include "connectionmanager.h"
#include "devrelay.h"
#include "identityservice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString MacId = QStringLiteral("bench-mac");
constexpr int Batch = 5000; // frames in flight at once, so the sender's buffers stay small

class FixedIdentity : public IdentityService
{
public:
    std::optional<QString> currentUser() const override { return QStringLiteral("bench"); }
    QCoro::Task<QString> idToken(bool) override { co_return QStringLiteral("bench-token"); }
};

QJsonObject sample(int i)
{
    return {{QStringLiteral("type"), QStringLiteral("ice_candidate")},
            {QStringLiteral("fromDeviceId"), QStringLiteral("phone-1")},
            {QStringLiteral("payload"),
             QJsonObject{{QStringLiteral("candidate"),
                          QStringLiteral("candidate:%1 1 udp 2122260223 10.213.0.2 %2 typ host")
                              .arg(i)
                              .arg(40000 + i % 20000)},
                         {QStringLiteral("sdpMid"), QStringLiteral("0")},
                         {QStringLiteral("sdpMLineIndex"), 0}}}};
}

void waitUntil(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Sends `count` messages to `target` in batches; `received` tells how many arrived.
double pump(DevRelay &relay, const QString &target, int count, const qint64 &received)
{
    const qint64 start = received;
    QElapsedTimer timer;
    timer.start();
    for (int sent = 0; sent < count;) {
        const int n = std::min(Batch, count - sent);
        for (int i = 0; i < n; ++i)
            relay.sendTo(target, sample(sent + i));
        sent += n;
        waitUntil([&] { return received - start >= sent; });
    }
    return double(timer.nsecsElapsed()) / 1e9;
}

qint64 rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int perRound = app.arguments().value(1, QStringLiteral("200000")).toInt();
    const int rounds = app.arguments().value(2, QStringLiteral("3")).toInt();

    DevRelay relay;
    if (!relay.listen())
        return 1;
    FixedIdentity identity;

    // The host's path: socket → JSON parse → client → queued re-publication by the manager.
    ConnectionManager manager(identity, relay.url());
    qint64 routed = 0;
    QObject::connect(&manager, &ConnectionManager::messageReceived,
                     [&](const SignallingMessage &m) { routed += !m.isEmpty(); });
    manager.connect(MacId, QStringLiteral("bench"));
    waitUntil([&] { return manager.isConnected(); });
    routed = 0;

    // The baseline: a second registered Mac whose socket only counts frames.
    const QString bareId = QStringLiteral("bench-bare");
    QWebSocket bare;
    qint64 bareFrames = 0;
    QObject::connect(&bare, &QWebSocket::textMessageReceived, [&] { ++bareFrames; });
    bare.open(relay.url());
    waitUntil([&] { return bare.state() == QAbstractSocket::ConnectedState; });
    bare.sendTextMessage(QStringLiteral(
        R"({"type":"register","idToken":"t","deviceId":"bench-bare","deviceType":"mac","deviceName":"b"})"));
    waitUntil([&] { return bareFrames >= 1; }); // "registered"
    bareFrames = 0;

    std::printf("signalling: %d small messages a round (%lld bytes each as JSON), %d rounds\n",
                perRound, qint64(QJsonDocument(sample(1)).toJson(QJsonDocument::Compact).size()),
                rounds);
    std::vector<double> ours, baseline, ratios;
    for (int r = 0; r < rounds; ++r) {
        const double b = double(perRound) / pump(relay, bareId, perRound, bareFrames);
        const double h = double(perRound) / pump(relay, MacId, perRound, routed);
        baseline.push_back(b);
        ours.push_back(h);
        ratios.push_back(h / b);
        std::printf("  round %d: bare socket %8.0f msg/s   host %8.0f msg/s   ratio %.2f\n", r + 1,
                    b, h, h / b);
    }
    std::printf("median: bare socket %.0f msg/s, host %.0f msg/s (goal >= 50000); host / bare = "
                "%.2fx (the sender is the same relay in this process for both)\n",
                median(baseline), median(ours), median(ratios));

    const qint64 before = rssKiB();
    const int million = 1000000;
    const double seconds = pump(relay, MacId, million, routed);
    const qint64 after = rssKiB();
    std::printf("1,000,000 messages in %.1f s (%.0f msg/s); RSS %lld KiB before, %lld KiB after: "
                "%.3f bytes per message\n",
                seconds, million / seconds, before, after,
                double(after - before) * 1024.0 / million);
    manager.disconnect();
    return 0;
}
