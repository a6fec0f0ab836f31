// The progress records the worker reads and the protocol lines it makes of them, and the
// digest a download is checked with: pure logic, run on Windows too.
#include "DlrPlatform.h"
#include "TestSupport.h"

class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void progressRecords_data()
    {
        QTest::addColumn<QList<QByteArray>>("records");
        QTest::addColumn<QByteArray>("lines");
        const QByteArray reset = "1: 0 2: 1000 3: 0 4: 1 ", tenth = "1: 2 2: 100 ";
        QTest::newRow("forward") << QList<QByteArray>{reset, "1: 2 2: 250 ", "1: 2 2: 250 "}
                                 << QByteArray("installer:%25 installer:%50");
        QTest::newRow("reverse") << QList<QByteArray>{"1: 0 2: 400 3: 1 4: 0 ", "1: 2 2: 100 "}
                                 << QByteArray("installer:%75");
        QTest::newRow("thirds") << QList<QByteArray>{"1: 0 2: 3 3: 0 4: 0 ", "1: 2 2: 1 ",
                                                     "1: 2 2: 1 ", "1: 2 2: 1 "}
                                << QByteArray("installer:%33.3 installer:%66.7 installer:%100");
        // Reports past the announced total (Wine's installer counts every file twice) hold
        // the bar at the end of its phase, forward and reverse alike.
        QTest::newRow("past the total")
                << QList<QByteArray>{"1: 0 2: 100 3: 0 4: 0 ", "1: 2 2: 80 ", "1: 2 2: 80 "}
                << QByteArray("installer:%80 installer:%100");
        QTest::newRow("reverse past zero")
                << QList<QByteArray>{"1: 0 2: 100 3: 1 4: 0 ", "1: 2 2: 80 ", "1: 2 2: 80 "}
                << QByteArray("installer:%20 installer:%0");
        QTest::newRow("multi-digit fields")
                << QList<QByteArray>{"1: 0 2: 123456789 3: 0 4: 1 ", "1: 2 2: 12345679 junk"}
                << QByteArray("installer:%10");
        QTest::newRow("nothing moves") << QList<QByteArray>{"1: 2 2: 250 ",         reset,
                                                            "1: 2 2: 0 ",           "1: 3 2: 500 ",
                                                            "1: 1 2: 25 3: 1 ",     tenth,
                                                            "1: 0 2: 0 3: 0 4: 0 ", tenth}
                                       << QByteArray("installer:%10");
        // Malformed records are ignored: the count goes on as if they were not there.
        const QList<QByteArray> malformed
                = QByteArray("|2: 2 2: 250 |1: x 2: 250 |1: 2 2: -250 |1: 2 2: a50 |1: 2 "
                             "|1: 2 3: 250 |1: 0 2: 900 |1: 0 2: 900 3: 0 |1: 0 2: 900 3: -1 4: 0 "
                             "|1: 0 2: 900 3: 1 4: y |1: 0 2: 900 3: 1|1: 0 2: 900 3:  1 4: 0 ")
                          .split('|');
        for (const QByteArray &bad : malformed)
            QTest::addRow("malformed '%s'", bad.constData())
                    << QList<QByteArray>{reset, tenth, bad, tenth}
                    << QByteArray("installer:%10 installer:%20");
    }

    void progressRecords()
    {
        QFETCH(QList<QByteArray>, records);
        QFETCH(QByteArray, lines);
        QCOMPARE(TessTest::progressLines(records), lines);
    }

    void sha256_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<QByteArray>("digest");
        QTest::newRow("empty") << QByteArray() << 1
                               << QByteArray("e3b0c44298fc1c149afbf4c8996fb924"
                                             "27ae41e4649b934ca495991b7852b855");
        QTest::newRow("abc") << QByteArray("abc") << 2
                             << QByteArray("ba7816bf8f01cfea414140de5dae2223"
                                           "b00361a396177a9cb410ff61f20015ad");
        QTest::newRow("million a") << QByteArray(1000000, 'a') << 4093
                                   << QByteArray("cdc76e5c9914fb9281a1c7e284d73e67"
                                                 "f1809a48a497200e046d39ccc7112cd0");
    }

    void sha256()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, chunk);
        QFETCH(QByteArray, digest);
        DlrPlatform::Sha256 sha;
        // Reading the digest half way must not end it.
        for (int at = 0; at < input.size(); at += chunk) {
            sha.addData(input.constData() + at, qMin(chunk, input.size() - at));
            if (at == chunk)
                sha.hexResult();
        }
        QCOMPARE(sha.hexResult(), digest);
    }
};

TESS_TEST_MAIN(TestProgress)
#include "tst_progress.moc"
