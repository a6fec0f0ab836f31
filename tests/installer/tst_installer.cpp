// The installer on real packages built with wixl: the Linux package engine (where files land, bad
// packages, failing disks) and DlrMSIProcess (worker thread, an orderly end mid-install).
#include "DlrMSIProcess.h"
#include "DlrMessageBox.h"
#include "PackageBuilder.h"
#include "TestSupport.h"
#include "linux/MsiEngine.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>

#include <csignal>
#include <functional>
#include <sys/resource.h>

using namespace DlrPlatform;
using namespace TessTest;

namespace {
const QString Workserver = "Orrel/TessalineWorkserver-25.1";
// The Workserver package's files, below its folder.
const QList<QPair<QString, QByteArray>> WsFiles
        = {{"bin/tsren.exe", "#!/bin/sh\necho Tessaline 25.1 >&2\n"},
           {"etc/buildid.txt", "Tessaline 25.1 @2301450\n"},
           {"lib/data.bin", TessTest::PackageBuilder::randomBytes(256 << 10, 1)},
           {"lib/empty.txt", ""}};

// Path below the folder -> "permissions:sha1", hidden entries included.
QMap<QString, QString> snapshot(const QString &folder)
{
    QMap<QString, QString> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray sha1 = QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1);
        entries[path.mid(folder.size() + 1)]
                = QString::number(it.fileInfo().permissions(), 16) + ':' + sha1.toHex();
    }
    return entries;
}

// A handler that records what the package engine sends and answers its questions.
struct EngineMessage
{
    unsigned int kind, flags; // the top byte, and the rest
    QByteArray text;
};

struct EngineRecorder
{
    QList<EngineMessage> messages, errors;
    // Answer boxes (AnswerOk when unset) and progress messages (1 when unset; AnswerCancel
    // cancels).
    std::function<int(const EngineMessage &)> answerBox, answerProgress;

    unsigned int install(const QString &package, unsigned int filter = 0x7FFF)
    {
        msiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        msiSetExternalUIA(&record, filter, this);
        const unsigned int result
                = msiInstallProductA(package.toLocal8Bit().constData(), "ACTION=INSTALL");
        msiSetExternalUIA(nullptr, 0, nullptr);
        return result;
    }
    static int record(void *context, unsigned int messageType, const char *message)
    {
        auto *self = static_cast<EngineRecorder *>(context);
        const EngineMessage m{messageType >> 24, messageType & 0x00FFFFFF, message};
        self->messages.append(m);
        if (m.kind == 1)
            self->errors.append(m);
        if (m.kind <= 2)
            return self->answerBox ? self->answerBox(m) : AnswerOk;
        return m.kind == 10 && self->answerProgress ? self->answerProgress(m) : 1;
    }
};

} // namespace

class TestInstaller : public QObject
{
    Q_OBJECT

    QTemporaryDir packages;
    QScopedPointer<QTemporaryDir> machine;
    QString programFiles;

    QString pkg(const QString &name) const { return packages.filePath(name); }
    void write(const QString &name, const QByteArray &bytes)
    {
        QVERIFY(!writeFile(pkg(name), bytes).isEmpty());
    }
    // Program Files holds Orrel alone: no staging left, no short-name folder.
    QStringList inProgramFiles() const
    {
        return QDir(programFiles).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    void installV1()
    {
        QCOMPARE(EngineRecorder().install(pkg("v1.msi")), 0u);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("one"));
    }

private slots:
    void initTestCase()
    {
        QString error;
        PackageBuilder ws("Tessaline Workserver 25.1", "25.1.0");
        for (const auto &[path, bytes] : WsFiles)
            ws.addFile(Workserver + '/' + path, bytes);
        QVERIFY2(ws.build(pkg("ws.msi"), &error), qPrintable(error));
        // One product in two versions over the same paths, the second with a 300 KiB file; one
        // large enough to be still installing when its object goes.
        PackageBuilder v1("Orrel Product"), v2("Orrel Product"), big("Orrel Big");
        v1.addFile("Orrel/Product/a.txt", "one");
        v2.addFile("Orrel/Product/a.txt", "two");
        v2.addFile("Orrel/Product/big.bin", PackageBuilder::randomBytes(300 << 10, 7));
        v2.addFile("Orrel/Product/bin/tool.exe", "#!/bin/sh\n");
        v1.addFile("Orrel/Zlocked/z.txt", "zzz"); // the last file
        v2.addFile("Orrel/Zlocked/z.txt", "zzz");
        big.addFile("Orrel/Product/a.txt", "big");
        big.addFile("Orrel/Big/data.bin", PackageBuilder::randomBytes(48 << 20, 4));
        for (const auto &[builder, name] : {std::pair{&v1, "v1"}, {&v2, "v2"}, {&big, "big"}})
            QVERIFY2(builder->build(pkg(name + QString(".msi")), &error), qPrintable(error));
        write("random.msi", PackageBuilder::randomBytes(65536, 3));
    }

    void init() // a new, empty machine that the platform layer installs into
    {
        machine.reset(new QTemporaryDir);
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine->path()));
        DlrPlatform::programFilesFolder(&programFiles);
    }

    // The handler hears only the kinds of its filter; a box it does not hear is the installer's
    // own, shown only at a level above none.
    void handlerFilterAndTheInstallersOwnBox()
    {
        EngineRecorder progressOnly;
        QCOMPARE(progressOnly.install(pkg("v1.msi"), 1u << 10), 0u);
        QVERIFY(!progressOnly.messages.isEmpty());
        for (const EngineMessage &m : progressOnly.messages)
            QCOMPARE(m.kind, 10u);

        BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, "Windows Installer");
        msiSetInternalUI(INSTALLUILEVEL_FULL, nullptr);
        QCOMPARE(msiInstallProductA(pkg("missing.msi").toLocal8Bit().constData(), ""),
                 unsigned(InstallPackageOpenFailed));
        QCOMPARE(msiSetInternalUI(INSTALLUILEVEL_NONE, nullptr), int(INSTALLUILEVEL_FULL));
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    }

    // What a package does to a machine that holds an earlier product: a good one puts its files
    // where its tables say, a bad one shows one error box and writes nothing.
    void whatAPackageDoes_data()
    {
        QTest::addColumn<QString>("package"); // a file, or SQL run on a copy of ws.msi
        QTest::addColumn<unsigned int>("code");
        QTest::addColumn<QString>("errorText");
        const QByteArray bytes = readFile(pkg("ws.msi"));
        QByteArray corrupt = bytes;
        write("corruptcab.msi", corrupt.replace(corrupt.indexOf("MSCF"), 4, "XXXX"));
        write("truncated.msi", bytes.left(bytes.size() / 2));
        // wixl embeds its cabinets; take one out, beside the package.
        QString error;
        QVERIFY2(runTool("sh",
                         {"-c", "msiinfo extract \"$0\" payload.cab > \"$1\"", pkg("ws.msi"),
                          pkg("payload.cab")},
                         &error),
                 qPrintable(error));
        const QString dir = "UPDATE `Directory` SET `%1` = '%2' WHERE `Directory` = '%3'";
        const QString file = "UPDATE `File` SET `FileName` = '%1' WHERE `File` = '%2'";
        const QString media = "UPDATE `Media` SET %1 WHERE `DiskId` = 1";
        const QString orrel = PackageBuilder::directoryId("Orrel");
        const QString server = PackageBuilder::directoryId(Workserver);
        const QString notOpened = "could not be opened", outside = "outside Program Files";
        const unsigned int invalid = InstallPackageInvalid, failure = InstallFailure;
        QTest::newRow("ProgramFiles64Folder named PFiles")
                << dir.arg("DefaultDir", "PFiles", "ProgramFiles64Folder") << 0u << "";
        QTest::newRow("ProgramFilesFolder named PFiles")
                << "INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) VALUES "
                   "('ProgramFilesFolder', 'TARGETDIR', 'PFiles');"
                           + dir.arg("Directory_Parent", "ProgramFilesFolder", orrel)
                << 0u << "";
        QTest::newRow("short and long names")
                << dir.arg("DefaultDir", "TESSAL~1|TessalineWorkserver-25.1", server) + ';'
                           + file.arg("TSREN~1.EXE|tsren.exe", "file0")
                << 0u << "";
        QTest::newRow("cabinet beside the package")
                << media.arg("`Cabinet` = 'payload.cab'") << 0u << "";
        QTest::newRow("missing") << "missing.msi" << unsigned(InstallPackageOpenFailed)
                                 << notOpened;
        QTest::newRow("random bytes") << "random.msi" << invalid << notOpened;
        QTest::newRow("truncated") << "truncated.msi" << invalid << notOpened;
        QTest::newRow("corrupt cabinet") << "corruptcab.msi" << failure << "Error 1335";
        QTest::newRow("missing cabinet")
                << media.arg("`Cabinet` = 'none.cab'") << failure << "none.cab";
        QTest::newRow("folder escapes") << dir.arg("DefaultDir", "..", orrel) << invalid << outside;
        QTest::newRow("deep escape")
                << dir.arg("DefaultDir", "ok\\..\\..\\..\\etc", orrel) << invalid << outside;
        QTest::newRow("file escapes")
                << file.arg("..\\evil.txt", "file1") << invalid << "unusable name";
        QTest::newRow("two files, one name")
                << file.arg("data.bin", "file3") << invalid << "two files";
        QTest::newRow("file on no medium")
                << media.arg("`LastSequence` = 3") << invalid << "no cabinet holds";
        QTest::newRow("folders in a cycle")
                << dir.arg("Directory_Parent", server, orrel) << invalid << notOpened;
        QTest::newRow("unknown parent folder")
                << dir.arg("Directory_Parent", "MISSING", orrel) << invalid << notOpened;
    }

    void whatAPackageDoes()
    {
        QFETCH(QString, package);
        QFETCH(unsigned int, code);
        QFETCH(QString, errorText);
        if (!package.endsWith(".msi")) { // a copy of ws.msi changed by SQL statements
            QString error;
            QFile::remove(pkg("changed.msi"));
            QVERIFY(QFile::copy(pkg("ws.msi"), pkg("changed.msi")));
            for (const QString &sql : package.split(';'))
                QVERIFY2(runTool("msibuild", {pkg("changed.msi"), "-q", sql}, &error),
                         qPrintable(error));
            package = "changed.msi";
        }
        installV1();
        const auto before = snapshot(machine->path());
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg(package)), code);
        QCOMPARE(recorder.messages.last().kind, 13u);
        const QList<EngineMessage> &errors = recorder.errors;
        if (code != 0) {
            QCOMPARE(errors.size(), 1);
            QCOMPARE(errors.first().flags, unsigned(BoxOk | BoxIconError));
            QVERIFY2(errors.first().text.contains(errorText.toLocal8Bit()),
                     errors.first().text.constData());
            QCOMPARE(snapshot(machine->path()), before);
            return;
        }
        QVERIFY(errors.isEmpty());
        const QString folder = programFiles + "/" + Workserver;
        for (const auto &[path, bytes] : WsFiles)
            QCOMPARE(readFile(folder + '/' + path), bytes);
        QCOMPARE(int(QFile::permissions(folder + "/bin/tsren.exe")), 0x7755);   // rwxr-xr-x
        QCOMPARE(int(QFile::permissions(folder + "/etc/buildid.txt")), 0x6644); // rw-r--r--
        QCOMPARE(inProgramFiles(), QStringList{"Orrel"});
    }

    // The second version's install interrupted: a write fails (a real file-size limit) and the
    // user answers Abort, Retry (space made), Ignore or nothing; or cancels at a progress message.
    void interrupted_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<unsigned int>("code");
        QTest::newRow("abort") << int(AnswerAbort) << unsigned(InstallFailure);
        QTest::newRow("retry") << int(AnswerRetry) << 0u;
        QTest::newRow("ignore") << int(AnswerIgnore) << 0u;
        QTest::newRow("unanswered") << 0 << unsigned(InstallFailure);
        QTest::newRow("cancel") << int(AnswerCancel) << unsigned(InstallUserExit);
    }

    void interrupted()
    {
        QFETCH(int, answer);
        QFETCH(unsigned int, code);
        installV1();
        const auto before = snapshot(machine->path());
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limit{answer == AnswerCancel ? saved.rlim_cur : 64 << 10, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
        const auto lift = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &saved); });
        EngineRecorder recorder;
        recorder.answerBox = [&](const EngineMessage &) {
            setrlimit(RLIMIT_FSIZE, &saved);
            return answer;
        };
        bool executing = false; // cancelled in the execution phase
        recorder.answerProgress = [&](const EngineMessage &m) {
            executing = executing || m.text.endsWith("3: 0 4: 0 ");
            return answer == AnswerCancel && executing && m.text.startsWith("1: 2 ") ? answer : 1;
        };
        QCOMPARE(recorder.install(pkg("v2.msi")), code);
        const QList<EngineMessage> &errors = recorder.errors;
        QCOMPARE(errors.size(), answer == AnswerCancel ? 0 : 1);
        QVERIFY(errors.isEmpty()
                || (errors.first().flags == (BoxAbortRetryIgnore | BoxIconError)
                    && errors.first().text.contains("Error 1310")
                    && errors.first().text.contains("big.bin")));
        // Only Retry writes the file that failed.
        QCOMPARE(readFile(programFiles + "/Orrel/Product/big.bin"),
                 answer == AnswerRetry ? PackageBuilder::randomBytes(300 << 10, 7) : "<missing>");
        if (code == 0)
            QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("two"));
        else // the earlier install as it was, staging gone
            QCOMPARE(snapshot(machine->path()), before);
        QCOMPARE(inProgramFiles(), QStringList{"Orrel"});
    }

    // Orrel a link out of Program Files: refused. A file where a folder must go: moving into
    // place fails at the last file, and what it replaced comes back.
    void inTheWay()
    {
        QTemporaryDir outside;
        QVERIFY(QDir().mkpath(programFiles)
                && QFile::link(outside.path(), programFiles + "/Orrel"));
        QCOMPARE(EngineRecorder().install(pkg("ws.msi")), unsigned(InstallPackageInvalid));
        QVERIFY(QDir(outside.path()).isEmpty() && QFile::remove(programFiles + "/Orrel"));
        // Staging left by an install killed as it moved files goes, its journaled moves undone
        // (the file it replaced back, the new folder it moved in gone); a running one's (pid 1
        // is alive) stays.
        installV1();
        const QString abandoned = programFiles + "/.tessinstall-999999999-AbCdEf";
        const QString running = programFiles + "/.tessinstall-1-GhIjKl";
        const QString a = programFiles + "/Orrel/Product/a.txt", fresh = programFiles + "/Orrel/N";
        QVERIFY(QDir().mkpath(abandoned + "/replaced") && QDir().mkpath(running)
                && QDir().mkpath(fresh) && QFile::rename(a, abandoned + "/replaced/f0")
                && !writeFile(a, "two").isEmpty());
        writeFile(abandoned + "/journal",
                  QString("file\t%1/f0\t%2\t%1/replaced/f0\nfolder\t%1/tree/Orrel/N\t%3\n")
                          .arg(abandoned, a, fresh)
                          .toUtf8());
        QCOMPARE(EngineRecorder().install(pkg("ws.msi")), 0u);
        QVERIFY(!QFileInfo::exists(abandoned) && QFileInfo::exists(running));
        QCOMPARE(readFile(a) + QByteArray::number(QFileInfo::exists(fresh)), QByteArray("one0"));
        const QString zlocked = programFiles + "/Orrel/Zlocked";
        QVERIFY(QDir(zlocked).removeRecursively() && QFile(zlocked).open(QIODevice::WriteOnly));
        const auto before = snapshot(machine->path());
        EngineRecorder abort{{}, {}, [](const EngineMessage &) { return int(AnswerAbort); }, {}};
        QCOMPARE(abort.install(pkg("v2.msi")), unsigned(InstallFailure));
        QVERIFY(abort.errors.first().text.contains("z.txt"));
        QCOMPARE(snapshot(machine->path()), before);
    }

    // On the worker thread, reporting on the user-interface thread; also what the installer
    // hands the engine: its command line and filter (its interface level: objectGoesMidInstall).
    void installsOnTheWorkerAndReportsOnTheGuiThread()
    {
        BoxAnswerer boxes;
        LogCapture log;
        DlrMSIProcess process;
        QList<QByteArray> lines;
        bool onGuiThread = true;
        int exitCode = -1;
        connect(&process, &DlrMSIProcess::readyReadStandardOutput, [&] {
            onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
            lines.append(process.readAllStandardOutput());
        });
        connect(&process, &DlrMSIProcess::finished, [&](int code, QProcess::ExitStatus status) {
            exitCode = status == QProcess::NormalExit ? code : -2;
        });
        process.start(QDir::toNativeSeparators(pkg("v2.msi")), {}, QIODevice::ReadOnly);
        QTRY_VERIFY_WITH_TIMEOUT(exitCode != -1, 60000);
        QCOMPARE(exitCode, 0);
        QVERIFY(onGuiThread && !lines.isEmpty());
        QCOMPARE(lines.last(), QByteArray("installer:%100"));
        QCOMPARE(boxes.count(), 0);
        const QRegularExpression form("^MsiInstallProductA: UI level 0x([0-9a-f]+), message "
                                      "filter 0x([0-9a-f]+), command line \"(.*)\"$");
        const QStringList calls = log.lines().filter(form);
        QCOMPARE(calls.size(), 1);
        const QRegularExpressionMatch m = form.match(calls.first());
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

    // The window closes while a package installs: the installer is cancelled at its next
    // message and waited for, and the machine is as it was before that package.
    void objectGoesMidInstall_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("end");
        // Installing: cancelled at its next progress message, rolled back. An error box asked for,
        // not yet shown: dropped, never shown.
        QTest::newRow("installing") << "big.msi"
                                    << "MSI engine: finished with 1602";
        QTest::newRow("box on its way") << "random.msi"
                                        << "MSI engine: finished with 1620";
        // Installed (without questions: at the interface level none, not even the dialogs that
        // find a package's source), its thread not yet ended: nothing to cancel.
        QTest::newRow("installed") << "v2.msi"
                                   << "MSI engine: finished with 0";
    }

    void objectGoesMidInstall()
    {
        QFETCH(QString, package);
        QFETCH(QString, end);
        installV1();
        const auto before = snapshot(machine->path());
        const bool installed = end.endsWith(" 0");
        if (installed)
            DlrMessageBox::answerAllAutomatically();
        const auto clear = qScopeGuard([] { DlrMessageBox::clearAutomaticAnswers(); });
        LogCapture log;
        // The worker's thread lingers after the install (a slow last log line): the object goes.
        static QtMessageHandler passOn = nullptr;
        passOn = qInstallMessageHandler(
                [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                    passOn(type, context, text);
                    if (text.startsWith("Windows Installer returned"))
                        QThread::msleep(300);
                });
        const auto restore = qScopeGuard([] { qInstallMessageHandler(passOn); });
        BoxAnswerer boxes;
        auto *process = new DlrMSIProcess;
        bool finished = false, underway = false;
        connect(process, &DlrMSIProcess::finished, [&] { finished = true; });
        connect(process, &DlrMSIProcess::readyReadStandardOutput, [&] { underway = true; });
        process->start(pkg(package), {}, QIODevice::ReadOnly);
        const QDeadlineTimer deadline(30000);
        if (package == "random.msi")
            QThread::msleep(500); // no events: the worker waits for its box
        while (!deadline.hasExpired()
               && (package == "big.msi" ? !underway
                                        : installed && !log.contains("Installer returned")))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        delete process;
        // The worker ended before the object was gone: its last lines are there already.
        QVERIFY2(log.contains(end), qPrintable(log.lines().join('\n')));
        QCOMPARE(log.contains("Installer object closing while a package installs"), !installed);
        QCOMPARE(log.contains("Installation cancelled"), !installed);
        QVERIFY(log.contains(installed ? "UI level 0x2," : "UI level 0x102,"));
        QCOMPARE(snapshot(machine->path()) == before, !installed);
        QTest::qWait(50); // nothing left to arrive
        QVERIFY(!finished);
        QCOMPARE(boxes.count(), 0);
    }
};

TESS_TEST_MAIN(TestInstaller)
#include "tst_installer.moc"
