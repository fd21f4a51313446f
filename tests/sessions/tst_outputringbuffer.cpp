#include "outputringbuffer.h"

#include <QTest>

namespace {
constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 Limit = 10 * MiB;

// Block i is filled with one letter of its own, so a snapshot shows which blocks survived and
// in which order.
QByteArray block(int index, qint64 size)
{
    return QByteArray(static_cast<qsizetype>(size), char('a' + index % 26));
}
} // namespace

class TestOutputRingBuffer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newBufferIsEmpty()
    {
        OutputRingBuffer buffer;
        QCOMPARE(buffer.maxBytes(), Limit);
        QCOMPARE(buffer.totalBytes(), 0);
        QVERIFY(buffer.snapshot().isEmpty());
    }

    void blocksJoinInOrder()
    {
        OutputRingBuffer buffer;
        buffer.append("ab");
        buffer.append("cd");
        QCOMPARE(buffer.snapshot(), QByteArray("abcd"));
        QCOMPARE(buffer.totalBytes(), 4);
    }

    void trimming_data()
    {
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::addColumn<QList<int>>("retained"); // indices of the blocks left, oldest first

        QTest::newRow("exactly the limit is kept") << QList<qint64>{Limit} << QList<int>{0};
        QTest::newRow("6+3+2 MiB drops the oldest only")
            << QList<qint64>{6 * MiB, 3 * MiB, 2 * MiB} << QList<int>{1, 2};
        QTest::newRow("one byte over the limit alone empties")
            << QList<qint64>{Limit + 1} << QList<int>{};
        QTest::newRow("an oversized block drops everything before it")
            << QList<qint64>{MiB, 2 * MiB, Limit + 1} << QList<int>{};
        QTest::newRow("history resumes after an oversized block")
            << QList<qint64>{MiB, 11 * MiB, 3} << QList<int>{2};
        QTest::newRow("empty blocks change nothing")
            << QList<qint64>{0, 5, 0, 7, 0} << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("filling to the byte keeps all")
            << QList<qint64>{5 * MiB, 5 * MiB} << QList<int>{0, 1};
        QTest::newRow("one byte past full drops one block")
            << QList<qint64>{5 * MiB, 5 * MiB, 1} << QList<int>{1, 2};
        QList<qint64> many(3000, 4096);
        QList<int> last;
        for (int i = 3000 - 2560; i < 3000; ++i)
            last.append(i);
        QTest::newRow("steady stream of 4 KiB blocks keeps the newest 10 MiB") << many << last;
    }

    void trimming()
    {
        QFETCH(QList<qint64>, sizes);
        QFETCH(QList<int>, retained);

        OutputRingBuffer buffer;
        qint64 previousTotal = 0;
        for (int i = 0; i < sizes.size(); ++i) {
            buffer.append(block(i, sizes[i]));
            // Invariants after every append.
            QVERIFY(buffer.totalBytes() <= buffer.maxBytes());
            QVERIFY(buffer.totalBytes() <= previousTotal + sizes[i]);
            previousTotal = buffer.totalBytes();
        }

        QByteArray expected;
        for (int i : retained)
            expected += block(i, sizes[i]);
        const QByteArray snapshot = buffer.snapshot();
        QCOMPARE(buffer.totalBytes(), qint64(expected.size()));
        QCOMPARE(snapshot.size(), expected.size());
        QVERIFY(snapshot == expected);
        // A snapshot leaves the buffer as it was.
        QVERIFY(buffer.snapshot() == snapshot);
    }

    void appendDoesNotCopyTheBlock()
    {
        OutputRingBuffer buffer;
        const QByteArray b = block(0, 4096);
        buffer.append(b);
        // Implicit sharing: the stored block is the delivered one, not a copy.
        QVERIFY(!b.isDetached());
    }
};

QTEST_GUILESS_MAIN(TestOutputRingBuffer)
#include "tst_outputringbuffer.moc"
