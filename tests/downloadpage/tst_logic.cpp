// The download page's pure pieces: the one progress bar over the whole queue, and the reading
// of installer output messages.
#include "DlrInstallerOutput.h"
#include "DlrQueueProgress.h"

#include <QtTest>

using namespace DlrQueueProgress;

class TestDownloadPageLogic : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stepsFallShortOfTheMaximum()
    {
        QCOMPARE(step(1), 1000);
        QCOMPARE(step(3), 333);
        QCOMPARE(step(7), 142);
        QCOMPARE(doneValue(2, step(3)), 999);
        QCOMPARE(doneValue(6, step(7)), 994);
        QCOMPARE(step(0), 0);
    }

    void threeProductsThroughEveryMoment()
    {
        const int s = step(3);
        QCOMPARE(requestValue(1, s), 333);
        QCOMPARE(downloadValue(1, s, 50, 100), 333 + 83); // half of step/2 = 166 / 2
        QCOMPARE(installStartValue(1, s), 333 + 166);
        QCOMPARE(installValue(1, s, 50.0f), 333 + 166 + 83);
        QCOMPARE(installValue(1, s, 100.0f), 665); // the install half ends one short of 666
        QCOMPARE(doneValue(1, s), 666);
    }

    void singlePrecisionTruncatesTowardZero()
    {
        // 1/3 of a 500-unit half: 166.66 becomes 166, never rounded up.
        QCOMPARE(downloadValue(0, 1000, 1, 3), 166);
        QCOMPARE(downloadValue(0, 1000, 2, 3), 333);
        // In single precision 16777217 is not representable: the fraction is exactly 1.
        QCOMPARE(downloadValue(0, 1000, 16777216, 16777217), 500);
        QCOMPARE(installValue(0, 500, 33.3f), 250 + 83); // 83.25 truncated
    }

    void productOneOfTwoAtHalfway()
    {
        // Product 1 of 2 at 50 percent: 500 + 250 + 0.5 * 250.
        QCOMPARE(installValue(1, step(2), 50.0f), 875);
    }

    void unknownTotalsAndOddValuesStayInsideTheSpan()
    {
        const int s = step(4);
        QCOMPARE(downloadValue(2, s, 12345, 0), 500);
        QCOMPARE(downloadValue(2, s, 12345, -1), 500);
        QCOMPARE(downloadValue(2, s, 300, 100), 500 + 125); // more than announced
        QCOMPARE(installValue(2, s, 250.0f), 750);          // a confused installer
        QCOMPARE(installValue(2, s, -5.0f), 625);
        QCOMPARE(installValue(2, s, std::numeric_limits<float>::quiet_NaN()), 625);
    }

    void progressMessages()
    {
        DlrInstallerOutput out = DlrInstallerOutput::parse("installer:%42.5\n");
        QVERIFY(out.hasPercent);
        QCOMPARE(out.percent, 42.5f);
        QCOMPARE(out.text, QStringLiteral("installer:%42.5"));

        out = DlrInstallerOutput::parse("STATUS: copying installer:%10 files");
        QVERIFY(out.hasPercent);
        QCOMPARE(out.percent, 10.0f);

        out = DlrInstallerOutput::parse("installer:%1.2.3");
        QVERIFY(out.hasPercent);
        QCOMPARE(out.percent, 0.0f); // digits that do not convert count as 0

        out = DlrInstallerOutput::parse("installer:% 50"); // a blank breaks the marker
        QVERIFY(!out.hasPercent);
    }

    void statusLines()
    {
        DlrInstallerOutput out = DlrInstallerOutput::parse("PHASE:Copying files");
        QVERIFY(!out.hasPercent);
        QCOMPARE(out.status, QStringLiteral("Copying files"));

        out = DlrInstallerOutput::parse("STATUS:installer:Registering");
        QCOMPARE(out.status, QStringLiteral("Registering"));

        // Bytes of 0x80 and above go, blanks and line ends around the text go, a NUL ends it.
        out = DlrInstallerOutput::parse(QByteArray("  caf\xc3\xa9 ok\r\n", 11));
        QCOMPARE(out.text, QStringLiteral("caf ok"));
        out = DlrInstallerOutput::parse(QByteArray("first\0second", 12));
        QCOMPARE(out.text, QStringLiteral("first"));
        out = DlrInstallerOutput::parse(QByteArray());
        QVERIFY(out.text.isEmpty() && !out.hasPercent);
    }
};

QTEST_APPLESS_MAIN(TestDownloadPageLogic)
#include "tst_logic.moc"
