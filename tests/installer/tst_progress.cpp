// The progress records the worker reads and the protocol lines it makes of them, and a
// download's digest and speed line: pure logic, run on Windows too.
#include "DlrPlatform.h"
#include "DlrTransferRate.h"
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

    void transferRate()
    {
        constexpr double KB = 1024, MB = KB * 1024, GB = MB * 1024;
        struct Stretch
        {
            qint64 ms;
            double rate; // bytes per second; negative: the transfer starts over
        };
        struct Row
        {
            std::vector<Stretch> stretches;
            double total;
            const char *text;
        };
        const Row rows[] = {
                {{{3000, 12.4 * MB}}, 10.5 * 12.4 * MB, "12.4 MB/s, about 8 s left"},
                {{{900, MB}}, 10 * MB, ""}, // too early to tell
                {{{4000, 100 * MB}, {6000, 850 * KB}},
                 400 * MB + 125 * 850 * KB,
                 "850 KB/s, about 2 min left"},      // the fast start is out of the window
                {{{2000, 3.2 * KB}}, 0, "3.2 KB/s"}, // no total, no time left
                {{{2000, 0}}, 100, "0.0 KB/s"},
                {{{2000, MB}}, 3902 * MB, "1.0 MB/s, about 1 h 5 min left"},
                {{{2000, 1.5 * GB}}, 32 * 1.5 * GB, "1.5 GB/s, about 30 s left"},
                {{{3000, 10 * MB}, {0, -1}, {1500, 2 * MB}}, 99 * MB, "2.0 MB/s, about 48 s left"}};
        for (const Row &row : rows) {
            DlrTransferRate rate;
            qint64 now = 0;
            double bytes = 0;
            for (const Stretch &s : row.stretches) {
                if (s.rate < 0)
                    bytes = 0;
                for (qint64 step = 50; step <= s.ms; step += 50)
                    rate.addSample(now + step, qint64(bytes + s.rate * step / 1000),
                                   qint64(row.total));
                now += s.ms;
                bytes += qMax(0.0, s.rate) * s.ms / 1000;
            }
            QCOMPARE(rate.text(), QLatin1String(row.text));
        }
    }
};

TESS_TEST_MAIN(TestProgress)
#include "tst_progress.moc"
