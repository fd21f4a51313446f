#include "processprobe.h"
#include "shellhome.h"
#include "terminalsession.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace ProcessProbe;

namespace {
constexpr int Timeout = 15000;

// Collects what a consumer receives.
struct Consumer
{
    QByteArray output;
    QList<QByteArray> blocks;
    QList<QByteArray> replays;
    int detaches = 0;

    TerminalSession::OutputCallback onOutput()
    {
        return [this](const QByteArray &b) {
            output += b;
            blocks.append(b);
        };
    }
    TerminalSession::Callback onDetach()
    {
        return [this] { ++detaches; };
    }
    TerminalSession::OutputCallback replay()
    {
        return [this](const QByteArray &b) { replays.append(b); };
    }
};

// Shell commands whose output cannot be confused with their echo: $((...)) only expands when
// the shell runs the line.
QByteArray marked(const QByteArray &command, int n)
{
    return command + "; echo M$((" + QByteArray::number(n) + "+0))K\n";
}
QByteArray marker(int n)
{
    return "M" + QByteArray::number(n) + "K";
}

QByteArray history(const TerminalSession &s)
{
    return s.outputBuffer().snapshot();
}
} // namespace

class TestTerminalSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void uptimeText_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("new") << qint64(0) << QStringLiteral("0m");
        QTest::newRow("59 s") << qint64(59) << QStringLiteral("0m");
        QTest::newRow("1 min") << qint64(60) << QStringLiteral("1m");
        QTest::newRow("just under an hour") << qint64(3599) << QStringLiteral("59m");
        QTest::newRow("an hour") << qint64(3600) << QStringLiteral("1h 0m");
        QTest::newRow("2h 2m") << qint64(7322) << QStringLiteral("2h 2m");
        QTest::newRow("over a day") << qint64(26 * 3600 + 5 * 60 + 59) << QStringLiteral("26h 5m");
        QTest::newRow("clock set back") << qint64(-30) << QStringLiteral("0m");
    }
    void uptimeText()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(TerminalSession::formatUptime(seconds), text);
        const TerminalSession s(QStringLiteral("sess_00000001"), QStringLiteral("calm-oak"),
                                QDateTime::currentDateTimeUtc().addSecs(-seconds));
        QCOMPARE(s.uptime(), text);
    }

    void newSessionSummary()
    {
        const QDateTime created(QDate(2025, 3, 1), QTime(9, 30, 0, 456), Qt::UTC);
        const TerminalSession s(QStringLiteral("sess_0a1b2c3d"), QStringLiteral("calm-oak"),
                                created);
        const QJsonObject info = s.info();
        QStringList keys = info.keys();
        keys.sort();
        QCOMPARE(keys, (QStringList{QStringLiteral("createdAt"), QStringLiteral("id"),
                                    QStringLiteral("isAlive"), QStringLiteral("isStarted"),
                                    QStringLiteral("name"), QStringLiteral("status"),
                                    QStringLiteral("uptime")}));
        QCOMPARE(info[QStringLiteral("id")].toString(), QStringLiteral("sess_0a1b2c3d"));
        QCOMPARE(info[QStringLiteral("name")].toString(), QStringLiteral("calm-oak"));
        QCOMPARE(info[QStringLiteral("status")].toString(), QStringLiteral("detached"));
        QCOMPARE(info[QStringLiteral("isAlive")], QJsonValue(true));
        QCOMPARE(info[QStringLiteral("isStarted")], QJsonValue(false));
        QCOMPARE(info[QStringLiteral("createdAt")].toString(),
                 QStringLiteral("2025-03-01T09:30:00Z"));

        const TerminalSession fresh(QStringLiteral("sess_1"), QStringLiteral("x"));
        QCOMPARE(fresh.info()[QStringLiteral("uptime")].toString(), QStringLiteral("0m"));
    }

    // Callback rules that need no shell.
    void callbacksWithoutShell()
    {
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        Consumer c;
        s.attach(c.onOutput(), c.onDetach(), c.replay());
        QVERIFY(s.isAttached());
        QCOMPARE(s.info()[QStringLiteral("status")].toString(), QStringLiteral("attached"));
        QVERIFY(c.replays.isEmpty()); // empty history: nothing to either callback
        QVERIFY(c.blocks.isEmpty());
        s.detach();
        s.detach();
        QCOMPARE(c.detaches, 1);

        s.attach(c.onOutput(), c.onDetach());
        s.terminate();
        QCOMPARE(c.detaches, 1); // terminate drops onDetach without calling it
        QVERIFY(!s.isAttached());
        QVERIFY(!s.isAlive());
        s.sendInput("dropped"); // no shell: silently ignored
        s.resize(120, 40);
        QCOMPARE(s.cols(), 120);
        QCOMPARE(s.rows(), 40);
    }

    void environmentIsExactlySix()
    {
        ShellHome home;
        const QStringList six{
            QStringLiteral("TERM=xterm-256color"),
            QStringLiteral("HOME=") + home.path(),
            QStringLiteral("SHELL=/bin/zsh"),
            QStringLiteral("LANG=en_US.UTF-8"),
            QStringLiteral("LC_ALL=en_US.UTF-8"),
            QStringLiteral("PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"),
        };
        QCOMPARE(TerminalSession::shellEnvironment(home.path()), six);

        qputenv("KORVO_TEST_LEAK", "must-not-reach-the-shell");
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        s.start(80, 24);
        qunsetenv("KORVO_TEST_LEAK");
        QVERIFY(s.isAlive());
        const pid_t pid = s.process()->pid();
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(hasExeced(pid), Timeout);
        // argv is just the path: not a login shell.
        QCOMPARE(nulList(procFile(pid, "cmdline")), QList<QByteArray>{"/bin/zsh"});
        QCOMPARE(cwd(pid), home.path());

        // An interactive zsh wipes its /proc environ, so ask what it exports to its children,
        // less the variables zsh itself adds.
        const QString file = home.path() + QStringLiteral("/env.txt");
        s.sendInput(marked("env > " + file.toUtf8(), 1));
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(marker(1)), Timeout);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList exported;
        const QStringList zshOwn{QStringLiteral("PWD"), QStringLiteral("OLDPWD"),
                                 QStringLiteral("SHLVL"), QStringLiteral("LOGNAME"),
                                 QStringLiteral("_")};
        for (const QString &line :
             QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
            if (!zshOwn.contains(line.section(u'=', 0, 0)))
                exported.append(line);
        }
        exported.sort();
        QStringList expected = six;
        expected.sort();
        QCOMPARE(exported, expected);
        s.terminate();
    }

    void homeFallback_data()
    {
        QTest::addColumn<QByteArray>("user"); // empty: unset
        QTest::addColumn<QString>("expectedHome");
        QTest::newRow("USER set") << QByteArray("nosuchuser-korvo")
                                  << QStringLiteral("/home/nosuchuser-korvo");
        QTest::newRow("USER unset") << QByteArray() << QStringLiteral("/home/unknown");
    }
    void homeFallback()
    {
        QFETCH(QByteArray, user);
        QFETCH(QString, expectedHome);
        const QByteArray oldHome = qgetenv("HOME"), oldUser = qgetenv("USER");
        const bool hadHome = qEnvironmentVariableIsSet("HOME");
        const bool hadUser = qEnvironmentVariableIsSet("USER");
        qunsetenv("HOME");
        if (user.isEmpty())
            qunsetenv("USER");
        else
            qputenv("USER", user);
        auto restore = qScopeGuard([&] {
            hadHome ? qputenv("HOME", oldHome) : qunsetenv("HOME");
            hadUser ? qputenv("USER", oldUser) : qunsetenv("USER");
        });

        QCOMPARE(TerminalSession::homeDirectory(), expectedHome);
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        s.start(80, 24);
        const pid_t pid = s.process()->pid();
        // That folder does not exist here; the shell still starts, in "/".
        QCOMPARE(cwd(pid), QStringLiteral("/"));
        s.sendInput("echo \"[$HOME]\"\n");
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(QByteArray("[" + expectedHome.toUtf8() + "]")),
                                 Timeout);
        s.terminate();
    }

    void startOnlyOnce()
    {
        ShellHome home;
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        s.start(80, 24);
        PtyProcess *first = s.process();
        s.start(132, 50);
        QCOMPARE(s.process(), first);
        QCOMPARE(s.cols(), 80);
        QCOMPARE(s.rows(), 24);
        s.terminate();
    }

    // History is kept whether or not a consumer is attached; live output goes only to an
    // attached consumer; a later attach replays the history as one block and then delivers
    // exactly the output that follows it.
    void historyThenLiveOutput()
    {
        ShellHome home;
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        s.start(80, 24);
        s.sendInput(marked("echo before", 1));
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(marker(1)), Timeout);

        Consumer first;
        s.attach(first.onOutput(), first.onDetach());
        // Without a replay callback the history goes to onOutput.
        QCOMPARE(first.blocks.size(), 1);
        QVERIFY(first.blocks.first().contains(marker(1)));
        s.sendInput(marked("echo attached", 2));
        QTRY_VERIFY_WITH_TIMEOUT(first.output.contains(marker(2)), Timeout);
        QCOMPARE(first.output, history(s)); // stored and forwarded
        s.detach();
        QCOMPARE(first.detaches, 1);

        const qsizetype seenByFirst = first.output.size();
        s.sendInput(marked("echo detached", 3));
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(marker(3)), Timeout);
        QCOMPARE(first.output.size(), seenByFirst); // stored, not forwarded

        Consumer second;
        s.attach(second.onOutput(), second.onDetach(), second.replay());
        QCOMPARE(second.replays.size(), 1);
        QVERIFY(second.blocks.isEmpty());
        const QByteArray replayed = second.replays.first();
        QVERIFY(replayed.contains(marker(1)) && replayed.contains(marker(3)));
        s.sendInput(marked("echo live", 4));
        QTRY_VERIFY_WITH_TIMEOUT(second.output.contains(marker(4)), Timeout);
        QCOMPARE(replayed + second.output, history(s));
        s.terminate();
        QCOMPARE(second.detaches, 0);
    }

    void resizeReachesTheShell_data()
    {
        QTest::addColumn<int>("cols");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QByteArray>("stty");
        QTest::newRow("ordinary") << 101 << 37 << QByteArray("37 101");
        QTest::newRow("largest") << 65535 << 65535 << QByteArray("65535 65535");
        QTest::newRow("out of range is clamped") << 70000 << -5 << QByteArray("0 65535");
    }
    void resizeReachesTheShell()
    {
        QFETCH(int, cols);
        QFETCH(int, rows);
        QFETCH(QByteArray, stty);
        ShellHome home;
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        s.start(80, 24);
        s.sendInput(marked("stty size", 1));
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(marker(1)), Timeout);
        QVERIFY(history(s).contains("24 80"));
        s.resize(cols, rows);
        QCOMPARE(s.cols(), cols);
        QCOMPARE(s.rows(), rows);
        s.sendInput(marked("stty size", 2));
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(marker(2)), Timeout);
        QVERIFY2(history(s).contains(QByteArray(stty + "\r\n")), history(s).right(200).constData());
        s.terminate();
    }

    // A paste far larger than the terminal's input buffer is queued, not lost, and sendInput
    // returns without waiting for the shell to read it.
    void largeInputArrivesWhole()
    {
        ShellHome home;
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        s.start(80, 24);
        const QString file = home.path() + QStringLiteral("/paste.txt");
        s.sendInput("stty -echo; echo READY$((1+0)); cat > " + file.toUtf8() +
                    "; echo DONE$((1+0))\n");
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains("READY1"), Timeout);

        QByteArray paste;
        for (int line = 0; paste.size() < 1024 * 1024; ++line)
            paste += QByteArray::number(line).rightJustified(8, '0') + ' ' +
                     QByteArray(55, char('a' + line % 26)) + '\n';
        s.sendInput(paste);
        QVERIFY(s.process()->pendingWriteBytes() > 0); // queued, not written synchronously
        s.sendInput("\x04");
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains("DONE1"), 60000);
        QCOMPARE(s.process()->pendingWriteBytes(), 0);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray written = f.readAll();
        QCOMPARE(written.size(), paste.size());
        QVERIFY(written == paste);
        s.terminate();
    }

    void exitIsDetectedAndReaped()
    {
        ShellHome home;
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        int exits = 0;
        s.setOnExit([&] { ++exits; });
        Consumer c;
        s.start(80, 24);
        s.attach(c.onOutput(), c.onDetach());
        const pid_t pid = s.process()->pid();
        s.sendInput("exit\n");
        QTRY_COMPARE_WITH_TIMEOUT(exits, 1, Timeout);
        QVERIFY(!s.isAlive());
        QVERIFY(s.isAttached()); // an exit changes nothing else
        QVERIFY(s.isStarted());
        QCOMPARE(s.info()[QStringLiteral("isAlive")], QJsonValue(false));
        QCOMPARE(s.info()[QStringLiteral("isStarted")], QJsonValue(true));
        QVERIFY(isGone(pid)); // reaped before the exit was reported: no zombie
        s.sendInput("dropped\n");
        QCOMPARE(s.process()->pendingWriteBytes(), 0);
        QCOMPARE(c.detaches, 0);
    }

    void terminateStopsAndReapsTheShell()
    {
        ShellHome home;
        TerminalSession s(QStringLiteral("sess_1"), QStringLiteral("x"));
        int exits = 0;
        s.setOnExit([&] { ++exits; });
        Consumer c;
        s.start(80, 24);
        s.attach(c.onOutput(), c.onDetach());
        s.sendInput(marked("true", 1));
        QTRY_VERIFY_WITH_TIMEOUT(history(s).contains(marker(1)), Timeout);
        const pid_t pid = s.process()->pid();
        s.terminate();
        QTRY_VERIFY_WITH_TIMEOUT(isGone(pid), Timeout);
        QTest::qWait(50);
        QCOMPARE(exits, 0);
        QCOMPARE(c.detaches, 0);
        QVERIFY(!s.isAlive());
    }

    // A consumer may end the session from inside its own output callback.
    void callbackMayDestroyTheSession()
    {
        ShellHome home;
        auto s = std::make_shared<TerminalSession>(QStringLiteral("sess_1"), QStringLiteral("x"));
        std::weak_ptr<TerminalSession> weak = s;
        s->start(80, 24);
        bool called = false;
        s->attach(
            [&](const QByteArray &) {
                if (called)
                    return;
                called = true;
                s->terminate();
                s.reset();
            },
            {});
        QTRY_VERIFY_WITH_TIMEOUT(called, Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(weak.expired(), Timeout);
    }
};

QTEST_GUILESS_MAIN(TestTerminalSession)
#include "tst_terminalsession.moc"
