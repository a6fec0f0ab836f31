// The installer worker's handler (progress records to protocol lines read back by the page, and
// the installer's boxes), and a download's speed line; on Windows too.
#include "DlrInstallerBox.h"
#include "DlrInstallerOutput.h"
#include "DlrMSIProcess.h"
#include "DlrPlatform.h"
#include "DlrProgressRecord.h"
#include "DlrTransferRate.h"
#include "TestSupport.h"

using namespace DlrPlatform;
using namespace TessTest;

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
                {"1: 0 2: 200 3: 0 4: 0 |1: 2 2: 85 ", "installer:%42.5"},
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
                QVERIFY(made.last().isEmpty() // the page reads the worker's very percentage
                        || DlrInstallerOutput::parse(made.last()).percent
                                   == float(reader.done()) * 100 / float(reader.total()));
            }
            made.removeAll(QByteArray());
            QVERIFY2(made.join(' ') == lines, (records + " gave " + made.join(' ')).constData());
        }
    }

    // The installer's fatal errors, errors and warnings, made up (Wine's installer sends none
    // for a broken package). Without questions each gets the box's default button at once,
    // logged, and no box shows. In the wizard each shows and is answered with its default as
    // Return would: the toolkit's box on Linux, user32's on Windows (Return pressed by boxes.py).
    void installerBoxes()
    {
        const QMetaEnum icon = QMetaEnum::fromType<QMessageBox::Icon>();
        const QMetaEnum button = QMetaEnum::fromType<QMessageBox::StandardButtons>();
        // Message type, text, the answer; the box's icon, buttons and default (which answers).
        const QList<std::tuple<unsigned int, QString, int, QString>> rows = {
                {INSTALLMESSAGE_FATALEXIT | BoxYesNo | BoxIconQuestion | BoxDefaultButton2,
                 "Fatal error during installation.", AnswerNo, "Question Yes|No No"},
                {INSTALLMESSAGE_ERROR | BoxRetryCancel | BoxIconError, "Error 1310. Disk full.",
                 AnswerRetry, "Critical Retry|Cancel Retry"},
                {INSTALLMESSAGE_WARNING | BoxAbortRetryIgnore | BoxIconWarning | BoxDefaultButton3,
                 "Out of disk space.", AnswerIgnore, "Warning Abort|Retry|Ignore Ignore"}};
        for (const bool withoutQuestions : {true, false}) {
            if (withoutQuestions)
                DlrMessageBox::answerAllAutomatically();
            const auto clear = qScopeGuard([] { DlrMessageBox::clearAutomaticAnswers(); });
            LogCapture log;
            BoxAnswerer boxes; // the toolkit's, on Linux
            DlrMSIWorker worker("unused.msi");
            for (const auto &[type, text, expected, looks] : rows) {
                const QString id
                        = QStringList{"FatalError", "Error", "Warning"}.value(int(type >> 24));
                const DlrMessageBox::Spec box = DlrInstallerBox::spec(id, text, type); // as shown
                boxes.enqueue(box.defaultButton, id); // what Return gives
                // On a thread of its own, as on the worker's, while this one serves its events. A
                // box nobody answers holds the row to its limit.
                auto answer = std::make_shared<std::atomic<int>>(-1);
                QThread *thread = QThread::create([answer, &worker, type = type, text = text] {
                    answer->store(DlrMSIWorker::installerUiHandler(&worker, type,
                                                                   text.toLocal8Bit().constData()));
                });
                thread->start();
                QTRY_VERIFY_WITH_TIMEOUT(answer->load() != -1, (withoutQuestions ? 10000 : 90000));
                thread->wait();
                delete thread;
                QCOMPARE(answer->load(), expected);
                QVERIFY(log.contains(QString("Message box \"%1\" : \"%2\"").arg(id, text)));
                QVERIFY(log.contains(QString("Message box \"%1\" answered%2 with \"%3\"")
                                             .arg(id, withoutQuestions ? " automatically" : "",
                                                  looks.section(' ', -1))));
                QCOMPARE(QString("%1 %2 %3")
                                 .arg(icon.valueToKey(box.icon), button.valueToKeys(box.buttons),
                                      button.valueToKey(box.defaultButton)),
                         looks);
            }
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
