// The machine survey against made-up machines (tools/machine/make-machine.py): host
// applications, installed products read from real child processes and files, the search roots,
// the queries the selection rules use and free disk space.
#include "DlrMachineAssay.h"
#include "DlrWindowsAssay.h"
#include "FakeMachine.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>

using TessTest::FakeMachine;

namespace {

// Builds a made-up machine from script options or a JSON description (text starting with "{").
bool built(FakeMachine &machine, const QString &description)
{
    QString error;
    const bool ok = description.startsWith('{') ? machine.build(
                            QJsonDocument::fromJson(description.toUtf8()).object(), &error)
                                                : machine.build(description.split('|'), &error);
    if (!ok)
        qWarning("%s", qPrintable(error));
    return ok;
}

// Name|version|build id|Maya version ("-" when absent)|product folder.
QStringList summaries(const QList<InstalledRecord> &records, bool productsOnly = false)
{
    QStringList all;
    for (const InstalledRecord &r : records) {
        if (productsOnly && !r.contains(QStringLiteral("Location")))
            continue;
        all << QStringList{r.value("ProductName"), r.value("Version"), r.value("BuildId"),
                           r.value("MayaVersion", "-"), QFileInfo(r.value("Location")).fileName()}
                        .join('|');
    }
    if (productsOnly)
        all.sort(); // folders come in the file system's order
    return all;
}

QStringList surveyed(FakeMachine &machine)
{
    machine.activate();
    DlrMachineAssay assay;
    assay.DoAssay();
    return summaries(assay.Records(), true);
}

InstalledRecord record(const char *name, const char *version, const char *id, const char *where)
{
    InstalledRecord r{{"ProductName", name}, {"Version", version}, {"Location", where}};
    if (id)
        r.insert("BuildId", id);
    return r;
}

qint64 statusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(key) + ':'))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

const char *const WS = "Tessaline Workserver 24.4|24.4|2226589|-|TessalineWorkserver-24.4";
const char *const BRIDGE = "Tessaline for Maya 24.4|24.4|2226589|-|TFM-24.4";
const char *const PY = R"("plug-ins/Tessaline_for_Maya.py":{})";

// A machine's products (or its whole description), the records the survey makes of them, and
// a line it must log.
struct ScanRow
{
    const char *tag;
    QByteArray machine;
    QStringList expected;
    const char *logLine;
};

QByteArray bridgeWithFile(const char *text)
{
    return QByteArray(R"([{"folder":"TFM-24.4","files":{)") + PY + R"(,"etc/buildid.txt":{"text":")"
           + text + R"("}}}])";
}

QByteArray server(const char *fields)
{
    return QByteArray(R"([{"kind":"workserver",)") + fields + "}]";
}

const QList<ScanRow> &scanRows()
{
    const QString ws = "Tessaline Workserver %1|%1|%2|-|%3";
    // clang-format off
    static const QList<ScanRow> rows = {
        {"server", server(R"("version":"24.4b2")"), {WS}, "matched"},
        {"TWS abbreviation", server(R"("folder":"TWS-24.4")"),
         {ws.arg("24.4", "2226589", "TWS-24.4")}, "matched"},
        {"non-ASCII folder", server(R"("folder":"TessalineWorkserver-24.4-ünï")"),
         {ws.arg("24.4", "2226589", "TessalineWorkserver-24.4-ünï")}, "matched"},
        {"name, version and link line each on a line",
         server(R"("folder":"TWS-24.4","files":{"bin/tsren.exe":{"exe":"text",
             "text":"Tessaline Workserver\n24.4\nlinked on Monday\nby the farm @2226589\n"}})"),
         {ws.arg("24.4", "2226589", "TWS-24.4")}, "matched"},
        {"build-id file over several lines",
         bridgeWithFile(R"(Tessaline for Maya\nrelease 24.4\n@2226589\n)"), {BRIDGE}, "matched"},
        {"id after an at sign with letters", bridgeWithFile("Tessaline 24.4 by @dev at @2226589"),
         {BRIDGE}, "matched"},
        {"no digits after any at sign", bridgeWithFile("Tessaline 24.4 by @dev"), {},
         "no build id in output"},
        {"18.3 skipped, 19.0 kept",
         R"([{"kind":"workserver","version":"18.3"},
             {"kind":"workserver","version":"19.0","build":1900000}])",
         {ws.arg("19.0", "1900000", "TessalineWorkserver-19.0")},
         "Not recording product older than"},
        {"build id too large for an int", server(R"("build":99999999999)"), {},
         "getting version info from"},
        {"version on standard output", server(R"("mode":"stdout")"), {}, "no build id in output"},
        {"no build id line", server(R"("mode":"noid")"), {}, "no build id in output"},
        {"no version line", server(R"("mode":"noversion")"), {}, "no version in output"},
        {"crashing", server(R"("mode":"crash")"), {}, "no build id in output"},
        {"binary garbage", server(R"("mode":"garbage")"), {}, "no build id in output"},
        {"not executable", server(R"("mode":"noexec")"), {}, "Wait failed on process "},
        {"megabytes after the version", server(R"("mode":"mega")"), {WS}, "matched"},
        {"server and bridge name is a server",
         server(R"("folder":"TessalineServerForMaya-24.4","files":{
             "plug-ins/Tessaline_for_Maya.py":{},
             "etc/buildid.txt":{"version":"23.0","build":2300000}})"),
         {ws.arg("24.4", "2226589", "TessalineServerForMaya-24.4")}, "matched"},
        {"any-Maya bridge", R"([{"kind":"maya-bridge"}])",
         {"Tessaline for Maya 24.4|24.4|2226589|-|TessalineForMaya-24.4"}, "matched"},
        {"maya2020 is any Maya", R"([{"kind":"maya-bridge","maya":"2020"}])",
         {"Tessaline for Maya 24.4|24.4|2226589|-|TessalineForMaya-24.4-maya2020"}, "matched"},
        {"bridge without marker", R"([{"kind":"maya-bridge","marker":"none"}])", {},
         "Not Tessaline for Maya, no"},
        {"bridge through LocalSpool.exe",
         R"([{"kind":"maya-bridge","maya":"2018","source":"spool","marker":"mll"}])",
         {"Tessaline 24.4 for Maya 2018|24.4|2226589|2018|TessalineForMaya-24.4-maya2018"},
         "getBuildIdFromFile given non-existing path"},
        {"21.0 bridge without id takes its server's",
         R"([{"kind":"maya-bridge","version":"21.0","maya":"2016","source":"none"},
             {"kind":"workserver","version":"21.0","build":2100777}])",
         {"Tessaline 21.0 for Maya 2016|21.0|2100777|2016|TessalineForMaya-21.0-maya2016",
          ws.arg("21.0", "2100777", "TessalineWorkserver-21.0")}, "Found TWS for noid version "},
        {"21.1 bridge without id or server",
         R"([{"kind":"maya-bridge","version":"21.1","maya":"2016","source":"none"},
             {"kind":"workserver","version":"21.0","build":2100777}])",
         {ws.arg("21.0", "2100777", "TessalineWorkserver-21.0")}, "No TWS for noid version"},
        {"22.0 bridge without id is no old release",
         R"([{"kind":"maya-bridge","version":"22.0","maya":"2016","source":"none"},
             {"kind":"workserver","version":"22.0","build":2200000}])",
         {ws.arg("22.0", "2200000", "TessalineWorkserver-22.0")},
         "getBuildId given non-existing path"},
        {"Atelier", R"([{"kind":"atelier","version":"22.0","build":2200123,"maya":"2018"}])",
         {"Tessaline Atelier 22.0 for Maya 2018|22.0|2200123|2018|TessalineAtelier-22.0-maya2018"},
         "matched"},
        {"Atelier without Maya version",
         R"([{"folder":"Tessaline Atelier 22.0","files":{"plug-ins/Tessaline_for_Maya.mll":{},
             "tesstree/bin/tsren.exe":{"exe":"ok"}}}])", {}, "No maya verion in TAS path"},
        {"Atelier without plug-in",
         R"([{"folder":"TAS-22.0-maya2018","files":{"tesstree/bin/tsren.exe":{"exe":"ok"}}}])", {},
         "Not TAS for Maya, no"},
        {"names that are no product, dead links, a plain file",
         R"({"links": [{"path": "opt/Orrel/TessalineWorkserver-26.0", "target": "/nowhere"},
                       {"path": "opt/Orrel/TessalineWorkserver-25.1/bin/tsren.exe",
                        "target": "/nowhere/tsren.exe"}],
             "dirs": ["opt/Orrel/tessaline-server-lower"],
             "products": [{"folder":"Orrel Tools","files":{"bin/tsren.exe":{"exe":"ok"}}},
                          {"folder":"TWS-27.0","files":{"bin":{}}}]})", {},
         "Looking for orrel products in"},
    };
    // clang-format on
    return rows;
}

} // namespace

class TestSurvey : public QObject
{
    Q_OBJECT

    QHash<QString, std::shared_ptr<FakeMachine>> machines; // productScan's, by row

private Q_SLOTS:
    void hostApplications()
    {
        FakeMachine machine;
        QVERIFY(built(machine,
                      "--maya|2022|--maya|2023|--maya|Capabilities|--maya|2018.5|--houdini|"
                      "19.5.303|--houdini|20.0.547|--katana|KATANA5.0v2|--katana|Katana "
                      "Foundry|--katana|6.0v1|--workserver|24.4:2226589"));
        QVERIFY(QDir(machine.root()).mkpath("opt/hfsnothing")); // hfs*, yet no version
        machine.activate();
        TessTest::LogCapture log;
        DlrMachineAssay assay;
        for (int run = 0; run < 2; ++run) { // a second survey starts from nothing
            assay.DoAssay();
            QStringList all = summaries(assay.Records());
            // Maya in the registry's order (names sorted); Capabilities is no Maya.
            QCOMPARE(all.mid(0, 3),
                     QStringList({"Maya|2018.5||-|", "Maya|2022||-|", "Maya|2023||-|"}));
            all.sort();
            QCOMPARE(all, QStringList({"Houdini|19.5||-|", "Houdini|20.0||-|", "Katana|5.0||-|",
                                       "Katana|6.0||-|", "Maya|2018.5||-|", "Maya|2022||-|",
                                       "Maya|2023||-|", WS}));
        }
        QCOMPARE(summaries(assay.GetProducts("Maya")),
                 QStringList({"Maya|2023||-|", "Maya|2022||-|", "Maya|2018.5||-|"}));
        QCOMPARE(log.count("Found installed Houdini in registry"), 4);
        // As the Windows registry names them.
        QCOMPARE(summaries(DlrWindowsAssay::HoudiniRecords({"Houdini 19.5.303", "Licensing"})),
                 QStringList({"Houdini|19.5||-|"}));

        FakeMachine empty;
        QVERIFY(surveyed(empty).isEmpty());
    }

    void productScan_data()
    {
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("logLine");
        QList<QPair<FakeMachine *, QJsonObject>> toBuild; // one run of the script for all
        for (const ScanRow &row : scanRows()) {
            QTest::newRow(row.tag) << row.expected << QString(row.logLine);
            auto machine = std::make_shared<FakeMachine>();
            machines.insert(row.tag, machine);
            const QJsonDocument document = QJsonDocument::fromJson(row.machine);
            toBuild.append({machine.get(), document.isObject()
                                                   ? document.object()
                                                   : QJsonObject{{"products", document.array()}}});
        }
        QString error;
        QVERIFY2(FakeMachine::buildAll(toBuild, &error), qPrintable(error));
    }

    void productScan()
    {
        QFETCH(QStringList, expected);
        QFETCH(QString, logLine);
        TessTest::LogCapture log;
        expected.sort();
        QCOMPARE(surveyed(*machines.value(QTest::currentDataTag())), expected);
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));
    }

    void searchRootsFromTrees()
    {
        FakeMachine machine, elsewhere;
        QVERIFY(built(machine, "--workserver|24.4:2226589"));
        QVERIFY(built(elsewhere, R"({"products": [
            {"kind": "workserver", "version": "25.0", "build": 2500000, "parent": "trees"}]})"));
        machine.activate();
        const QString programFiles = machine.root() + "/opt";
        const QString trees = elsewhere.root() + "/trees";
        const QStringList base{programFiles, programFiles + "/Orrel"};
        const struct
        {
            QString tesstree, tastree;
            QStringList roots;
        } rows[] = {
                {QString(), QString(), base},
                {machine.orrel() + "/TessalineWorkserver-24.4", QString(), base}, // already one
                {trees + "/a", trees + "/b", base + QStringList{trees}},          // once
                {QString(), elsewhere.root() + "/none/tesstree", base}, // parent does not exist
        };
        for (const auto &row : rows) {
            for (const auto &tree :
                 {std::make_pair("TESSTREE", row.tesstree), std::make_pair("TASTREE", row.tastree)})
                tree.second.isNull() ? qunsetenv(tree.first)
                                     : qputenv(tree.first, QFile::encodeName(tree.second));
            DlrMachineAssay assay;
            QCOMPARE(assay.SearchRoots(), row.roots);
        }
        qputenv("TESSTREE", QFile::encodeName(trees + "/TessalineWorkserver-25.0"));
        qunsetenv("TASTREE");
        DlrMachineAssay assay;
        qunsetenv("TESSTREE");
        assay.DoAssay();
        QCOMPARE(summaries(assay.Records(), true),
                 QStringList({WS, "Tessaline Workserver 25.0|25.0|2500000|-|"
                                  "TessalineWorkserver-25.0"}));
    }

    void queries()
    {
        DlrMachineAssay assay;
        assay.SetRecords({{{"ProductName", "Maya"}, {"Version", "2023"}},
                          record("Tessaline Workserver 24.4", "24.4", "2226589", "a"),
                          record("Tessaline Workserver 24.4", "24.4", "2226700", "b"),
                          record("Tessaline Workserver 24.40", "24.40", "9999999", "c"),
                          record("Tessaline Workserver 24.4", "24.4", "2226700", "d"),
                          record("Tessaline Workserver 25.0", "25.0", "0", "e"),
                          record("Tessaline Workserver 25.0", "25.0", "-5", "f"),
                          record("Tessaline Workserver 25.0", "25.0", "25x", "g"),
                          record("Tessaline Workserver 25.0", "25.0", nullptr, "h"),
                          record("Tessaline for Maya 24.4", "24.4", "2226800", "i")});
        // Name pattern, version, the folder of the record found ("" for none).
        const struct
        {
            const char *name, *version, *found;
        } rows[] = {{"Workserver", "24.4", "b"}, // the earlier of equal ids
                    {"Workserver", "", "c"},     // any version
                    {"Tessaline", "24.4", "i"},  // the pattern is searched anywhere
                    {"Workserver", "25.0", ""},  // ids 0, negative, not a number, none
                    {"^Maya", "", ""},           {"workserver", "", ""}};
        for (const auto &row : rows) {
            InstalledRecord found{{"Location", ""}};
            QCOMPARE(assay.FindInstalled(row.name, row.version, found), *row.found != 0);
            QCOMPARE(found.value("Location"), QString(row.found));
        }
        QCOMPARE(summaries(assay.FindAll("Workserver", "^24\\.\\d+")).size(), 4);
        QCOMPARE(assay.FindAll("Workserver", "^24\\.4$").size(), 3);
        QCOMPARE(assay.FindAll("Maya", "").size(), 2);
        int id = -1;
        for (const auto &expected : {qMakePair(1, 2226589), qMakePair(7, 0), qMakePair(0, 0)})
            QCOMPARE((DlrMachineAssay::GetBuildId(assay.Records().at(expected.first), id), id),
                     expected.second);
    }

    void freeSpaceMatchesDf()
    {
        const QString folder = TessTest::downloadsDir();
        QProcess df;
        df.start("df", {"-B1", "--output=avail", folder});
        bool ok = df.waitForFinished(10000);
        const qint64 dfBytes
                = df.readAllStandardOutput().trimmed().split('\n').last().trimmed().toLongLong(&ok);
        QVERIFY(ok);
        TessTest::LogCapture log;
        DlrMachineAssay assay;
        const qint64 bytes = assay.GetAvailableDisk(QDir(folder));
        // Others write to the same volume meanwhile; a few MB of difference is theirs.
        QVERIFY2(bytes > 0 && qAbs(bytes - dfBytes) < 64 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 against df %2").arg(bytes).arg(dfBytes)));
        QCOMPARE(assay.GetAvailableDisk(QDir(folder + "/no/such/folder")), 0);
        QVERIFY(log.contains("GetFreeDiskSpaceEx failed 2")); // ENOENT
    }

    void hungExecutableIsStoppedAndReaped()
    {
        FakeMachine machine;
        QVERIFY(built(machine, "--workserver|24.4:2226589:hang|--workserver|25.0:2500000"));
        TessTest::LogCapture log;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(surveyed(machine),
                 QStringList{"Tessaline Workserver 25.0|25.0|2500000|-|TessalineWorkserver-25.0"});
        QVERIFY2(clock.elapsed() >= 9500 && clock.elapsed() < 14000,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY(log.contains("Wait failed on process "));
        QFile pidFile(machine.orrel() + "/TessalineWorkserver-24.4/bin/tsren.exe.pid");
        const pid_t pid
                = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toInt() : 0;
        QVERIFY(pid > 1);
        // Gone, and reaped: a zombie would still answer kill(pid, 0).
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
    }

    void bigOutputAndBigFilesCostLittleMemory()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer's own bookkeeping swamps the peak-memory bound");
#endif
        FakeMachine machine;
        QVERIFY(built(machine, R"({"products": [
                    {"kind": "workserver", "build": 2226589, "mode": "mega"},
                    {"folder": "TessalineForMaya-24.4", "files": {
                       "plug-ins/Tessaline_for_Maya.py": {},
                       "etc/buildid.txt": {"text": "Tessaline 24.4 linked @2226589 ",
                                           "pad": 104857600}}},
                    {"folder": "TessalineForMaya-25.0", "files": {
                       "plug-ins/Tessaline_for_Maya.py": {},
                       "etc/buildid.txt": {"text": "", "pad": 104857600, "padbyte": "@"}}}]})"));
        QFile clearRefs("/proc/self/clear_refs"); // so the peak below is this survey's alone
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            QSKIP("this kernel does not let a process reset its peak resident size");
        clearRefs.close();
        const qint64 before = statusKb("VmRSS");
        // 16 MB of output must not stall the child on a full pipe (it would be stopped, and the
        // server not recorded); reading either 100 MB file whole would add hundreds of MB.
        QCOMPARE(surveyed(machine),
                 QStringList({WS, "Tessaline for Maya 24.4|24.4|2226589|-|TessalineForMaya-24.4"}));
        QVERIFY2(statusKb("VmHWM") - before < 16 * 1024, "peak memory");
    }

    void cheapTestsStartNoProcess()
    {
        FakeMachine machine;
        QVERIFY(built(machine, R"({"products": [
                    {"kind": "workserver", "build": 2226589},
                    {"kind": "maya-bridge", "maya": "2018", "marker": "none", "source": "spool"},
                    {"folder": "Tessaline Atelier 22.0", "files": {
                       "plug-ins/Tessaline_for_Maya.mll": {},
                       "tesstree/bin/tsren.exe": {"exe": "ok", "version": "22.0"}}},
                    {"folder": "TAS-22.0-maya2018", "files": {
                       "tesstree/bin/tsren.exe": {"exe": "ok", "version": "22.0"}}},
                    {"folder": "Something Else", "files": {
                       "bin/tsren.exe": {"exe": "ok"}, "bin/LocalSpool.exe": {"exe": "ok"}}},
                    {"kind": "maya-bridge", "version": "24.3", "build": 2226000, "maya": "2018",
                     "files": {"bin/LocalSpool.exe": {"exe": "ok", "version": "24.3"}}},
                    {"kind": "maya-bridge", "version": "24.2", "build": 2225000, "maya": "2017",
                     "source": "spool"}]})"));
        const QString processLog = machine.root() + "/processes.txt";
        qputenv("TESS_PROCESS_LOG", QFile::encodeName(processLog));
        const QStringList found = surveyed(machine);
        qunsetenv("TESS_PROCESS_LOG");
        QCOMPARE(found.size(), 3);
        // The server and the bridge without build-id file; nothing else ran.
        QFile log(processLog);
        QCOMPARE(log.open(QIODevice::ReadOnly) ? log.readAll().trimmed().split('\n').size() : -1,
                 2);
    }
};

TESS_TEST_MAIN(TestSurvey)
#include "tst_survey.moc"
