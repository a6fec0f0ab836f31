// DlrMSIProcess end to end: real packages installed on the worker thread, progress lines and
// installer boxes arriving on the user-interface thread, the settings the engine receives, the
// handler's answers, and an orderly end when the object goes while a package installs.
#include "DlrMSIProcess.h"
#include "EngineRecorder.h"
#include "PackageBuilder.h"
#include "TestSupport.h"
#include "linux/MsiEngine.h"

#include <QRegularExpression>
#include <QSignalSpy>

using namespace DlrPlatform;
using namespace TessTest;

namespace {
struct Run
{
    QList<QByteArray> lines;
    bool linesOnGuiThread = true;
    bool startedInsideStart = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
};

// Installs a package the way the download page does and waits for the end.
Run runInstaller(const QString &package)
{
    Run run;
    auto *process = new DlrMSIProcess;
    bool started = false, done = false;
    QObject::connect(process, &DlrMSIProcess::started, [&] { started = true; });
    QObject::connect(process, &DlrMSIProcess::readyReadStandardOutput, [&] {
        run.linesOnGuiThread = run.linesOnGuiThread && QThread::currentThread() == qApp->thread();
        run.lines.append(process->readAllStandardOutput());
    });
    QObject::connect(process, &DlrMSIProcess::finished, [&](int code, QProcess::ExitStatus status) {
        run.exitCode = code;
        run.exitStatus = status;
        done = true;
    });
    process->start(QDir::toNativeSeparators(package), {}, QIODevice::ReadOnly);
    run.startedInsideStart = started;
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 60000)
        QTest::qWait(5);
    delete process; // as the page does, from the end of the run
    return run;
}
} // namespace

class TestMsiProcess : public QObject
{
    Q_OBJECT

    QTemporaryDir packages;
    QScopedPointer<QTemporaryDir> machine;
    QString programFiles;
    QString pkg(const QString &name) const { return packages.filePath(name); }

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
                   PackageBuilder::randomBytes(300 << 10, 9));
        QVERIFY2(v2.build(pkg("v2.msi"), &error), qPrintable(error));
        // Large enough to be still installing when its object goes.
        PackageBuilder big(QStringLiteral("Orrel Big"));
        big.addFile(QStringLiteral("Orrel/Product/a.txt"), "big");
        big.addFile(QStringLiteral("Orrel/Big/data.bin"), PackageBuilder::randomBytes(48 << 20, 4));
        QVERIFY2(big.build(pkg("big.msi"), &error), qPrintable(error));
        QFile random(pkg("random.msi"));
        QVERIFY(random.open(QIODevice::WriteOnly));
        random.write(PackageBuilder::randomBytes(4096, 5));
    }

    void init() { programFiles = newMachine(machine); }

    void installsOnTheWorkerAndReportsOnTheGuiThread()
    {
        BoxAnswerer boxes;
        const Run run = runInstaller(pkg("v2.msi"));
        QVERIFY(run.startedInsideStart);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(boxes.count(), 0);
        QVERIFY(run.linesOnGuiThread);
        QVERIFY(!run.lines.isEmpty());
        const QRegularExpression line(QStringLiteral("^installer:%[0-9.]+$"));
        for (const QByteArray &l : run.lines)
            QVERIFY2(line.match(QString::fromLatin1(l)).hasMatch(), l.constData());
        QCOMPARE(run.lines.last(), QByteArray("installer:%100"));
        QCOMPARE(readFile(programFiles + "/Orrel/Product/big.bin"),
                 PackageBuilder::randomBytes(300 << 10, 9));
        QVERIFY(QFileInfo(programFiles + "/Orrel/Product/bin/tool.exe").isExecutable());
    }

    // What the installer hands the engine: its command line, interface level and filter.
    void engineReceivesTheInstallersSettings()
    {
        LogCapture log;
        QCOMPARE(runInstaller(pkg("v1.msi")).exitCode, 0);
        const QRegularExpression form(QStringLiteral(
                "^MsiInstallProductA: UI level 0x([0-9a-f]+), message filter 0x([0-9a-f]+), "
                "command line \"(.*)\"$"));
        const QStringList lines = log.lines().filter(form);
        QCOMPARE(lines.size(), 1);
        const QRegularExpressionMatch m = form.match(lines.first());
        // No interface of the installer's own, only its source-resolution dialogs.
        QCOMPARE(m.captured(1).toInt(nullptr, 16),
                 INSTALLUILEVEL_NONE | INSTALLUILEVEL_SOURCERESONLY);
        // Every kind from fatal exit to show-dialog reaches the handler, except files-in-use.
        const unsigned int filter = m.captured(2).toUInt(nullptr, 16);
        for (unsigned int kind = 0; kind < 32; ++kind)
            QVERIFY2(bool(filter & (1u << kind)) == (kind <= 14 && kind != 5),
                     qPrintable(QString::number(kind)));
        QList<QPair<QString, QString>> properties;
        QVERIFY(MsiEngine::parseCommandLine(m.captured(3), &properties));
        QCOMPARE(properties, (QList<QPair<QString, QString>>{{"ACTION", "INSTALL"},
                                                             {"REBOOT", "ReallySurpress"}}));
    }

    void failingPackageShowsTheInstallersBoxAndEndsNormally()
    {
        BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("Error"));
        const Run run = runInstaller(pkg("random.msi"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
        QCOMPARE(boxes.last().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(boxes.last().text.contains("could not be opened"));
        QVERIFY(!QFileInfo::exists(programFiles + "/Orrel"));
    }

    // The window closes while a package installs: the installer is cancelled at its next
    // message and waited for, and the machine is as it was before that package.
    void objectGoesMidInstall_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("end");
        // Installing: cancelled at its next progress message, rolled back.
        QTest::newRow("installing") << "big.msi"
                                    << "MSI engine: finished with 1602";
        // Its error box asked for, not yet shown: the box is dropped, never shown.
        QTest::newRow("box on its way") << "random.msi"
                                        << "MSI engine: finished with 1620";
    }

    void objectGoesMidInstall()
    {
        QFETCH(QString, package);
        QFETCH(QString, end);
        QCOMPARE(runInstaller(pkg("v1.msi")).exitCode, 0);
        const auto before = snapshot(machine->path());
        LogCapture log;
        BoxAnswerer boxes;
        auto *process = new DlrMSIProcess;
        bool finished = false, underway = false;
        connect(process, &DlrMSIProcess::finished, [&] { finished = true; });
        connect(process, &DlrMSIProcess::readyReadStandardOutput, [&] { underway = true; });
        process->start(pkg(package), {}, QIODevice::ReadOnly);
        QElapsedTimer clock;
        clock.start();
        if (package == "random.msi")
            QThread::msleep(500); // no events: the worker waits for its box
        while (!underway && package == "big.msi" && clock.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        delete process;
        // The worker ended before the object was gone: its last lines are there already.
        QVERIFY2(log.contains(end), qPrintable(log.lines().join('\n')));
        QVERIFY(log.contains("Installation cancelled"));
        QCOMPARE(snapshot(machine->path()), before);
        QTest::qWait(50); // nothing left to arrive
        QVERIFY(!finished);
        QCOMPARE(boxes.count(), 0);
    }

    void handlerAnswersEachKind()
    {
        DlrMSIWorker worker(QStringLiteral("unused.msi"));
        QSignalSpy output(&worker, &DlrMSIWorker::gotOutput);
        // Kind and answer; the kinds that carry no box.
        const QList<QPair<unsigned int, int>> silent
                = {{3, 1},  {4, 1},  {5, 0},  {6, 0},  {7, 1},  {8, 1},  {9, 1},
                   {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 0}, {0x40, 0}};
        for (const auto &kind : silent)
            QCOMPARE(DlrMSIWorker::installerUiHandler(&worker, kind.first << 24,
                                                      "1: 0 2: 10 3: 0 4: 0 "),
                     kind.second);
        QCOMPARE(DlrMSIWorker::installerUiHandler(&worker, INSTALLMESSAGE_PROGRESS, "1: 2 2: 5 "),
                 1);
        QCOMPARE(output.count(), 1);
        QCOMPARE(output.first().first().toByteArray(), QByteArray("installer:%50"));

        // The three boxes: caption as id, flags mapped to buttons, icon and default, the answer
        // mapped back.
        BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::No, QStringLiteral("FatalError"));
        boxes.enqueue(QMessageBox::Cancel, QStringLiteral("Error"));
        boxes.enqueue(QMessageBox::Ignore, QStringLiteral("Warning"));
        QCOMPARE(DlrMSIWorker::installerUiHandler(&worker,
                                                  INSTALLMESSAGE_FATALEXIT | BoxYesNo
                                                          | BoxIconQuestion | BoxDefaultButton2,
                                                  "fatal"),
                 int(AnswerNo));
        QCOMPARE(DlrMSIWorker::installerUiHandler(
                         &worker, INSTALLMESSAGE_ERROR | BoxRetryCancel | BoxIconWarning, "error"),
                 int(AnswerCancel));
        QCOMPARE(DlrMSIWorker::installerUiHandler(
                         &worker, INSTALLMESSAGE_WARNING | BoxAbortRetryIgnore | BoxIconInformation,
                         "warning"),
                 int(AnswerIgnore));
        QCOMPARE(boxes.unexpectedCount(), 0);
        const QList<BoxRecord> seen = boxes.seen();
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen.at(0).icon, QMessageBox::Question);
        QCOMPARE(seen.at(0).buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(seen.at(0).defaultButton, QMessageBox::No);
        QCOMPARE(seen.at(0).text, QString("fatal"));
        QCOMPARE(seen.at(1).icon, QMessageBox::Warning);
        QCOMPARE(seen.at(1).buttons, QMessageBox::Retry | QMessageBox::Cancel);
        QCOMPARE(seen.at(2).icon, QMessageBox::Information);
        QCOMPARE(seen.at(2).buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(seen.at(2).defaultButton, QMessageBox::Abort);
    }

    void installersOwnBoxWhenNoHandlerTakesIt()
    {
        BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("Windows Installer"));
        msiSetInternalUI(INSTALLUILEVEL_FULL, nullptr);
        msiSetExternalUIA(nullptr, 0, nullptr);
        QCOMPARE(msiInstallProductA(pkg("missing.msi").toLocal8Bit().constData(), ""),
                 unsigned(InstallPackageOpenFailed));
        QCOMPARE(msiSetInternalUI(INSTALLUILEVEL_NONE, nullptr), int(INSTALLUILEVEL_FULL));
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    }
};

TESS_TEST_MAIN(TestMsiProcess)
#include "tst_msiprocess.moc"
