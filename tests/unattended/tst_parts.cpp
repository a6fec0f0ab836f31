// The pure parts of the run without questions: the proposal adjusted by -select and -deselect,
// the progress lines with their once-a-second rule, and the rate cap.
#include "DlrOptions.h"
#include "DlrRateLimit.h"
#include "DlrUnattendedPlan.h"
#include "DlrUnattendedProgress.h"
#include "Offers.h"
#include "TestSupport.h"

#include <QtTest>

using TessTest::Offer;

class TestParts : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void progress();
    void rateLimit_data();
    void rateLimit();
};

void TestParts::plan_data()
{
    QTest::addColumn<QStringList>("select");
    QTest::addColumn<QStringList>("deselect");
    QTest::addColumn<QList<int>>("queue");
    QTest::addColumn<int>("warnings");
    // Manifest indices 0..4: Workserver and Maya bridge proposed; Katana bridge and queue
    // manager behind "Show All"; index 4 not listed at all.
    QTest::newRow("proposal") << QStringList() << QStringList() << QList<int>{1, 0} << 0;
    QTest::newRow("hidden row by label")
            << QStringList{"Katana"} << QStringList() << QList<int>{1, 0, 3} << 0;
    QTest::newRow("hidden row by name")
            << QStringList{"^HarrowQueue"} << QStringList() << QList<int>{1, 0, 2} << 0;
    QTest::newRow("deselect") << QStringList() << QStringList{"for Maya"} << QList<int>{1} << 0;
    QTest::newRow("deselect wins")
            << QStringList{"Katana"} << QStringList{"Kat"} << QList<int>{1, 0} << 0;
    QTest::newRow("unlisted offer not selectable")
            << QStringList{"Nuke"} << QStringList{"Houdini"} << QList<int>{1, 0} << 2;
}

void TestParts::plan()
{
    QFETCH(QStringList, select);
    QFETCH(QStringList, deselect);
    QFETCH(QList<int>, queue);
    QFETCH(int, warnings);
    const QList<DlrManifestElement> manifest{
            Offer("TessalineForMaya-25.1_7-win64.msi").label("Tessaline for Maya 25.1").size(10),
            Offer("TessalineWorkserver-25.1_7-win64.msi")
                    .label("Tessaline Workserver 25.1")
                    .size(20),
            Offer("HarrowQueueManager-25.1_7-win64.msi").label("Harrow 25.1").size(40),
            Offer("TessalineForKatana-25.1_7-win64.msi").label("Tessaline for Katana").size(80),
            Offer("TessalineForNuke-25.1_7-win64.msi").label("Tessaline for Nuke").size(160)};
    const DlrUnattendedPlan plan(manifest, {1, 0}, {}, {3, 2}, select, deselect);
    QCOMPARE(plan.queue(), queue);
    QCOMPARE(plan.warnings().size(), warnings);
    qint64 needed = 0;
    for (const int i : queue)
        needed += 2 * manifest.at(i).fileSize;
    QCOMPARE(plan.neededSpace(), needed);
    // -list: a line per row, hidden ones marked.
    const QString list = plan.listText();
    QCOMPARE(list.count(QLatin1Char('\n')), 4);
    QCOMPARE(list.count(QStringLiteral("[x] ")), queue.size());
    QCOMPARE(plan.listText().count(QStringLiteral("behind \"Show All\"")), 2);
}

void TestParts::progress()
{
    qint64 now = 0;
    DlrUnattendedProgress lines(2, [&now] { return now; });
    const qint64 MB = 1024 * 1024;
    struct Step
    {
        qint64 at;
        std::function<QString()> event;
        QString expected; // empty: nothing printed
    };
    const Step steps[] = {
            {0, [&] { return lines.downloadStarts(0, "WS"); }, "[  0%] Downloading WS"},
            {999, [&] { return lines.downloadProgress(0, "WS", 0, 100 * MB); }, ""},
            {1000, [&] { return lines.downloadProgress(0, "WS", 50 * MB, 100 * MB); },
             "[ 12%] Downloading WS  50 MB/100 MB  50 MB/s"},
            {3000, [&] { return lines.downloadProgress(0, "WS", 1300 * MB, 1300 * MB); },
             "[ 25%] Downloading WS  1.3 GB/1.3 GB  625 MB/s"},
            {3001, [&] { return lines.installStarts(0, "WS"); }, "[ 25%] Installing WS"},
            {3500, [&] { return lines.installProgress(0, "WS", 40.f); }, ""},
            {4001, [&] { return lines.installProgress(0, "WS", 40.f); },
             "[ 35%] Installing WS  40%"},
            {4002, [&] { return lines.step(1, DlrUnattendedProgress::Stage::Done, "Installed H"); },
             "[100%] Installed H"},
            // Resumed: the speed counts what moved since its first report, not the bytes on disk.
            {5000, [&] { return lines.downloadStarts(1, "H"); }, "[ 50%] Downloading H"},
            {5001, [&] { return lines.downloadProgress(1, "H", 600 * MB, 1300 * MB); }, ""},
            {6000, [&] { return lines.downloadProgress(1, "H", 700 * MB, 1300 * MB); },
             "[ 63%] Downloading H  700 MB/1.3 GB  100 MB/s"},
    };
    for (const Step &s : steps) {
        now = s.at;
        QCOMPARE(s.event(), s.expected);
    }
    QCOMPARE(DlrUnattendedProgress::bytesText(512), QStringLiteral("512 B"));
}

void TestParts::rateLimit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("rate"); // -1: refused before the run
    const QList<QPair<QString, qint64>> rows{
            {"20M", 20000000}, {"500k", 500000}, {"1.5G", 1500000000}, {"4096", 4096}, {"20X", -1},
            {"0", -1},         {"M", -1},        {"-5M", -1},          {"20 M", -1},   {"", -1}};
    for (const auto &row : rows)
        QTest::newRow(qPrintable(row.first.isEmpty() ? "empty" : row.first))
                << row.first << row.second;
}

void TestParts::rateLimit()
{
    QFETCH(QString, text);
    QFETCH(qint64, rate);
    QCOMPARE(DlrOptions::parseRate(text), rate);
    if (rate <= 0)
        return;
    // A reader that takes all it may every 7 ms holds the rate; one that pauses a second
    // between takes gets the bucket's twentieth of a second each time, no saved-up burst.
    const qint64 bucket = qMax<qint64>(16 * 1024, rate / 20);
    for (const qint64 stepMs : {7, 1000}) {
        DlrRateLimit cap(rate);
        qint64 taken = 0;
        for (qint64 now = 0; now <= 10000; now += stepMs)
            taken += cap.take(rate, now);
        const bool held = stepMs == 7 ? taken >= rate * 95 / 10 && taken <= rate * 10 + bucket
                                      : taken <= 11 * bucket;
        QVERIFY2(held, qPrintable(QStringLiteral("%1 bytes every %2 ms").arg(taken).arg(stepMs)));
    }
}

TESS_TEST_MAIN(TestParts)
#include "tst_parts.moc"
