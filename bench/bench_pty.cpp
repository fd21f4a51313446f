// Terminal sessions under load.
//
//   bench_pty throughput [MiB] [rounds]
//       Bytes per second a session delivers to its consumer while zsh runs `cat` of a file,
//       against the same file read through a bare blocking pseudo-terminal loop, alternating
//       the two in the same run. Default: 200 MiB, 3 rounds.
//   bench_pty memory [sessions]
//       Peak resident memory of the host with that many sessions (default 100) each holding a
//       full 10 MiB history.

#include "sessionstore.h"
#include "terminalsession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Result
{
    double seconds;
    qint64 bytes;
    double mbPerSecond() const { return double(bytes) / seconds / 1e6; }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool writeDataFile(const QString &path, qint64 mib)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    // Printable lines of 100 bytes, as a build log or a listing would be.
    QByteArray chunk;
    for (int line = 0; chunk.size() < 1024 * 1024; ++line)
        chunk += QByteArray::number(line).rightJustified(10, '0') + ' ' +
                 QByteArray(88, char('a' + line % 26)) + '\n';
    chunk.truncate(1024 * 1024);
    for (qint64 i = 0; i < mib; ++i)
        f.write(chunk);
    return true;
}

// The baseline: forkpty, exec cat, read the master with blocking 64 KiB reads until EOF.
Result bareLoop(const QString &file)
{
    const QByteArray path = file.toLocal8Bit();
    QElapsedTimer timer;
    timer.start();
    int master = -1;
    winsize ws{};
    ws.ws_row = 50;
    ws.ws_col = 200;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &ws);
    if (pid == 0) {
        ::execl("/bin/cat", "cat", path.constData(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    static char buffer[64 * 1024];
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0)
            total += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    ::close(master);
    ::waitpid(pid, nullptr, 0);
    return {seconds, total};
}

// A real session: zsh under our driver, output delivered through the event loop to onOutput.
Result sessionRun(const QString &file)
{
    TerminalSession session(QStringLiteral("sess_bench"), QStringLiteral("bench"));
    qint64 delivered = 0;
    bool exited = false;
    session.setOnExit([&] { exited = true; });
    session.start(200, 50);
    session.attach([&](const QByteArray &b) { delivered += b.size(); }, {});
    // Wait for the first prompt, so the shell's start-up is not measured.
    while (delivered == 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();

    delivered = 0;
    QElapsedTimer timer;
    timer.start();
    session.sendInput("exec cat " + file.toLocal8Bit() + '\n');
    while (!exited)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return {double(timer.nsecsElapsed()) / 1e9, delivered};
}

int throughput(qint64 mib, int rounds)
{
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/data.txt");
    if (!writeDataFile(file, mib))
        return 1;
    {
        QFile rc(dir.path() + QStringLiteral("/.zshrc"));
        rc.open(QIODevice::WriteOnly);
        rc.write("PS1='%# '\n");
    }
    qputenv("HOME", dir.path().toLocal8Bit());

    std::vector<double> bare, ours, ratios;
    std::printf("pty throughput, cat of %lld MiB (alternating, %d rounds)\n", mib, rounds);
    for (int i = 0; i < rounds; ++i) {
        const Result b = bareLoop(file);
        const Result s = sessionRun(file);
        bare.push_back(b.mbPerSecond());
        ours.push_back(s.mbPerSecond());
        ratios.push_back(s.mbPerSecond() / b.mbPerSecond());
        std::printf("  round %d: bare loop %7.1f MB/s (%lld bytes)   session %7.1f MB/s (%lld "
                    "bytes)   ratio %.2f\n",
                    i + 1, b.mbPerSecond(), b.bytes, s.mbPerSecond(), s.bytes,
                    s.mbPerSecond() / b.mbPerSecond());
    }
    std::printf("median: bare loop %.1f MB/s, session %.1f MB/s; median of the round ratios, "
                "session / bare = %.2fx (goal >= 0.8x)\n",
                median(bare), median(ours), median(ratios));
    return 0;
}

qint64 statusKiB(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

int memory(int count)
{
    QTemporaryDir dir;
    qputenv("HOME", dir.path().toLocal8Bit());
    const qint64 baselineKiB = statusKiB("VmRSS:");

    SessionStore store;
    int exits = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        auto s = std::make_shared<TerminalSession>(store.makeSessionId(),
                                                   SessionStore::makeSessionName());
        s->setOnExit([&] { ++exits; });
        store.addSession(s);
        s->start(80, 24);
        // 11 MiB of output, more than the history keeps; then the shell ends.
        s->sendInput("head -c 11534336 /dev/zero | tr '\\0' x; exit\n");
    }
    while (exits < count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    qint64 payload = 0;
    qint64 chunks = 0;
    for (const auto &s : store.sessions()) {
        payload += s->outputBuffer().totalBytes();
        chunks += s->outputBuffer().chunkCount();
    }
    const qint64 peakKiB = statusKiB("VmHWM:");
    const double gib = double(peakKiB) / (1024.0 * 1024.0);
    std::printf("%d sessions, %.1f s to fill; history %.1f MiB in %lld blocks (%.0f bytes a "
                "block)\n",
                count, double(timer.elapsed()) / 1e3, double(payload) / (1024.0 * 1024.0), chunks,
                double(payload) / double(std::max<qint64>(chunks, 1)));
    std::printf("RSS before sessions %.1f MiB; peak RSS %.3f GiB (goal <= 1.15 GiB); peak / "
                "history = %.3fx\n",
                double(baselineKiB) / 1024.0, gib, double(peakKiB) * 1024.0 / double(payload));
    store.terminateAll();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1, QStringLiteral("throughput"));
    if (mode == QLatin1String("throughput"))
        return throughput(args.value(2, QStringLiteral("200")).toLongLong(),
                          args.value(3, QStringLiteral("3")).toInt());
    if (mode == QLatin1String("memory"))
        return memory(args.value(2, QStringLiteral("100")).toInt());
    std::fprintf(stderr, "usage: bench_pty throughput [MiB] [rounds] | memory [sessions]\n");
    return 2;
}
