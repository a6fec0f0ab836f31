// The Linux package engine behind MsiInstallProductA, on real packages built with wixl: where
// files land, what the handler hears, and what every kind of bad package or failing disk does.
#include "DlrProgressRecord.h"
#include "EngineRecorder.h"
#include "PackageBuilder.h"
#include "TestSupport.h"
#include "linux/MsiEngine.h"
#include "linux/MsiPackage.h"

#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace DlrPlatform;
using TessTest::EngineMessage;
using TessTest::EngineRecorder;
using TessTest::FileSizeLimit;
using TessTest::PackageBuilder;
using TessTest::readFile;

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

bool stagingLeft(const QString &programFiles)
{
    return !QDir(programFiles)
                    .entryList({QStringLiteral(".tessinstall-*")},
                               QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty();
}

// The protocol lines the worker would make of the engine's progress messages.
QList<QByteArray> progressLines(const EngineRecorder &recorder)
{
    DlrProgressRecord record;
    QList<QByteArray> lines;
    for (const EngineMessage &m : recorder.ofKind(10)) {
        const QByteArray line = record.apply(m.text.constData());
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}
} // namespace

class TestMsiEngine : public TessTest::InstallerTestCase
{
    Q_OBJECT

private:
    void buildOrFail(const PackageBuilder &builder, const QString &name)
    {
        QString error;
        QVERIFY2(builder.build(pkg(name), &error), qPrintable(error));
    }

    // One product in three versions over the same paths, the last with a 300 KiB file.
    static PackageBuilder productVersion(const QByteArray &text, bool withBigFile)
    {
        PackageBuilder b(QStringLiteral("Orrel Product"));
        b.addFile(QStringLiteral("Orrel/Product/a.txt"), text);
        b.addFile(QStringLiteral("Orrel/Product/b.txt"), text + text);
        if (withBigFile)
            b.addFile(QStringLiteral("Orrel/Product/big.bin"),
                      PackageBuilder::randomBytes(300 * 1024, 7));
        return b;
    }

    void installV1()
    {
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("v1.msi")), 0u);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("one"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(packages.isValid());
        PackageBuilder ws(QStringLiteral("Tessaline Workserver 25.1"), QStringLiteral("25.1.0"));
        ws.addFile(QString(Workserver) + "/bin/tsren.exe", Renderer);
        ws.addFile(QString(Workserver) + "/etc/buildid.txt", BuildId);
        ws.addFile(QString(Workserver) + "/lib/data.bin",
                   PackageBuilder::randomBytes(256 * 1024, 1));
        ws.addFile(QString(Workserver) + "/lib/empty.txt", QByteArray());
        buildOrFail(ws, "ws.msi");
        ws.setProgramFilesId(QStringLiteral("ProgramFilesFolder"));
        buildOrFail(ws, "ws32.msi");

        buildOrFail(productVersion("one", false), "v1.msi");
        buildOrFail(productVersion("two", true), "v2.msi");

        PackageBuilder locked(QStringLiteral("Orrel Product"));
        locked.addFile(QStringLiteral("Orrel/Product/a.txt"), "three");
        locked.addFile(QStringLiteral("Orrel/Zlocked/z.txt"), "zzz");
        buildOrFail(locked, "locked.msi");
    }

    void init()
    {
        newMachine();
        QVERIFY(machine->isValid());
        QCOMPARE(programFiles, machine->path() + "/opt");
    }

    void cleanup()
    {
        // Give back write permission so the temporary machine can be removed.
        QDirIterator it(machine->path(), QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            ::chmod(QFile::encodeName(it.next()).constData(), 0755);
        ::chmod(QFile::encodeName(machine->path()).constData(), 0755);
    }

    void filesLandWhereTheTablesSay_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("ProgramFiles64Folder") << "ws.msi";
        QTest::newRow("ProgramFilesFolder") << "ws32.msi";
    }

    void filesLandWhereTheTablesSay()
    {
        QFETCH(QString, package);
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg(package)), 0u);

        const QString folder = programFiles + "/" + Workserver;
        QCOMPARE(readFile(folder + "/bin/tsren.exe"), Renderer);
        QCOMPARE(readFile(folder + "/etc/buildid.txt"), BuildId);
        QCOMPARE(readFile(folder + "/lib/data.bin"), PackageBuilder::randomBytes(256 * 1024, 1));
        QCOMPARE(readFile(folder + "/lib/empty.txt"), QByteArray());
        QCOMPARE(modeOf(folder + "/bin/tsren.exe"), 0755);
        QCOMPARE(modeOf(folder + "/etc/buildid.txt"), 0644);
        QVERIFY(!stagingLeft(programFiles));
        QVERIFY(recorder.ofKind(1).isEmpty());
    }

    void handlerHearsTheInstallersSequence()
    {
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("ws.msi")), 0u);

        const QList<unsigned int> kinds = recorder.kindSequence();
        QCOMPARE(kinds.first(), 12u);                  // initialize
        QCOMPARE(kinds.at(1), 11u);                    // common data
        QCOMPARE(kinds.last(), 13u);                   // terminate
        QVERIFY(kinds.indexOf(8) < kinds.indexOf(9));  // action start before action data
        QVERIFY(kinds.indexOf(10) < kinds.indexOf(9)); // resets before the first file

        const QList<EngineMessage> data = recorder.ofKind(9);
        QCOMPARE(data.size(), 4);
        QVERIFY(data.at(0).text.startsWith(
                "File: tsren.exe,  Directory: " + QFile::encodeName(programFiles) + "/" + Workserver
                + "/bin/,  Size: " + QByteArray::number(Renderer.size())));
        QVERIFY(recorder.ofKind(11).first().text == "1: 0 2: 1033 3: 1252 ");

        // Records in the exact text form, the resets of both phases, reports adding up.
        const QRegularExpression recordForm(QStringLiteral("^(\\d: -?\\d+ )+$"));
        QList<QByteArray> resets;
        qint64 executionTotal = -1, reported = 0;
        for (const EngineMessage &m : recorder.ofKind(10)) {
            QVERIFY2(recordForm.match(QString::fromLatin1(m.text)).hasMatch(), m.text.constData());
            if (m.text.startsWith("1: 0 ")) {
                resets.append(m.text);
                if (m.text.endsWith("3: 0 4: 0 "))
                    executionTotal = m.text.split(' ').at(3).toLongLong();
            } else if (m.text.startsWith("1: 2 ") && executionTotal >= 0) {
                reported += m.text.split(' ').at(3).toLongLong();
            }
        }
        QCOMPARE(resets.size(), 2);
        QCOMPARE(resets.at(0), QByteArray("1: 0 2: 4 3: 0 4: 1 "));
        const qint64 bytes = Renderer.size() + BuildId.size() + 256 * 1024;
        QCOMPARE(executionTotal, bytes);
        QCOMPARE(reported, bytes);

        // Through the worker's record parser: each phase runs up to 100 %.
        const QList<QByteArray> lines = progressLines(recorder);
        QCOMPARE(lines.count("installer:%100"), 2);
        QCOMPARE(lines.last(), QByteArray("installer:%100"));
        QCOMPARE(lines.at(0), QByteArray("installer:%25"));
    }

    void stagingOfAKilledInstallIsCleared()
    {
        const QString abandoned = programFiles + "/.tessinstall-999999999-AbCdEf";
        const QString running = programFiles + "/.tessinstall-1-GhIjKl"; // pid 1 is alive
        QVERIFY(QDir().mkpath(abandoned) && QDir().mkpath(running));
        QFile half(abandoned + "/f000000");
        QVERIFY(half.open(QIODevice::WriteOnly));
        half.write("half a file");
        half.close();
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("v1.msi")), 0u);
        QVERIFY(!QFileInfo::exists(abandoned));
        QVERIFY(QFileInfo::exists(running));
    }

    void shortAndLongNames()
    {
        QFile::copy(pkg("ws.msi"), pkg("short.msi"));
        QString error;
        QVERIFY2(PackageBuilder::edit(pkg("short.msi"),
                                      QStringLiteral("UPDATE `Directory` SET `DefaultDir` = "
                                                     "'TESSAL~1|TessalineWorkserver-25.1' WHERE "
                                                     "`Directory` = '%1'")
                                              .arg(PackageBuilder::directoryId(Workserver)),
                                      &error),
                 qPrintable(error));
        QVERIFY2(PackageBuilder::edit(pkg("short.msi"),
                                      "UPDATE `File` SET `FileName` = 'TSREN~1.EXE|tsren.exe' "
                                      "WHERE `File` = 'file0'",
                                      &error),
                 qPrintable(error));
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("short.msi")), 0u);
        QCOMPARE(modeOf(programFiles + "/" + Workserver + "/bin/tsren.exe"), 0755);
        QVERIFY(!QFileInfo::exists(programFiles + "/TESSAL~1"));
    }

    void cabinetBesideThePackage()
    {
        // wixl embeds its cabinets; take one out and point the Media table at the file.
        const QString folder = pkg("external");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(pkg("ws.msi"), folder + "/ws.msi"));
        QString error;
        QProcess extract;
        extract.setStandardOutputFile(folder + "/payload.cab");
        extract.start("msiinfo", {"extract", pkg("ws.msi"), "payload.cab"});
        QVERIFY(extract.waitForFinished(30000) && extract.exitCode() == 0);
        QVERIFY2(PackageBuilder::edit(folder + "/ws.msi",
                                      "UPDATE `Media` SET `Cabinet` = 'payload.cab' WHERE "
                                      "`DiskId` = 1",
                                      &error),
                 qPrintable(error));
        EngineRecorder recorder;
        QCOMPARE(recorder.install(folder + "/ws.msi"), 0u);
        QCOMPARE(readFile(programFiles + "/" + Workserver + "/lib/data.bin"),
                 PackageBuilder::randomBytes(256 * 1024, 1));
    }

    void directoryTablesResolve()
    {
        QHash<QString, QString> paths;
        QString reason;
        QVERIFY(MsiPackage::resolveDirectories({{"TARGETDIR", "", "SourceDir"},
                                                {"ProgramFiles64Folder", "TARGETDIR", "."},
                                                {"A", "ProgramFiles64Folder", "ORREL~1|Orrel:src"},
                                                {"B", "A", "."},
                                                {"C", "B", "x\\y"}},
                                               &paths, &reason));
        QCOMPARE(paths.value("TARGETDIR"), QString());
        QCOMPARE(paths.value("A"), QString("Orrel"));
        QCOMPARE(paths.value("B"), QString("Orrel"));
        QCOMPARE(paths.value("C"), QString("Orrel/x/y"));

        const QList<QList<MsiDirectoryRow>> refused = {
                {{"TARGETDIR", "", "SourceDir"}, {"A", "TARGETDIR", ".."}},
                {{"TARGETDIR", "", "SourceDir"}, {"A", "TARGETDIR", "x\\..\\..\\etc"}},
                {{"TARGETDIR", "", "SourceDir"}, {"A", "TARGETDIR", "/etc"}},
                {{"TARGETDIR", "", "SourceDir"}, {"A", "MISSING", "a"}},
                {{"A", "B", "a"}, {"B", "A", "b"}},
        };
        for (const auto &rows : refused) {
            paths.clear();
            QVERIFY(!MsiPackage::resolveDirectories(rows, &paths, &reason));
            QVERIFY(!reason.isEmpty());
        }
    }

    void commandLines()
    {
        QList<QPair<QString, QString>> properties;
        QVERIFY(MsiEngine::parseCommandLine(
                "ACTION=INSTALL REBOOT=ReallySurpress  NOTE=\"a \"\"b\"\" c\" EMPTY=",
                &properties));
        QCOMPARE(properties.size(), 4);
        QCOMPARE(properties.at(1), qMakePair(QString("REBOOT"), QString("ReallySurpress")));
        QCOMPARE(properties.at(2).second, QString("a \"b\" c"));
        QCOMPARE(properties.at(3).second, QString());
        QVERIFY(!MsiEngine::parseCommandLine("ACTION", &properties));
        QVERIFY(!MsiEngine::parseCommandLine("NOTE=\"open", &properties));

        TessTest::LogCapture log;
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("v1.msi"), 0x7FFF,
                                  "ACTION=INSTALL REBOOT=ReallySurpress TARGETDIR=/x"),
                 0u);
        QVERIFY(log.contains("\"TARGETDIR\" = \"/x\" is not used"));
        QCOMPARE(recorder.install(pkg("v1.msi"), 0x7FFF, "ACTION=ADMIN"),
                 unsigned(ERROR_INSTALL_FAILURE));
        QCOMPARE(recorder.install(pkg("v1.msi"), 0x7FFF, "ACTION"),
                 unsigned(ERROR_INVALID_COMMAND_LINE));
    }

    void handlerFilterIsRespected()
    {
        EngineRecorder progressOnly;
        QCOMPARE(progressOnly.install(pkg("v1.msi"), 1u << 10), 0u);
        QVERIFY(!progressOnly.messages.isEmpty());
        for (const EngineMessage &m : progressOnly.messages)
            QCOMPARE(m.kind, 10u);

        // Without the error bit the failure is not shown to the handler, and the internal
        // interface level (none) shows no box either.
        EngineRecorder noErrors;
        QCOMPARE(noErrors.install(pkg("missing.msi"), 0x7FFF & ~(1u << 1)),
                 unsigned(ERROR_INSTALL_PACKAGE_OPEN_FAILED));
        QVERIFY(noErrors.ofKind(1).isEmpty());
        QVERIFY(!noErrors.ofKind(13).isEmpty());

        EngineRecorder nothing;
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
        auto write = [this](const QString &name, const QByteArray &data) {
            QFile f(pkg(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        write("random.msi", PackageBuilder::randomBytes(64 * 1024, 3));
        write("text.msi", "This is not a package at all.\n");
        write("truncated.msi", bytes.left(bytes.size() / 2));
        QByteArray corrupt = bytes;
        const int cabinet = corrupt.indexOf("MSCF");
        QVERIFY(cabinet > 0);
        corrupt.replace(cabinet, 4, "XXXX");
        write("corruptcab.msi", corrupt);

        QString error;
        const QString orrel = PackageBuilder::directoryId("Orrel");
        QFile::copy(pkg("ws.msi"), pkg("escape.msi"));
        QVERIFY(PackageBuilder::edit(pkg("escape.msi"),
                                     QString("UPDATE `Directory` SET `DefaultDir` = '..' WHERE "
                                             "`Directory` = '%1'")
                                             .arg(orrel),
                                     &error));
        QFile::copy(pkg("ws.msi"), pkg("escapedeep.msi"));
        QVERIFY(PackageBuilder::edit(pkg("escapedeep.msi"),
                                     QString("UPDATE `Directory` SET `DefaultDir` = "
                                             "'ok\\..\\..\\..\\etc' WHERE `Directory` = '%1'")
                                             .arg(orrel),
                                     &error));
        QFile::copy(pkg("ws.msi"), pkg("escapefile.msi"));
        QVERIFY(PackageBuilder::edit(
                pkg("escapefile.msi"),
                "UPDATE `File` SET `FileName` = '..\\evil.txt' WHERE `File` = 'file1'", &error));
        QFile::copy(pkg("ws.msi"), pkg("nocab.msi"));
        QVERIFY(PackageBuilder::edit(
                pkg("nocab.msi"), "UPDATE `Media` SET `Cabinet` = 'payload.cab' WHERE `DiskId` = 1",
                &error));

        const QString notOpened = "could not be opened";
        QTest::newRow("missing") << "missing.msi" << unsigned(ERROR_INSTALL_PACKAGE_OPEN_FAILED)
                                 << notOpened;
        QTest::newRow("random bytes")
                << "random.msi" << unsigned(ERROR_INSTALL_PACKAGE_INVALID) << notOpened;
        QTest::newRow("text file")
                << "text.msi" << unsigned(ERROR_INSTALL_PACKAGE_INVALID) << notOpened;
        QTest::newRow("truncated")
                << "truncated.msi" << unsigned(ERROR_INSTALL_PACKAGE_INVALID) << notOpened;
        QTest::newRow("folder escapes") << "escape.msi" << unsigned(ERROR_INSTALL_PACKAGE_INVALID)
                                        << "outside Program Files";
        QTest::newRow("deep escape") << "escapedeep.msi" << unsigned(ERROR_INSTALL_PACKAGE_INVALID)
                                     << "outside Program Files";
        QTest::newRow("file escapes")
                << "escapefile.msi" << unsigned(ERROR_INSTALL_PACKAGE_INVALID) << "unusable name";
        QTest::newRow("missing cabinet")
                << "nocab.msi" << unsigned(ERROR_INSTALL_FAILURE) << "payload.cab";
        QTest::newRow("corrupt cabinet")
                << "corruptcab.msi" << unsigned(ERROR_INSTALL_FAILURE) << "Error 1335";
    }

    void badPackagesWriteNothing()
    {
        QFETCH(QString, package);
        QFETCH(unsigned int, code);
        QFETCH(QString, errorText);

        installV1();
        const auto before = TessTest::snapshot(machine->path());
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg(package)), code);
        const QList<EngineMessage> errors = recorder.ofKind(1);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().flags, unsigned(MB_OK | MB_ICONERROR));
        QVERIFY2(errors.first().text.contains(errorText.toLocal8Bit()),
                 errors.first().text.constData());
        QCOMPARE(recorder.kindSequence().last(), 13u);
        QCOMPARE(TessTest::snapshot(machine->path()), before);
    }

    void symbolicLinkOutOfProgramFilesIsRefused()
    {
        QTemporaryDir outside;
        QDir().mkpath(programFiles);
        QVERIFY(QFile::link(outside.path(), programFiles + "/Orrel"));
        EngineRecorder recorder;
        QCOMPARE(recorder.install(pkg("ws.msi")), unsigned(ERROR_INSTALL_PACKAGE_INVALID));
        QVERIFY(QDir(outside.path()).isEmpty());
        QVERIFY(!stagingLeft(programFiles));
    }

    void fullDiskAbortLeavesEarlierFilesUnchanged()
    {
        installV1();
        const auto before = TessTest::snapshot(machine->path());
        EngineRecorder recorder;
        recorder.answerBox = [](const EngineMessage &) {
            return int(IDABORT);
        };
        {
            FileSizeLimit limit(64 * 1024);
            QCOMPARE(recorder.install(pkg("v2.msi")), unsigned(ERROR_INSTALL_FAILURE));
        }
        const QList<EngineMessage> errors = recorder.ofKind(1);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().flags, unsigned(MB_ABORTRETRYIGNORE | MB_ICONERROR));
        QVERIFY(errors.first().text.contains("Error 1310"));
        QVERIFY(errors.first().text.contains("big.bin"));
        QCOMPARE(TessTest::snapshot(machine->path()), before);

        // The rollback runs a reverse phase back down to nothing.
        bool reverse = false;
        for (const EngineMessage &m : recorder.ofKind(10))
            reverse = reverse || (m.text.startsWith("1: 0 ") && m.text.endsWith("3: 1 4: 0 "));
        QVERIFY(reverse);
        QCOMPARE(progressLines(recorder).last(), QByteArray("installer:%0"));
    }

    void fullDiskRetryAndIgnore()
    {
        installV1();
        FileSizeLimit limit(64 * 1024);
        EngineRecorder retry;
        retry.answerBox = [&limit](const EngineMessage &) {
            limit.lift(); // space was made
            return int(IDRETRY);
        };
        QCOMPARE(retry.install(pkg("v2.msi")), 0u);
        QCOMPARE(retry.ofKind(1).size(), 1);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/big.bin"),
                 PackageBuilder::randomBytes(300 * 1024, 7));
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("two"));
        QCOMPARE(progressLines(retry).last(), QByteArray("installer:%100"));

        init(); // a fresh machine
        installV1();
        FileSizeLimit again(64 * 1024);
        EngineRecorder ignore;
        ignore.answerBox = [](const EngineMessage &) {
            return int(IDIGNORE);
        };
        QCOMPARE(ignore.install(pkg("v2.msi")), 0u);
        QVERIFY(!QFileInfo::exists(programFiles + "/Orrel/Product/big.bin"));
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("two"));
        QCOMPARE(progressLines(ignore).last(), QByteArray("installer:%100"));
        QVERIFY(!stagingLeft(programFiles));
    }

    void cancelThroughProgressRollsBack()
    {
        installV1();
        const auto before = TessTest::snapshot(machine->path());
        EngineRecorder recorder;
        bool executing = false;
        recorder.answerProgress = [&executing](const EngineMessage &m) {
            if (m.text.endsWith("3: 0 4: 0 "))
                executing = true;
            return executing && m.text.startsWith("1: 2 ") ? int(IDCANCEL) : 1;
        };
        QCOMPARE(recorder.install(pkg("v2.msi")), unsigned(ERROR_INSTALL_USEREXIT));
        QCOMPARE(TessTest::snapshot(machine->path()), before);
    }

    void readOnlyProgramFiles()
    {
        installV1();
        const auto before = TessTest::snapshot(machine->path());
        QCOMPARE(::chmod(QFile::encodeName(programFiles).constData(), 0555), 0);
        {
            NoPermissionOverride asUser;
            EngineRecorder abort;
            abort.answerBox = [](const EngineMessage &) {
                return int(IDABORT);
            };
            QCOMPARE(abort.install(pkg("v2.msi")), unsigned(ERROR_INSTALL_FAILURE));
            QCOMPARE(abort.ofKind(1).size(), 1);
            QCOMPARE(abort.ofKind(1).first().flags, unsigned(MB_ABORTRETRYIGNORE | MB_ICONERROR));
        }
        QCOMPARE(TessTest::snapshot(machine->path()), before);
        {
            NoPermissionOverride asUser;
            EngineRecorder retry;
            retry.answerBox = [this](const EngineMessage &) {
                ::chmod(QFile::encodeName(programFiles).constData(), 0755);
                return int(IDRETRY);
            };
            QCOMPARE(retry.install(pkg("v2.msi")), 0u);
        }
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("two"));
    }

    void failedMoveIntoPlacePutsBackWhatItReplaced()
    {
        installV1();
        QVERIFY(QDir().mkpath(programFiles + "/Orrel/Zlocked"));
        QCOMPARE(::chmod(QFile::encodeName(programFiles + "/Orrel/Zlocked").constData(), 0555), 0);
        const auto before = TessTest::snapshot(machine->path());
        NoPermissionOverride asUser;
        EngineRecorder recorder;
        recorder.answerBox = [](const EngineMessage &) {
            return int(IDABORT);
        };
        QCOMPARE(recorder.install(pkg("locked.msi")), unsigned(ERROR_INSTALL_FAILURE));
        QVERIFY(recorder.ofKind(1).first().text.contains("z.txt"));
        QCOMPARE(TessTest::snapshot(machine->path()), before);
        QCOMPARE(readFile(programFiles + "/Orrel/Product/a.txt"), QByteArray("one"));
    }
};

TESS_TEST_MAIN(TestMsiEngine)
#include "tst_msiengine.moc"
