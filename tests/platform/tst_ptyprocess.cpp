#include "processprobe.h"
#include "ptyprocess.h"

#include <QTest>

#include <csignal>

using namespace ProcessProbe;

namespace {
constexpr int Timeout = 15000;

struct Recorder : PtyProcessDelegate
{
    QByteArray output;
    int blocks = 0;
    QList<int> exits;
    PtyWindowSize size{24, 80};

    void ptyOutputReceived(const QByteArray &block) override
    {
        QVERIFY(!block.isEmpty());
        output += block;
        ++blocks;
    }
    void ptyProcessExited(int waitStatus) override { exits.append(waitStatus); }
    PtyWindowSize ptyWindowSizeRequested() override { return size; }
};

const QStringList Env{QStringLiteral("PATH=/usr/bin:/bin")};
} // namespace

class TestPtyProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void childGetsAControllingTerminalAndNothingElse()
    {
        // Something the host holds open, and a signal it ignores, must not reach the child.
        Recorder otherDelegate;
        PtyProcess other(&otherDelegate);
        QVERIFY(other.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, Env,
                            QStringLiteral("/")));
        ::signal(SIGPIPE, SIG_IGN);

        Recorder r;
        PtyProcess p(&r);
        QVERIFY(p.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"), QStringLiteral("echo ready; read line")}, Env,
                        QStringLiteral("/tmp")));
        const pid_t pid = p.pid();
        // Past the dynamic loader, which holds library files open for a moment.
        QTRY_VERIFY_WITH_TIMEOUT(r.output.contains("ready"), Timeout);
        const QList<int> fds = openFds(pid);
        QString listing;
        for (int fd : fds)
            listing +=
                QString::number(fd) + QStringLiteral(" -> ") +
                QFileInfo(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd)).symLinkTarget() +
                QStringLiteral("; ");
        QVERIFY2(fds == (QList<int>{0, 1, 2}), qPrintable(listing));
        // Signals 1-31; above them glibc's spawn ignores its own two internal signals.
        QCOMPARE(statusField(pid, "SigIgn").toULongLong(nullptr, 16) & 0x7fffffffULL, 0ULL);
        QCOMPARE(statusField(pid, "SigBlk"), QByteArray("0000000000000000"));
        // stat: pid (comm) state ppid pgrp session tty_nr ...
        const QList<QByteArray> stat = procFile(pid, "stat").split(')').last().trimmed().split(' ');
        QCOMPARE(stat.at(3).toInt(), pid); // session leader
        QVERIFY(stat.at(4).toInt() != 0);  // with a controlling terminal
        QCOMPARE(cwd(pid), QStringLiteral("/tmp"));
        QCOMPARE(nulList(procFile(pid, "environ")), QList<QByteArray>{"PATH=/usr/bin:/bin"});
        p.send("done\n");
        QTRY_COMPARE_WITH_TIMEOUT(r.exits.size(), 1, Timeout);
        ::signal(SIGPIPE, SIG_DFL);
    }

    void initialSizeAndResize()
    {
        Recorder r;
        r.size = {33, 111};
        PtyProcess p(&r);
        QVERIFY(p.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"), QStringLiteral("stty size; sleep 0.3; stty size")},
                        Env, QStringLiteral("/")));
        QTRY_VERIFY_WITH_TIMEOUT(r.output.contains("33 111"), Timeout);
        QVERIFY(p.setWindowSize({7, 9}));
        QTRY_VERIFY_WITH_TIMEOUT(r.output.contains("7 9"), Timeout);
        QTRY_COMPARE_WITH_TIMEOUT(r.exits.size(), 1, Timeout);
    }

    // The last output is delivered before the exit, which carries the wait status.
    void outputThenExit()
    {
        Recorder r;
        PtyProcess p(&r);
        QVERIFY(p.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"), QStringLiteral("printf 'last words'; exit 3")}, Env,
                        QStringLiteral("/")));
        const pid_t pid = p.pid();
        QTRY_COMPARE_WITH_TIMEOUT(r.exits.size(), 1, Timeout);
        QVERIFY(r.output.contains("last words"));
        QVERIFY(WIFEXITED(r.exits.first()));
        QCOMPARE(WEXITSTATUS(r.exits.first()), 3);
        QVERIFY(isGone(pid));
        QVERIFY(!p.isRunning());
    }

    void failedSpawnIsReportedAsExit()
    {
        Recorder r;
        PtyProcess p(&r);
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("^\\[Pty\\] Failed to start shell")));
        QVERIFY(!p.start(QStringLiteral("/nonexistent/shell"), {}, Env, QStringLiteral("/")));
        QVERIFY(p.isStarted());
        QVERIFY(!p.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(r.exits.size(), 1, Timeout);
        QCOMPARE(WEXITSTATUS(r.exits.first()), 127);
        p.send("ignored"); // nothing to write to
        QCOMPARE(p.pendingWriteBytes(), 0);
    }

    // Terminate closes the terminal first: a child that ignores SIGTERM still ends (hang-up),
    // is reaped without an exit callback, and leaves no zombie.
    void terminateReapsSilently()
    {
        Recorder r;
        PtyProcess p(&r);
        QVERIFY(p.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"), QStringLiteral("trap '' TERM; echo ready; "
                                                              "while :; do sleep 1; done")},
                        Env, QStringLiteral("/")));
        QTRY_VERIFY_WITH_TIMEOUT(r.output.contains("ready"), Timeout);
        const pid_t pid = p.pid();
        p.terminate();
        QCOMPARE(p.masterFd(), -1);
        QTRY_VERIFY_WITH_TIMEOUT(isGone(pid), Timeout);
        QTest::qWait(50);
        QVERIFY(r.exits.isEmpty());
    }

    void destroyingTerminates()
    {
        Recorder r;
        pid_t pid;
        {
            PtyProcess p(&r);
            QVERIFY(p.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, Env,
                            QStringLiteral("/")));
            pid = p.pid();
        }
        QTRY_VERIFY_WITH_TIMEOUT(isGone(pid), Timeout);
        QVERIFY(r.exits.isEmpty());
    }

    void clampDimension_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<int>("clamped");
        QTest::newRow("negative") << qint64(-1) << 0;
        QTest::newRow("zero") << qint64(0) << 0;
        QTest::newRow("ordinary") << qint64(80) << 80;
        QTest::newRow("largest") << qint64(65535) << 65535;
        QTest::newRow("would wrap to 0") << qint64(65536) << 65535;
        QTest::newRow("int max") << qint64(std::numeric_limits<int>::max()) << 65535;
        QTest::newRow("int min") << qint64(std::numeric_limits<int>::min()) << 0;
    }
    void clampDimension()
    {
        QFETCH(qint64, value);
        QFETCH(int, clamped);
        QCOMPARE(int(PtyProcess::clampDimension(value)), clamped);
    }
};

QTEST_GUILESS_MAIN(TestPtyProcess)
#include "tst_ptyprocess.moc"
