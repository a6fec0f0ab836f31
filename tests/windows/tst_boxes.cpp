// The installer's fatal errors, errors and warnings on Windows, through the worker's handler with
// made-up records (Wine's installer sends none for a broken package). Without questions each is
// answered at once with the box's default button and logged, and no box shows; in the wizard each
// shows as user32's box, is answered from outside (boxes.py presses Return, as a person would) and
// is logged with its text and answer.
#include "DlrMSIProcess.h"
#include "DlrMessageBox.h"
#include "DlrPlatform.h"
#include "TestSupport.h"

#include <atomic>

using namespace DlrPlatform;

class TestBoxes : public QObject
{
    Q_OBJECT

private slots:
    void installerBoxes_data()
    {
        QTest::addColumn<bool>("withoutQuestions");
        QTest::newRow("without questions") << true;
        QTest::newRow("wizard") << false;
    }

    void installerBoxes()
    {
        QFETCH(bool, withoutQuestions);
        if (withoutQuestions)
            DlrMessageBox::answerAllAutomatically();
        const auto clear = qScopeGuard([] { DlrMessageBox::clearAutomaticAnswers(); });
        TessTest::LogCapture log;
        DlrMSIWorker worker("unused.msi");
        // Message type, text; the default button, which answers (Return in the wizard).
        const QList<std::tuple<unsigned int, QString, int, QString>> rows = {
                {INSTALLMESSAGE_FATALEXIT | BoxYesNo | BoxIconQuestion | BoxDefaultButton2,
                 "Fatal error during installation.", AnswerNo, "No"},
                {INSTALLMESSAGE_ERROR | BoxRetryCancel | BoxIconError,
                 "Error 1310. Error writing to file: data.bin.", AnswerRetry, "Retry"},
                {INSTALLMESSAGE_WARNING | BoxAbortRetryIgnore | BoxIconWarning | BoxDefaultButton3,
                 "Out of disk space.", AnswerIgnore, "Ignore"}};
        for (const auto &[type, text, expected, button] : rows) {
            // On a thread of its own, as on the worker's; the user-interface thread goes on
            // serving its events meanwhile. A box nobody answers holds the row to its limit.
            auto answer = std::make_shared<std::atomic<int>>(-1);
            QThread *thread = QThread::create([answer, &worker, type = type, text = text] {
                answer->store(DlrMSIWorker::installerUiHandler(&worker, type,
                                                               text.toLocal8Bit().constData()));
            });
            thread->start();
            QTRY_VERIFY_WITH_TIMEOUT(answer->load() != -1, withoutQuestions ? 10000 : 90000);
            thread->wait();
            delete thread;
            QCOMPARE(answer->load(), expected);
            const QString id = QStringList{"FatalError", "Error", "Warning"}.value(int(type >> 24));
            QVERIFY(log.contains(QString("Message box \"%1\" : \"%2\"").arg(id, text)));
            QVERIFY2(log.contains(
                             QString("Message box \"%1\" answered%2 with \"%3\"")
                                     .arg(id, withoutQuestions ? " automatically" : "", button)),
                     qPrintable(log.lines().join('\n')));
        }
    }
};

TESS_TEST_MAIN(TestBoxes)
#include "tst_boxes.moc"
