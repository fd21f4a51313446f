#include "processprobe.h"
#include "sessionstore.h"
#include "shellhome.h"

#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

namespace {
constexpr int Timeout = 15000;

struct Consumer
{
    QByteArray output;
    QList<QByteArray> replays;
    int detaches = 0;
    TerminalSession::OutputCallback onOutput()
    {
        return [this](const QByteArray &b) { output += b; };
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

std::shared_ptr<TerminalSession>
addSession(SessionStore &store, const QDateTime &created = QDateTime::currentDateTimeUtc())
{
    auto s = std::make_shared<TerminalSession>(store.makeSessionId(),
                                               SessionStore::makeSessionName(), created);
    store.addSession(s);
    return s;
}

QJsonObject recordOf(const QJsonArray &list, const QString &id)
{
    for (const QJsonValue &v : list) {
        if (v[QStringLiteral("id")].toString() == id)
            return v.toObject();
    }
    return {};
}
} // namespace

class TestSessionStore : public QObject
{
    Q_OBJECT

    ShellHome m_home; // every shell of these tests starts here

private Q_SLOTS:
    void newStoreIsEmpty()
    {
        SessionStore store;
        QVERIFY(store.listSessions().isEmpty());
        QVERIFY(!store.attachedSessionId());
        QVERIFY(store.sortedSessions().isEmpty());
    }

    void sessionIds()
    {
        SessionStore store;
        const QRegularExpression form(QStringLiteral("^sess_[0-9a-f]{8}$"));
        QSet<QString> seen;
        for (int i = 0; i < 2000; ++i) {
            const QString id = store.makeSessionId();
            QVERIFY2(form.match(id).hasMatch(), qPrintable(id));
            seen.insert(id);
        }
        QCOMPARE(seen.size(), 2000); // made within the same microsecond, still distinct
    }

    void sessionNames()
    {
        const QRegularExpression form(QStringLiteral(
            "^(swift|bold|calm|bright|dark|keen|warm|cool|wild|soft|sharp|fair|quick|noble|vivid|"
            "crisp|fierce|gentle|silent|brave)-(fox|oak|river|pine|hawk|stone|wolf|flame|brook|"
            "cloud|sage|reef|thorn|dusk|peak|glade|frost|wren|moss|vale)$"));
        QSet<QString> seen;
        for (int i = 0; i < 400; ++i) {
            const QString name = SessionStore::makeSessionName();
            QVERIFY2(form.match(name).hasMatch(), qPrintable(name));
            seen.insert(name);
        }
        QVERIFY(seen.size() > 100); // random, not a fixed pick
    }

    void everyAssignmentNotifies()
    {
        SessionStore store;
        QSignalSpy changed(&store, &SessionStore::sessionsChanged);
        addSession(store);
        QCOMPARE(changed.size(), 1);
        store.listSessions(); // nothing dropped, still an assignment
        QCOMPARE(changed.size(), 2);
        store.terminateAll();
        QCOMPARE(changed.size(), 3);
    }

    void unstartedSessionIsListedAlive()
    {
        SessionStore store;
        const auto s = addSession(store);
        const QJsonArray list = store.listSessions();
        QCOMPARE(list.size(), 1);
        const QJsonObject record = recordOf(list, s->id());
        QCOMPARE(record[QStringLiteral("isAlive")], QJsonValue(true));
        QCOMPARE(record[QStringLiteral("isStarted")], QJsonValue(false));
        QCOMPARE(record[QStringLiteral("status")].toString(), QStringLiteral("detached"));
        QVERIFY(store.sessions().contains(s->id()));
    }

    void attachingAnotherDetachesThePrevious()
    {
        SessionStore store;
        const auto a = addSession(store);
        const auto b = addSession(store);
        Consumer ca, cb;
        QCOMPARE(store.attachSession(a->id(), 80, 24, ca.onOutput(), ca.onDetach()), a);
        QCOMPARE(store.attachedSessionId(), a->id());
        QVERIFY(a->isStarted() && a->isAlive());
        QCOMPARE(recordOf(store.listSessions(), a->id())[QStringLiteral("status")].toString(),
                 QStringLiteral("attached"));

        QCOMPARE(store.attachSession(b->id(), 100, 30, cb.onOutput(), cb.onDetach()), b);
        QCOMPARE(ca.detaches, 1);
        QVERIFY(!a->isAttached());
        QVERIFY(a->isAlive()); // detached, still running
        QCOMPARE(store.attachedSessionId(), b->id());
        QCOMPARE(b->cols(), 100);

        // A's output now only fills its history.
        const qsizetype seen = ca.output.size();
        a->sendInput("echo A$((1+1))\n");
        QTRY_VERIFY_WITH_TIMEOUT(a->outputBuffer().snapshot().contains("A2"), Timeout);
        QCOMPARE(ca.output.size(), seen);
        store.terminateAll();
    }

    void reattachReplaysTheWholeHistory()
    {
        SessionStore store;
        const auto s = addSession(store);
        Consumer first;
        store.attachSession(s->id(), 80, 24, first.onOutput(), first.onDetach());
        s->sendInput("echo X$((2+3))\n");
        QTRY_VERIFY_WITH_TIMEOUT(first.output.contains("X5"), Timeout);

        Consumer second;
        QCOMPARE(store.attachSession(s->id(), 90, 25, second.onOutput(), second.onDetach(),
                                     second.replay()),
                 s);
        QCOMPARE(first.detaches, 1);
        QCOMPARE(second.detaches, 0);
        QCOMPARE(second.replays.size(), 1);
        QCOMPARE(second.replays.first(), first.output);
        QCOMPARE(s->cols(), 90); // started already: resized
        store.terminateAll();
    }

    void attachUnknownOrDead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("unknown id") << QStringLiteral("unknown");
        QTest::newRow("terminated, still stored") << QStringLiteral("terminated");
        QTest::newRow("shell exited") << QStringLiteral("exited");
    }
    void attachUnknownOrDead()
    {
        QFETCH(QString, kind);
        SessionStore store;
        const auto previous = addSession(store);
        const auto target = addSession(store);
        if (kind == QLatin1String("terminated")) {
            target->terminate();
        } else if (kind == QLatin1String("exited")) {
            int exits = 0;
            target->setOnExit([&] { ++exits; });
            target->start(80, 24);
            target->sendInput("exit\n");
            QTRY_COMPARE_WITH_TIMEOUT(exits, 1, Timeout);
        }
        Consumer cp, ct;
        store.attachSession(previous->id(), 80, 24, cp.onOutput(), cp.onDetach());
        const QString id =
            kind == QLatin1String("unknown") ? QStringLiteral("sess_ffffffff") : target->id();
        QVERIFY(!store.attachSession(id, 80, 24, ct.onOutput(), ct.onDetach()));
        QCOMPARE(cp.detaches, 1); // the previous one was detached first
        QVERIFY(!store.attachedSessionId());
        QVERIFY(!target->isAttached());
        store.terminateAll();
    }

    void exitedSessionStaysUntilListed()
    {
        SessionStore store;
        const auto s = addSession(store);
        const auto other = addSession(store);
        int exits = 0;
        s->setOnExit([&] { ++exits; });
        Consumer c;
        store.attachSession(s->id(), 80, 24, c.onOutput(), c.onDetach());
        const pid_t pid = s->process()->pid();
        s->sendInput("exit\n");
        QTRY_COMPARE_WITH_TIMEOUT(exits, 1, Timeout);
        QVERIFY(store.sessions().contains(s->id()));
        QCOMPARE(store.attachedSessionId(), s->id());

        const QJsonArray list = store.listSessions();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first()[QStringLiteral("id")].toString(), other->id());
        QVERIFY(!store.sessions().contains(s->id()));
        QVERIFY(!store.attachedSessionId());
        QVERIFY(ProcessProbe::isGone(pid));
        QCOMPARE(c.detaches, 0);
    }

    void terminateSession()
    {
        SessionStore store;
        QVERIFY(!store.terminateSession(QStringLiteral("sess_00000000")));
        const auto s = addSession(store);
        Consumer c;
        store.attachSession(s->id(), 80, 24, c.onOutput(), c.onDetach());
        const pid_t pid = s->process()->pid();
        QVERIFY(store.terminateSession(s->id()));
        QVERIFY(!store.attachedSessionId());
        QCOMPARE(c.detaches, 0);
        QVERIFY(!store.sessions().contains(s->id()));
        QTRY_VERIFY_WITH_TIMEOUT(ProcessProbe::isGone(pid), Timeout);
        QVERIFY(!store.terminateSession(s->id()));
    }

    void detachAttached()
    {
        SessionStore store;
        store.detachAttached(); // nothing attached: nothing happens
        const auto s = addSession(store);
        Consumer c;
        store.attachSession(s->id(), 80, 24, c.onOutput(), c.onDetach());
        store.detachAttached();
        QCOMPARE(c.detaches, 1);
        QVERIFY(!store.attachedSessionId());
        QVERIFY(s->isAlive());

        // The attached session vanished from the map behind the store's back: only the id goes.
        Consumer again;
        store.attachSession(s->id(), 80, 24, again.onOutput(), again.onDetach());
        store.setSessions({});
        store.detachAttached();
        QVERIFY(!store.attachedSessionId());
        QCOMPARE(again.detaches, 0);
        s->terminate();
    }

    void sortedByCreation()
    {
        SessionStore store;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto newest = addSession(store, now);
        const auto oldest = addSession(store, now.addSecs(-600));
        const auto middle = addSession(store, now.addSecs(-60));
        QCOMPARE(store.sortedSessions(),
                 (QList<std::shared_ptr<TerminalSession>>{oldest, middle, newest}));
    }

    void terminateAllStopsEveryShell()
    {
        SessionStore store;
        QList<pid_t> pids;
        Consumer c;
        for (int i = 0; i < 3; ++i) {
            const auto s = addSession(store);
            store.attachSession(s->id(), 80, 24, c.onOutput(), c.onDetach());
            pids.append(s->process()->pid());
        }
        QCOMPARE(c.detaches, 2);
        store.terminateAll();
        QCOMPARE(c.detaches, 2);
        QVERIFY(store.sessions().isEmpty());
        QVERIFY(!store.attachedSessionId());
        for (pid_t pid : pids)
            QTRY_VERIFY_WITH_TIMEOUT(ProcessProbe::isGone(pid), Timeout);
    }
};

QTEST_GUILESS_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
