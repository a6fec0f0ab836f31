// Progress records to protocol lines, their reading by the page, and a download's speed line:
// pure logic, on Windows too.
#include "DlrInstallerOutput.h"
#include "DlrProgressRecord.h"
#include "DlrTransferRate.h"
#include "TestSupport.h"

#include <cmath>

class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void progressRecords()
    {
        const QByteArray reset = "1: 0 2: 1000 3: 0 4: 1 ", tenth = "1: 2 2: 100 ";
        // Records ('|'-separated), the lines made of them.
        QList<QPair<QByteArray, QByteArray>> rows = {
                {reset + "|1: 2 2: 250 |1: 2 2: 250 ", "installer:%25 installer:%50"},
                {"1: 0 2: 400 3: 1 4: 0 |1: 2 2: 100 ", "installer:%75"}, // reverse
                {"1: 0 2: 3 3: 0 4: 0 |1: 2 2: 1 |1: 2 2: 1 |1: 2 2: 1 ",
                 "installer:%33.333332 installer:%66.666664 installer:%100"},
                // A sliver of a large phase, in fixed notation ("5e-05" would read as 5 %).
                {"1: 0 2: 2000000 3: 0 4: 0 |1: 2 2: 1 ", "installer:%0.00005"},
                // Reports past the announced total (Wine's installer counts every file twice)
                // hold the bar at the end of its phase, forward and reverse alike.
                {"1: 0 2: 100 3: 0 4: 0 |1: 2 2: 80 |1: 2 2: 80 ", "installer:%80 installer:%100"},
                {"1: 0 2: 100 3: 1 4: 0 |1: 2 2: 80 |1: 2 2: 80 ", "installer:%20 installer:%0"},
                {"1: 0 2: 123456789 3: 0 4: 1 |1: 2 2: 12345679 junk", "installer:%10"},
                // Nothing moves: no total yet, zero, other types, a zero total.
                {"1: 2 2: 250 |" + reset + "|1: 2 2: 0 |1: 3 2: 500 |1: 1 2: 25 3: 1 |" + tenth
                         + "|1: 0 2: 0 3: 0 4: 0 |" + tenth,
                 "installer:%10"}};
        // Malformed records are ignored: the count goes on as if they were not there.
        for (const QByteArray &bad :
             QByteArray("|2: 2 2: 250 |1: x 2: 250 |1: 2 2: -250 |1: 2 2: a50 |1: 2 |1: 2 3: 250 "
                        "|1: 0 2: 900 |1: 0 2: 900 3: 0 |1: 0 2: 900 3: -1 4: 0 |1: 0 2: 900 3: 1 "
                        "4: y |1: 0 2: 900 3: 1|1: 0 2: 900 3:  1 4: 0 ")
                     .split('|'))
            rows.append(
                    {reset + '|' + tenth + '|' + bad + '|' + tenth, "installer:%10 installer:%20"});
        for (const auto &[records, lines] : rows) {
            DlrProgressRecord reader; // as the installer's worker reads them
            QList<QByteArray> made;
            for (const QByteArray &record : records.split('|')) {
                made << reader.apply(record.constData());
                // The page reads back the very percentage the worker had.
                QVERIFY(made.last().isEmpty()
                        || DlrInstallerOutput::parse(made.last()).percent
                                   == float(reader.done()) * 100 / float(reader.total()));
            }
            made.removeAll(QByteArray());
            QVERIFY2(made.join(' ') == lines, (records + " gave " + made.join(' ')).constData());
        }
    }

    // The page's reading of one message: the percentage, or the status line it shows.
    void installerOutput()
    {
        // Text, percentage (-1: a status line), the status line shown.
        const QList<std::tuple<QByteArray, float, QString>> rows
                = {{"installer:%42.5", 42.5f, ""},
                   {"Copying installer:%10 installer:%20", 10, ""},
                   {"installer:%1.2.3", 0, ""}, // digits that do not convert
                   {" PHASE: Copying files\r\n", -1, "Copying files"},
                   {"STATUS:installer:done\xC3\xA9", -1, "done"},
                   {QByteArray("ok\0installer:%50", 16), -1, "ok"}};
        for (const auto &[text, percent, status] : rows) {
            const DlrInstallerOutput out = DlrInstallerOutput::parse(text);
            QCOMPARE(out.hasPercent ? out.percent : -1.0f, percent);
            QCOMPARE(out.hasPercent ? QString() : out.status, status);
        }
        // Every percentage the worker can write reads back as itself, however small.
        QRandomGenerator random(2212);
        QList<float> values{0, 100, std::nextafter(100.0f, 0.0f), 1e-45f, 5e-5f, 33.333332f};
        while (values.size() < 20000)
            values << float(random.generateDouble() * std::pow(10.0, random.bounded(-9, 3)));
        for (float value : values) {
            const QByteArray line = DlrProgressRecord::progressLine(value);
            QVERIFY2(DlrInstallerOutput::parse(line).percent == value, line.constData());
        }
    }

    void transferRate()
    {
        constexpr double KB = 1024, MB = KB * 1024, GB = MB * 1024;
        // Stretches of {milliseconds, bytes per second; negative: the transfer starts over},
        // the total size, the text.
        const QList<std::tuple<QList<QPair<qint64, double>>, double, QString>> rows = {
                {{{3000, 12.4 * MB}}, 10.5 * 12.4 * MB, "12.4 MB/s, about 8 s left"},
                {{{900, MB}}, 10 * MB, ""}, // too early to tell
                {{{4000, 100 * MB}, {6000, 850 * KB}},
                 400 * MB + 125 * 850 * KB,
                 "850 KB/s, about 2 min left"},      // the fast start is out of the window
                {{{2000, 3.2 * KB}}, 0, "3.2 KB/s"}, // no total, no time left
                {{{2000, MB}}, 3902 * MB, "1.0 MB/s, about 1 h 5 min left"},
                {{{2000, 1.5 * GB}}, 32 * 1.5 * GB, "1.5 GB/s, about 30 s left"},
                {{{3000, 10 * MB}, {0, -1}, {1500, 2 * MB}}, 99 * MB, "2.0 MB/s, about 48 s left"}};
        for (const auto &[stretches, total, text] : rows) {
            DlrTransferRate rate;
            qint64 now = 0;
            double bytes = 0;
            for (const auto &[ms, speed] : stretches) {
                if (speed < 0)
                    bytes = 0;
                for (qint64 step = 50; step <= ms; step += 50)
                    rate.addSample(now + step, qint64(bytes + speed * step / 1000), qint64(total));
                now += ms;
                bytes += qMax(0.0, speed) * ms / 1000;
            }
            QCOMPARE(rate.text(), text);
        }
    }
};

TESS_TEST_MAIN(TestProgress)
#include "tst_progress.moc"
