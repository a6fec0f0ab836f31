// The Linux package engine behind MsiInstallProductA, on real packages built with wixl: where
// files land, what the handler hears, what bad packages and failing disks do. (The sample
// products it installs are surveyed again by the end-to-end run.)
#include "EngineRecorder.h"
#include "PackageBuilder.h"
#include "TestSupport.h"
#include "linux/MsiEngine.h"

#include <QProcess>

#include <linux/capability.h>
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

QByteArray progressLines(const EngineRecorder &recorder)
{
    QList<QByteArray> records;
    for (const EngineMessage &m : recorder.ofKind(10))
        records.append(m.text);
    return TessTest::progressLines(records);
}
} // namespace

class TestMsiEngine : public QObject
{
    Q_OBJECT

    QTemporaryDir packages;
    QScopedPointer<QTemporaryDir> machine;
    QString programFiles;

    QString pkg(const QString &name) const { return packages.filePath(name); }
    void edit(const QString &from, const QString &to, const QString &sql)
    {
        QString error;
        QFile::remove(pkg(to));
        QVERIFY(QFile::copy(pkg(from), pkg(to)));
        QVERIFY2(PackageBuilder::edit(pkg(to), sql, &error), qPrintable(error));
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
            if (QByteArray(version) == "two")
                b.addFile("Orrel/Product/big.bin", PackageBuilder::randomBytes(300 << 10, 7));
            b.addFile("Orrel/Zlocked/z.txt", "zzz");
            QVERIFY2(b.build(pkg(version == QByteArray("one") ? "v1.msi" : "v2.msi"), &error),
                     qPrintable(error));
        }
    }

    void init() { programFiles = newMachine(machine); }

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
                     .arg(PackageBuilder::directoryId(Workserver)));
        QString error;
        QVERIFY2(PackageBuilder::edit(pkg("short.msi"),
                                      "UPDATE `File` SET `FileName` = 'TSREN~1.EXE|tsren.exe' "
                                      "WHERE `File` = 'file0'",
                                      &error),
                 qPrintable(error));
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
        QCOMPARE(QDir(programFiles)
                         .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Orrel"}); // no staging left, no short-name folder
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

    void stagingOfAKilledInstallIsCleared()
    {
        const QString abandoned = programFiles + "/.tessinstall-999999999-AbCdEf";
        const QString running = programFiles + "/.tessinstall-1-GhIjKl"; // pid 1 is alive
        QVERIFY(QDir().mkpath(abandoned) && QDir().mkpath(running));
        installV1();
        QVERIFY(!QFileInfo::exists(abandoned));
        QVERIFY(QFileInfo::exists(running));
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
        for (const auto &file :
             {qMakePair(QString("random.msi"), PackageBuilder::randomBytes(65536, 3)),
              qMakePair(QString("text.msi"), QByteArray("Not a package.\n")),
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
        QCOMPARE(QDir(programFiles)
                         .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Orrel"});
    }

    // A write fails (the disk is full) and the user answers Abort, Retry or Ignore.
    void fullDisk_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<unsigned int>("code");
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("big");
        QTest::addColumn<QByteArray>("lastLine");
        const QByteArray big = PackageBuilder::randomBytes(300 << 10, 7), none = "<missing>";
        QTest::newRow("abort") << int(AnswerAbort) << unsigned(InstallFailure) << QByteArray("one")
                               << none << QByteArray("installer:%0");
        QTest::newRow("retry") << int(AnswerRetry) << 0u << QByteArray("two") << big
                               << QByteArray("installer:%100");
        QTest::newRow("ignore") << int(AnswerIgnore) << 0u << QByteArray("two") << none
                                << QByteArray("installer:%100");
        QTest::newRow("unanswered") << 0 << unsigned(InstallFailure) << QByteArray("one") << none
                                    << QByteArray("installer:%0");
    }

    void fullDisk()
    {
        QFETCH(int, answer);
        QFETCH(unsigned int, code);
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
        QTEST(readFile(programFiles + "/Orrel/Product/a.txt"), "a");
        QTEST(readFile(programFiles + "/Orrel/Product/big.bin"), "big");
        QTEST(progressLines(recorder).split(' ').last(), "lastLine");
        if (code != 0) // the earlier install as it was, staging gone
            QCOMPARE(snapshot(machine->path()), before);
        QCOMPARE(QDir(programFiles)
                         .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Orrel"});
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
        installV1();
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
};

TESS_TEST_MAIN(TestMsiEngine)
#include "tst_msiengine.moc"
