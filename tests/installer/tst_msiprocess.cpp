// DlrMSIProcess end to end: a real package installed on the worker thread, progress lines and
// installer boxes arriving on the user-interface thread, and the handler's table of answers.
#include "DlrMSIProcess.h"
#include "EngineRecorder.h"
#include "PackageBuilder.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>

#include <csignal>
#include <sys/resource.h>

using namespace DlrPlatform;
using TessTest::FileSizeLimit;
using TessTest::PackageBuilder;
using TessTest::readFile;

namespace {
struct Run
{
    QList<QByteArray> lines;
    bool linesOnGuiThread = true;
    bool startedInsideStart = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int stateChanges = 0;
    int errors = 0;
};

// Installs a package the way the download page does and waits for the end.
Run runInstaller(const QString &package)
{
    Run run;
    auto *process = new DlrMSIProcess;
    bool started = false;
    bool done = false;
    QObject::connect(process, &DlrMSIProcess::started, [&] { started = true; });
    QObject::connect(process, &DlrMSIProcess::stateChanged, [&] { ++run.stateChanges; });
    QObject::connect(process, &DlrMSIProcess::error, [&] { ++run.errors; });
    QObject::connect(process, &DlrMSIProcess::readyReadStandardOutput, [&] {
        run.linesOnGuiThread = run.linesOnGuiThread && QThread::currentThread() == qApp->thread();
        run.lines.append(process->readAllStandardOutput());
        if (!process->readAllStandardOutput().isEmpty()
            || !process->readAllStandardError().isEmpty())
            run.lines.append("<read twice>");
    });
    QObject::connect(process, &DlrMSIProcess::finished, [&](int code, QProcess::ExitStatus status) {
        run.exitCode = code;
        run.exitStatus = status;
        done = true;
    });
    process->setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    process->start(QDir::toNativeSeparators(package), {}, QIODevice::ReadOnly);
    run.startedInsideStart = started;
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 30000)
        QTest::qWait(5);
    delete process; // as the page does, from the end of the run
    return run;
}
} // namespace

class TestMsiProcess : public TessTest::InstallerTestCase
{
    Q_OBJECT

private:
private slots:
    void initTestCase()
    {
        QString error;
        PackageBuilder v1(QStringLiteral("Orrel Product"));
        v1.addFile(QStringLiteral("Orrel/Product/a.txt"), "one");
        QVERIFY2(v1.build(pkg("v1.msi"), &error), qPrintable(error));
        PackageBuilder v2(QStringLiteral("Orrel Product"));
        v2.addFile(QStringLiteral("Orrel/Product/a.txt"), "two");
        v2.addFile(QStringLiteral("Orrel/Product/bin/tool.exe"), "#!/bin/sh\n");
        v2.addFile(QStringLiteral("Orrel/Product/big.bin"),
                   PackageBuilder::randomBytes(300 * 1024, 9));
        QVERIFY2(v2.build(pkg("v2.msi"), &error), qPrintable(error));
        QFile random(pkg("random.msi"));
        QVERIFY(random.open(QIODevice::WriteOnly));
        random.write(PackageBuilder::randomBytes(4096, 5));
    }

    void init() { newMachine(); }

    void installsOnTheWorkerAndReportsOnTheGuiThread()
    {
        TessTest::BoxAnswerer boxes;
        const Run run = runInstaller(pkg("v2.msi"));
        QVERIFY(run.startedInsideStart);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.stateChanges, 0);
        QCOMPARE(run.errors, 0);
        QCOMPARE(boxes.count(), 0);
        QVERIFY(run.linesOnGuiThread);
        QVERIFY(!run.lines.isEmpty());
        const QRegularExpression line(QStringLiteral("^installer:%[0-9.]+$"));
        for (const QByteArray &l : run.lines)
            QVERIFY2(line.match(QString::fromLatin1(l)).hasMatch(), l.constData());
        QCOMPARE(run.lines.last(), QByteArray("installer:%100"));
        QCOMPARE(readFile(programFiles + "/Orrel/Product/big.bin"),
                 PackageBuilder::randomBytes(300 * 1024, 9));
        QVERIFY(QFileInfo(programFiles + "/Orrel/Product/bin/tool.exe").isExecutable());
    }

    void failingPackageShowsTheInstallersBoxAndEndsNormally()
    {
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("Error"));
        const Run run = runInstaller(pkg("random.msi"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        const TessTest::BoxRecord box = boxes.last();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(box.text.contains("could not be opened"));
        QVERIFY(!QFileInfo::exists(programFiles + "/Orrel"));
    }

    void fullDiskAskedOnTheGuiThreadThenRetried()
    {
        FileSizeLimit limit(64 * 1024);
        // Answered by hand: the disk gets its space back before Retry is pressed.
        TessTest::BoxRecord seen;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !seen.id.isEmpty())
                return;
            seen.id = box->objectName();
            seen.icon = box->icon();
            seen.text = box->text();
            seen.buttons = box->standardButtons();
            seen.defaultButton = box->standardButton(box->defaultButton());
            limit.lift();
            QTimer::singleShot(0, box->button(QMessageBox::Retry), &QAbstractButton::click);
        });
        poll.start();
        const Run run = runInstaller(pkg("v2.msi"));
        QCOMPARE(seen.id, QString("Error"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(seen.defaultButton, QMessageBox::Abort);
        QVERIFY(seen.text.contains("big.bin"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/big.bin"),
                 PackageBuilder::randomBytes(300 * 1024, 9));
    }

    void abortLeavesTheEarlierInstallAndStillEndsNormally()
    {
        QCOMPARE(runInstaller(pkg("v1.msi")).exitCode, 0);
        const auto before = TessTest::snapshot(machine->path());
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Abort, QStringLiteral("Error"));
        FileSizeLimit limit(64 * 1024);
        const Run run = runInstaller(pkg("v2.msi"));
        limit.lift();
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(TessTest::snapshot(machine->path()), before);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("one"));
    }

    void handlerAnswersEachKind()
    {
        DlrMSIWorker worker(QStringLiteral("unused.msi"));
        QSignalSpy output(&worker, &DlrMSIWorker::gotOutput);
        const QList<QPair<unsigned int, int>> silent
                = {{3, 1},  {4, 1},  {5, 0},  {6, 0},  {7, 1},  {8, 1},  {9, 1},
                   {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 0}, {0x40, 0}};
        TessTest::LogCapture log;
        for (const auto &kind : silent) {
            const char *text = kind.first == 10 ? "1: 0 2: 10 3: 0 4: 0 " : "1: 0 2: 1033 3: 1252 ";
            QCOMPARE(DlrMSIWorker::installerUiHandler(&worker, kind.first << 24, text),
                     kind.second);
        }
        QVERIFY(log.contains("Common:  \"1: 0 2: 1033 3: 1252 \""));
        QCOMPARE(DlrMSIWorker::installerUiHandler(&worker, INSTALLMESSAGE_PROGRESS, "1: 2 2: 5 "),
                 1);
        QCOMPARE(output.count(), 1);
        QCOMPARE(output.first().first().toByteArray(), QByteArray("installer:%50"));
        QCOMPARE(*worker.GetBuffer(), QByteArray()); // cleared once handed over

        // The three boxes: caption as id and title, flags mapped to buttons, icon and default,
        // the answer mapped back.
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::No, QStringLiteral("FatalError"));
        boxes.enqueue(QMessageBox::Cancel, QStringLiteral("Error"));
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("Warning"));
        QCOMPARE(DlrMSIWorker::installerUiHandler(&worker,
                                                  INSTALLMESSAGE_FATALEXIT | MB_YESNO
                                                          | MB_ICONQUESTION | MB_DEFBUTTON2,
                                                  "fatal"),
                 int(IDNO));
        QCOMPARE(DlrMSIWorker::installerUiHandler(
                         &worker, INSTALLMESSAGE_ERROR | MB_RETRYCANCEL | MB_ICONWARNING, "error"),
                 int(IDCANCEL));
        QCOMPARE(DlrMSIWorker::installerUiHandler(
                         &worker, INSTALLMESSAGE_WARNING | MB_OKCANCEL | MB_ICONINFORMATION,
                         "warning"),
                 int(IDOK));
        QCOMPARE(boxes.unexpectedCount(), 0);
        const QList<TessTest::BoxRecord> seen = boxes.seen();
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen.at(0).icon, QMessageBox::Question);
        QCOMPARE(seen.at(0).buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(seen.at(0).defaultButton, QMessageBox::No);
        QCOMPARE(seen.at(0).text, QString("fatal"));
        QCOMPARE(seen.at(1).icon, QMessageBox::Warning);
        QCOMPARE(seen.at(1).buttons, QMessageBox::Retry | QMessageBox::Cancel);
        QCOMPARE(seen.at(2).icon, QMessageBox::Information);
        QCOMPARE(seen.at(2).buttons, QMessageBox::Ok | QMessageBox::Cancel);
    }

    void installersOwnBoxWhenNoHandlerTakesIt()
    {
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("Windows Installer"));
        msiSetInternalUI(INSTALLUILEVEL_FULL, nullptr);
        msiSetExternalUIA(nullptr, 0, nullptr);
        QCOMPARE(msiInstallProductA(pkg("missing.msi").toLocal8Bit().constData(), ""),
                 unsigned(ERROR_INSTALL_PACKAGE_OPEN_FAILED));
        QCOMPARE(msiSetInternalUI(INSTALLUILEVEL_NONE, nullptr), int(INSTALLUILEVEL_FULL));
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    }
};

TESS_TEST_MAIN(TestMsiProcess)
#include "tst_msiprocess.moc"
