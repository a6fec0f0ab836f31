// The installer's progress records, read at their fixed places, and the count they drive.
#include "DlrProgressRecord.h"

#include "TestSupport.h"

class TestProgressRecord : public QObject
{
    Q_OBJECT

private slots:
    void forwardPhaseWithScript()
    {
        TessTest::LogCapture log;
        DlrProgressRecord record;
        QVERIFY(record.apply("1: 0 2: 1000 3: 0 4: 1 ").isEmpty());
        QCOMPARE(record.total(), 1000);
        QCOMPARE(record.done(), 0);
        QVERIFY(record.forward());
        QVERIFY(record.script());
        QVERIFY(log.contains("Forward progress. Total set to  1000"));
        QVERIFY(log.contains("script in progress  true"));
        QCOMPARE(record.apply("1: 2 2: 250 "), QByteArray("installer:%25"));
        QCOMPARE(record.apply("1: 2 2: 250 "), QByteArray("installer:%50"));
        QCOMPARE(record.done(), 500);
    }

    void reversePhase()
    {
        TessTest::LogCapture log;
        DlrProgressRecord record;
        record.apply("1: 0 2: 400 3: 1 4: 0 ");
        QVERIFY(!record.forward());
        QVERIFY(!record.script());
        QCOMPARE(record.done(), 400);
        QVERIFY(log.contains("Reverse progress. Total set to  400"));
        QVERIFY(log.contains("script in progress  false"));
        QCOMPARE(record.apply("1: 2 2: 100 "), QByteArray("installer:%75"));
    }

    void actionInformation()
    {
        TessTest::LogCapture log;
        DlrProgressRecord record;
        record.apply("1: 0 2: 1000 3: 0 4: 0 ");
        QVERIFY(record.apply("1: 1 2: 25 3: 0 ").isEmpty());
        QCOMPARE(record.increment(), 0);
        QVERIFY(!log.contains("Progress increment"));
        QVERIFY(record.apply("1: 1 2: 25 3: 1 ").isEmpty());
        QCOMPARE(record.increment(), 25);
        QVERIFY(log.contains("Progress increment set to  25"));
        QCOMPARE(record.done(), 0); // only kept and logged

        record.apply("1: 0 2: 1000 3: 1 4: 0 ");
        record.apply("1: 1 2: 25 3: 1 ");
        QCOMPARE(record.increment(), -25);
    }

    void reportsThatMoveNothing()
    {
        DlrProgressRecord record;
        QVERIFY(record.apply("1: 2 2: 250 ").isEmpty()); // before any reset
        record.apply("1: 0 2: 1000 3: 0 4: 0 ");
        QVERIFY(record.apply("1: 2 2: 0 ").isEmpty());
        QCOMPARE(record.done(), 0);
        QVERIFY(record.apply("1: 3 2: 500 ").isEmpty()); // ticks added to the total: ignored
        QCOMPARE(record.total(), 1000);
        record.apply("1: 0 2: 0 3: 0 4: 0 ");
        QVERIFY(record.apply("1: 2 2: 10 ").isEmpty()); // total 0
    }

    void malformedRecordsAreIgnored_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("wrong first field") << QByteArray("2: 2 2: 250 ");
        QTest::newRow("letter for type") << QByteArray("1: x 2: 250 ");
        QTest::newRow("negative ticks") << QByteArray("1: 2 2: -250 ");
        QTest::newRow("letter for ticks") << QByteArray("1: 2 2: a50 ");
        QTest::newRow("missing field 2") << QByteArray("1: 2 ");
        QTest::newRow("field 2 numbered 3") << QByteArray("1: 2 3: 250 ");
        QTest::newRow("reset missing field 3") << QByteArray("1: 0 2: 900 ");
        QTest::newRow("reset missing field 4") << QByteArray("1: 0 2: 900 3: 0 ");
        QTest::newRow("reset negative field 3") << QByteArray("1: 0 2: 900 3: -1 4: 0 ");
        QTest::newRow("reset letter in field 4") << QByteArray("1: 0 2: 900 3: 0 4: y ");
        QTest::newRow("reset cut after field 3") << QByteArray("1: 0 2: 900 3: 0");
        QTest::newRow("action info cut short") << QByteArray("1: 1 2: 9");
    }

    void malformedRecordsAreIgnored()
    {
        QFETCH(QByteArray, message);
        DlrProgressRecord record;
        record.apply("1: 0 2: 1000 3: 0 4: 1 ");
        record.apply("1: 2 2: 100 ");
        TessTest::LogCapture log;
        QVERIFY(record.apply(message.constData()).isEmpty());
        QCOMPARE(record.total(), 1000);
        QCOMPARE(record.done(), 100);
        QVERIFY(record.script());
        QVERIFY(record.forward());
        QCOMPARE(log.lines().size(), 0); // ignored without a log line
        QVERIFY(record.apply(nullptr).isEmpty());
    }

    void fieldsAreReadWhereTheyStand()
    {
        DlrProgressRecord::Fields f;
        // Multi-digit values move the later fields along.
        QVERIFY(DlrProgressRecord::read("1: 0 2: 123456789 3: 1 4: 1 ", &f));
        QCOMPARE(f.type, 0);
        QCOMPARE(f.field2, 123456789);
        QCOMPARE(f.field3, 1);
        QCOMPARE(f.field4, 1);
        // Types 2 and 3 read no further, whatever follows.
        QVERIFY(DlrProgressRecord::read("1: 2 2: 7 junk", &f));
        QCOMPARE(f.field2, 7);
        // Other types read field 3 only.
        QVERIFY(DlrProgressRecord::read("1: 5 2: 7 3: 9 ", &f));
        QCOMPARE(f.field3, 9);
    }

    void percentageText()
    {
        QCOMPARE(DlrProgressRecord::progressLine(42.5f), QByteArray("installer:%42.5"));
        QCOMPARE(DlrProgressRecord::progressLine(100.0f), QByteArray("installer:%100"));
        QCOMPARE(DlrProgressRecord::progressLine(33.333333f), QByteArray("installer:%33.3"));
        QCOMPARE(DlrProgressRecord::progressLine(0.0f), QByteArray("installer:%0"));
        QCOMPARE(DlrProgressRecord::progressLine(1000.0f), QByteArray("installer:%1e+03"));

        DlrProgressRecord record;
        record.apply("1: 0 2: 3 3: 0 4: 0 ");
        QCOMPARE(record.apply("1: 2 2: 1 "), QByteArray("installer:%33.3"));
        QCOMPARE(record.apply("1: 2 2: 1 "), QByteArray("installer:%66.7"));
        QCOMPARE(record.apply("1: 2 2: 1 "), QByteArray("installer:%100"));
    }
};

TESS_TEST_MAIN(TestProgressRecord)
#include "tst_progressrecord.moc"
