// The installer on real packages built with wixl: the Linux package engine (where files land,
// what the handler hears, bad packages, failing disks) and DlrMSIProcess (worker thread, progress
// lines and boxes on the user-interface thread, an orderly end when the object goes mid-install).
#include "DlrMSIProcess.h"
#include "PackageBuilder.h"
#include "TestSupport.h"
#include "linux/MsiEngine.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

#include <csignal>
#include <functional>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace DlrPlatform;
using namespace TessTest;

namespace {
const char *const Workserver = "Orrel/TessalineWorkserver-25.1";
const QByteArray Renderer = "#!/bin/sh\necho Tessaline 25.1 >&2\n";
const QByteArray BuildId = "Tessaline 25.1 @2301450\n";

// Read-only folders stop root too: this thread gives up the capabilities that override file
// permissions while it lives (capabilities belong to a thread on Linux).
class NoPermissionOverride
{
public:
    NoPermissionOverride()
    {
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective
                &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        active = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~NoPermissionOverride()
    {
        if (active)
            syscall(SYS_capset, &header, saved);
    }

private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    bool active = false;
};

int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// A handler that records what the package engine sends and answers its questions.
struct EngineMessage
{
    unsigned int kind = 0; // the top byte, shifted down
    unsigned int flags = 0;
    QByteArray text;
};

class EngineRecorder
{
public:
    QList<EngineMessage> messages;
    // Answers error, warning and fatal-exit messages (AnswerOk when unset) and progress messages
    // (1 when unset; AnswerCancel cancels).
    std::function<int(const EngineMessage &)> answerBox, answerProgress;

    // Installs through the platform layer with this recorder as the external handler.
    unsigned int install(const QString &package,
                         unsigned int filter = 0x7FFF,
                         const char *commandLine = "ACTION=INSTALL")
    {
        msiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        msiSetExternalUIA(&record, filter, this);
        const unsigned int result
                = msiInstallProductA(package.toLocal8Bit().constData(), commandLine);
        msiSetExternalUIA(nullptr, 0, nullptr);
        return result;
    }
    QList<EngineMessage> ofKind(unsigned int kind) const
    {
        QList<EngineMessage> result;
        for (const EngineMessage &m : messages)
            if (m.kind == kind)
                result.append(m);
        return result;
    }

private:
    static int record(void *context, unsigned int messageType, const char *message)
    {
        auto *self = static_cast<EngineRecorder *>(context);
        const EngineMessage m{messageType >> 24, messageType & 0x00FFFFFF, message};
        self->messages.append(m);
        if (m.kind <= 2)
            return self->answerBox ? self->answerBox(m) : AnswerOk;
        return m.kind == 10 && self->answerProgress ? self->answerProgress(m) : 1;
    }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Path below the folder -> "mode:sha1" for files, "dir" for folders; hidden entries included:
// proves nothing changed.
QMap<QString, QString> snapshot(const QString &folder)
{
    QMap<QString, QString> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries[path.mid(folder.size() + 1)]
                = QFileInfo(path).isDir()
                          ? QStringLiteral("dir")
                          : QString::number(modeOf(path), 8) + ':'
                                    + QCryptographicHash::hash(readFile(path),
                                                               QCryptographicHash::Sha1)
                                              .toHex();
    }
    return entries;
}

// A real file-size limit that stops the writer as a full disk would: SIGXFSZ is ignored, so a
// write past the limit fails with EFBIG.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limit{bytes, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    void lift() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};

QByteArray progressLines(const EngineRecorder &recorder)
{
    QList<QByteArray> records;
    for (const EngineMessage &m : recorder.ofKind(10))
        records.append(m.text);
    return TessTest::progressLines(records);
}
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

class TestInstaller : public QObject
{
    Q_OBJECT

    QTemporaryDir packages;
    QScopedPointer<QTemporaryDir> machine;
    QString programFiles;

    QString pkg(const QString &name) const { return packages.filePath(name); }
    // Program Files holds Orrel alone: no staging left, no short-name folder.
    void onlyOrrel() const
    {
        QCOMPARE(QDir(programFiles)
                         .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Orrel"});
    }
    void edit(const QString &from, const QString &to, const QString &sql, const QString &more = {})
    {
        QString error;
        QFile::remove(pkg(to));
        QVERIFY(QFile::copy(pkg(from), pkg(to)));
        for (const QString &statement : {sql, more})
            QVERIFY2(statement.isEmpty() || PackageBuilder::edit(pkg(to), statement, &error),
                     qPrintable(error));
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
        PackageBuilder ws(QStringLiteral("Tessaline Workserver 25.1"), QStringLiteral("25.1.0"));
        ws.addFile(QString(Workserver) + "/bin/tsren.exe", Renderer);
        ws.addFile(QString(Workserver) + "/etc/buildid.txt", BuildId);
        ws.addFile(QString(Workserver) + "/lib/data.bin",
                   PackageBuilder::randomBytes(256 << 10, 1));
        ws.addFile(QString(Workserver) + "/lib/empty.txt", QByteArray());
        QVERIFY2(ws.build(pkg("ws.msi"), &error), qPrintable(error));
        ws.setProgramFilesId(QStringLiteral("ProgramFilesFolder"));
        QVERIFY2(ws.build(pkg("ws32.msi"), &error), qPrintable(error));
        // One product in two versions over the same paths, the second with a 300 KiB file.
        for (const char *version : {"one", "two"}) {
            PackageBuilder b(QStringLiteral("Orrel Product"));
            b.addFile("Orrel/Product/a.txt", version);
            if (QByteArray(version) == "two") {
                b.addFile("Orrel/Product/big.bin", PackageBuilder::randomBytes(300 << 10, 7));
                b.addFile("Orrel/Product/bin/tool.exe", "#!/bin/sh\n");
            }
            b.addFile("Orrel/Zlocked/z.txt", "zzz"); // the last file
            QVERIFY2(b.build(pkg(version == QByteArray("one") ? "v1.msi" : "v2.msi"), &error),
                     qPrintable(error));
        }
        // Large enough to be still installing when its object goes.
        PackageBuilder big(QStringLiteral("Orrel Big"));
        big.addFile(QStringLiteral("Orrel/Product/a.txt"), "big");
        big.addFile(QStringLiteral("Orrel/Big/data.bin"), PackageBuilder::randomBytes(48 << 20, 4));
        QVERIFY2(big.build(pkg("big.msi"), &error), qPrintable(error));
        QFile random(pkg("random.msi"));
        QVERIFY(random.open(QIODevice::WriteOnly));
        random.write(PackageBuilder::randomBytes(65536, 3));
    }

    void init()
    {
        // A new, empty machine that the platform layer installs into.
        machine.reset(new QTemporaryDir);
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine->path()));
        DlrPlatform::programFilesFolder(&programFiles);
    }

    void cleanup()
    {
        // Give back write permission so the temporary machine can be removed.
        QDirIterator it(machine->path(), QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            ::chmod(QFile::encodeName(it.next()).constData(), 0755);
    }

    void filesLandWhereTheTablesSay_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("ProgramFiles64Folder") << "ws.msi";
        QTest::newRow("ProgramFilesFolder") << "ws32.msi";
        edit("ws.msi", "short.msi",
             QStringLiteral("UPDATE `Directory` SET `DefaultDir` = "
                            "'TESSAL~1|TessalineWorkserver-25.1' WHERE `Directory` = '%1'")
                     .arg(PackageBuilder::directoryId(Workserver)),
             "UPDATE `File` SET `FileName` = 'TSREN~1.EXE|tsren.exe' WHERE `File` = 'file0'");
        QTest::newRow("short and long names") << "short.msi";
        // wixl embeds its cabinets; take one out and point the Media table at the file.
        QVERIFY(QDir().mkpath(pkg("external")));
        QProcess extract;
        extract.setStandardOutputFile(pkg("external/payload.cab"));
        extract.start("msiinfo", {"extract", pkg("ws.msi"), "payload.cab"});
        QVERIFY(extract.waitForFinished(30000) && extract.exitCode() == 0);
        edit("ws.msi", "external/ws.msi",
             "UPDATE `Media` SET `Cabinet` = 'payload.cab' WHERE `DiskId` = 1");
        QTest::newRow("cabinet beside the package") << "external/ws.msi";
    }

    void filesLandWhereTheTablesSay()
    {
        QFETCH(QString, package);
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg(package)), 0u);
        const QString folder = programFiles + "/" + Workserver;
        QCOMPARE(readFile(folder + "/bin/tsren.exe"), Renderer);
        QCOMPARE(readFile(folder + "/etc/buildid.txt"), BuildId);
        QCOMPARE(readFile(folder + "/lib/data.bin"), PackageBuilder::randomBytes(256 << 10, 1));
        QCOMPARE(readFile(folder + "/lib/empty.txt"), QByteArray());
        QCOMPARE(modeOf(folder + "/bin/tsren.exe"), 0755);
        QCOMPARE(modeOf(folder + "/etc/buildid.txt"), 0644);
        onlyOrrel();
        QVERIFY(recorder.ofKind(1).isEmpty());
    }

    void handlerHearsTheInstallersSequence()
    {
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("ws.msi")), 0u);
        QList<unsigned int> kinds;
        for (const EngineMessage &m : recorder.messages)
            kinds.append(m.kind);
        QCOMPARE(kinds.first(), 12u); // initialize
        QCOMPARE(kinds.at(1), 11u);   // common data
        QCOMPARE(kinds.last(), 13u);  // terminate
        QVERIFY(kinds.indexOf(8) < kinds.indexOf(9) && kinds.indexOf(10) < kinds.indexOf(9));
        const QList<EngineMessage> data = recorder.ofKind(9);
        QCOMPARE(data.size(), 4);
        QVERIFY(data.at(0).text.startsWith(
                "File: tsren.exe,  Directory: " + QFile::encodeName(programFiles) + "/" + Workserver
                + "/bin/,  Size: " + QByteArray::number(Renderer.size())));
        QCOMPARE(recorder.ofKind(11).first().text, QByteArray("1: 0 2: 1033 3: 1252 "));
        // The execution phase's reset announces every byte; the reports add up to it.
        qint64 total = -1, reported = 0;
        for (const EngineMessage &m : recorder.ofKind(10)) {
            if (m.text.startsWith("1: 0 ") && m.text.endsWith("3: 0 4: 0 "))
                total = m.text.split(' ').at(3).toLongLong();
            else if (m.text.startsWith("1: 2 ") && total >= 0)
                reported += m.text.split(' ').at(3).toLongLong();
        }
        QCOMPARE(total, Renderer.size() + BuildId.size() + (256 << 10));
        QCOMPARE(reported, total);
        // Each phase runs up to 100 %, the first (four files) a quarter at a time.
        const QByteArray lines = progressLines(recorder);
        QVERIFY2(lines.startsWith("installer:%25 installer:%50 installer:%75 installer:%100 ")
                         && lines.endsWith(" installer:%100"),
                 lines.constData());
    }

    void commandLines()
    {
        QList<QPair<QString, QString>> properties;
        QVERIFY(MsiEngine::parseCommandLine("A=1  NOTE=\"a \"\"b\"\" c\" EMPTY=", &properties));
        QCOMPARE(properties, (QList<QPair<QString, QString>>{
                                     {"A", "1"}, {"NOTE", "a \"b\" c"}, {"EMPTY", ""}}));
        QVERIFY(!MsiEngine::parseCommandLine("NOTE=\"open", &properties));
        // Name, result.
        const QList<QPair<const char *, unsigned int>> rows
                = {{"ACTION=INSTALL REBOOT=ReallySurpress TARGETDIR=/x", 0},
                   {"ACTION=ADMIN", InstallFailure},
                   {"ACTION", InstallInvalidCommandLine}};
        for (const auto &row : rows)
            QCOMPARE(EngineRecorder().install(pkg("v1.msi"), 0x7FFF, row.first), row.second);
        QVERIFY(!QFileInfo::exists("/x/Orrel"));
    }

    void handlerFilterIsRespected()
    {
        EngineRecorder progressOnly, noErrors, nothing;
        QCOMPARE(progressOnly.install(pkg("v1.msi"), 1u << 10), 0u);
        QCOMPARE(progressOnly.ofKind(10).size(), progressOnly.messages.size());
        QVERIFY(!progressOnly.messages.isEmpty());
        // Without the error bit the handler does not hear the failure, and the internal level
        // (none) shows no box either.
        QCOMPARE(noErrors.install(pkg("missing.msi"), 0x7FFF & ~(1u << 1)),
                 unsigned(InstallPackageOpenFailed));
        QVERIFY(noErrors.ofKind(1).isEmpty() && !noErrors.ofKind(13).isEmpty());
        QCOMPARE(nothing.install(pkg("v1.msi"), 0), 0u);
        QVERIFY(nothing.messages.isEmpty());
    }

    void badPackagesWriteNothing_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<unsigned int>("code");
        QTest::addColumn<QString>("errorText");
        QFile good(pkg("ws.msi"));
        QVERIFY(good.open(QIODevice::ReadOnly));
        const QByteArray bytes = good.readAll();
        QByteArray corrupt = bytes;
        QVERIFY(corrupt.indexOf("MSCF") > 0);
        corrupt.replace(corrupt.indexOf("MSCF"), 4, "XXXX");
        for (const auto &file : {qMakePair(QString("text.msi"), QByteArray("Not a package.\n")),
                                 qMakePair(QString("truncated.msi"), bytes.left(bytes.size() / 2)),
                                 qMakePair(QString("corruptcab.msi"), corrupt)}) {
            QFile f(pkg(file.first));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file.second) == file.second.size());
        }
        const QString orrel = PackageBuilder::directoryId("Orrel");
        const QString setDir
                = "UPDATE `Directory` SET `DefaultDir` = '%1' WHERE `Directory` = '%2'";
        edit("ws.msi", "escape.msi", setDir.arg("..", orrel));
        edit("ws.msi", "escapedeep.msi", setDir.arg("ok\\..\\..\\..\\etc", orrel));
        edit("ws.msi", "escapefile.msi",
             "UPDATE `File` SET `FileName` = '..\\evil.txt' WHERE `File` = 'file1'");
        edit("ws.msi", "nocab.msi",
             "UPDATE `Media` SET `Cabinet` = 'payload.cab' WHERE `DiskId` = 1");
        edit("ws.msi", "twice.msi",
             "UPDATE `File` SET `FileName` = 'data.bin' WHERE `File` = 'file3'");
        edit("ws.msi", "shortmedia.msi",
             "UPDATE `Media` SET `LastSequence` = 3 WHERE `DiskId` = 1");
        const QString setParent
                = "UPDATE `Directory` SET `Directory_Parent` = '%1' WHERE `Directory` = '%2'";
        edit("ws.msi", "cycle.msi", setParent.arg(PackageBuilder::directoryId(Workserver), orrel));
        edit("ws.msi", "noparent.msi", setParent.arg("MISSING", orrel));

        const QString notOpened = "could not be opened";
        const unsigned int invalid = InstallPackageInvalid;
        QTest::newRow("missing") << "missing.msi" << unsigned(InstallPackageOpenFailed)
                                 << notOpened;
        QTest::newRow("random bytes") << "random.msi" << invalid << notOpened;
        QTest::newRow("text file") << "text.msi" << invalid << notOpened;
        QTest::newRow("truncated") << "truncated.msi" << invalid << notOpened;
        QTest::newRow("folder escapes") << "escape.msi" << invalid << "outside Program Files";
        QTest::newRow("deep escape") << "escapedeep.msi" << invalid << "outside Program Files";
        QTest::newRow("file escapes") << "escapefile.msi" << invalid << "unusable name";
        QTest::newRow("two files, one name") << "twice.msi" << invalid << "two files";
        QTest::newRow("file on no medium") << "shortmedia.msi" << invalid << "no cabinet holds";
        QTest::newRow("folders in a cycle") << "cycle.msi" << invalid << notOpened;
        QTest::newRow("unknown parent folder") << "noparent.msi" << invalid << notOpened;
        QTest::newRow("missing cabinet")
                << "nocab.msi" << unsigned(InstallFailure) << "payload.cab";
        QTest::newRow("corrupt cabinet")
                << "corruptcab.msi" << unsigned(InstallFailure) << "Error 1335";
    }

    void badPackagesWriteNothing()
    {
        QFETCH(QString, package);
        QFETCH(unsigned int, code);
        QFETCH(QString, errorText);
        installV1();
        const auto before = snapshot(machine->path());
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg(package)), code);
        const QList<EngineMessage> errors = recorder.ofKind(1);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().flags, unsigned(BoxOk | BoxIconError));
        QVERIFY2(errors.first().text.contains(errorText.toLocal8Bit()),
                 errors.first().text.constData());
        QCOMPARE(recorder.messages.last().kind, 13u);
        QCOMPARE(snapshot(machine->path()), before);
    }

    void symbolicLinkOutOfProgramFilesIsRefused()
    {
        QTemporaryDir outside;
        QDir().mkpath(programFiles);
        QVERIFY(QFile::link(outside.path(), programFiles + "/Orrel"));
        QCOMPARE(EngineRecorder().install(pkg("ws.msi")), unsigned(InstallPackageInvalid));
        QVERIFY(QDir(outside.path()).isEmpty());
        onlyOrrel();
    }

    // A write fails (the disk is full) and the user answers Abort, Retry or Ignore.
    void fullDisk_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<unsigned int>("code");
        QTest::addColumn<bool>("bigLands"); // only Retry writes the file that failed
        QTest::newRow("abort") << int(AnswerAbort) << unsigned(InstallFailure) << false;
        QTest::newRow("retry") << int(AnswerRetry) << 0u << true;
        QTest::newRow("ignore") << int(AnswerIgnore) << 0u << false;
        QTest::newRow("unanswered") << 0 << unsigned(InstallFailure) << false;
    }

    void fullDisk()
    {
        QFETCH(int, answer);
        QFETCH(unsigned int, code);
        QFETCH(bool, bigLands);
        installV1();
        const auto before = snapshot(machine->path());
        FileSizeLimit limit(64 << 10);
        EngineRecorder recorder;
        recorder.answerBox = [&](const EngineMessage &) {
            limit.lift(); // space was made
            return answer;
        };
        QCOMPARE(recorder.install(pkg("v2.msi")), code);
        const QList<EngineMessage> errors = recorder.ofKind(1);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().flags, unsigned(BoxAbortRetryIgnore | BoxIconError));
        QVERIFY(errors.first().text.contains("Error 1310")
                && errors.first().text.contains("big.bin"));
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray(code ? "one" : "two"));
        QCOMPARE(readFile(programFiles + "/Orrel/Product/big.bin"),
                 bigLands ? PackageBuilder::randomBytes(300 << 10, 7) : QByteArray("<missing>"));
        QCOMPARE(progressLines(recorder).split(' ').last(),
                 QByteArray(code ? "installer:%0" : "installer:%100"));
        if (code != 0) // the earlier install as it was, staging gone
            QCOMPARE(snapshot(machine->path()), before);
        onlyOrrel();
    }

    void cancelThroughProgressRollsBack()
    {
        installV1();
        const auto before = snapshot(machine->path());
        EngineRecorder recorder;
        bool executing = false;
        recorder.answerProgress = [&executing](const EngineMessage &m) {
            executing = executing || m.text.endsWith("3: 0 4: 0 ");
            return executing && m.text.startsWith("1: 2 ") ? int(AnswerCancel) : 1;
        };
        QCOMPARE(recorder.install(pkg("v2.msi")), unsigned(InstallUserExit));
        QCOMPARE(snapshot(machine->path()), before);
    }

    void readOnlyFolders()
    {
        // Staging left by a killed install goes; a running one's (pid 1 is alive) stays.
        const QString abandoned = programFiles + "/.tessinstall-999999999-AbCdEf";
        const QString running = programFiles + "/.tessinstall-1-GhIjKl";
        QVERIFY(QDir().mkpath(abandoned) && QDir().mkpath(running));
        installV1();
        QVERIFY(!QFileInfo::exists(abandoned) && QFileInfo::exists(running));
        QVERIFY(QDir(running).removeRecursively());
        QVERIFY(QDir().mkpath(programFiles + "/Orrel/Zlocked"));
        QCOMPARE(::chmod(QFile::encodeName(programFiles + "/Orrel/Zlocked").constData(), 0555), 0);
        const auto before = snapshot(machine->path());
        NoPermissionOverride asUser;
        EngineRecorder abort;
        abort.answerBox = [](const EngineMessage &) {
            return int(AnswerAbort);
        };
        // Moving into place fails at the last file: what it replaced comes back.
        QCOMPARE(abort.install(pkg("v2.msi")), unsigned(InstallFailure));
        QVERIFY(abort.ofKind(1).first().text.contains("z.txt"));
        QCOMPARE(snapshot(machine->path()), before);
        // Program Files itself read-only: no staging; Retry once it is writable again.
        QCOMPARE(::chmod(QFile::encodeName(programFiles).constData(), 0555), 0);
        QCOMPARE(abort.install(pkg("v2.msi")), unsigned(InstallFailure));
        QCOMPARE(snapshot(machine->path()), before);
        EngineRecorder retry;
        retry.answerBox = [this](const EngineMessage &) {
            ::chmod(QFile::encodeName(programFiles).constData(), 0755);
            ::chmod(QFile::encodeName(programFiles + "/Orrel/Zlocked").constData(), 0755);
            return int(AnswerRetry);
        };
        QCOMPARE(retry.install(pkg("v2.msi")), 0u);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("two"));
    }

    // Also what the installer hands the engine: its command line, interface level and filter.
    void installsOnTheWorkerAndReportsOnTheGuiThread()
    {
        BoxAnswerer boxes;
        LogCapture log;
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
                 PackageBuilder::randomBytes(300 << 10, 7));
        QVERIFY(QFileInfo(programFiles + "/Orrel/Product/bin/tool.exe").isExecutable());
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
        // Installing: cancelled at its next progress message, rolled back. An error box asked for,
        // not yet shown: dropped, never shown.
        QTest::newRow("installing") << "big.msi"
                                    << "MSI engine: finished with 1602";
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

TESS_TEST_MAIN(TestInstaller)
#include "tst_installer.moc"
