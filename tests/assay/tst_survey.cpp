// The machine survey against made-up machines: host applications, installed products, the
// search roots, the queries the selection rules use, and free disk space.
#include "DlrMachineAssay.h"
#include "DlrWindowsAssay.h"
#include "FakeMachine.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <functional>
#include <memory>

using TessTest::FakeMachine;

namespace {

QJsonArray jsonArray(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).array();
}

// Name, version, build id, Maya version ("-" when the key is absent) and product folder.
QString summary(const InstalledRecord &record)
{
    return QStringList{record.value(QStringLiteral("ProductName")),
                       record.value(QStringLiteral("Version")),
                       record.value(QStringLiteral("BuildId")),
                       record.value(QStringLiteral("MayaVersion"), QStringLiteral("-")),
                       QFileInfo(record.value(QStringLiteral("Location"))).fileName()}
            .join(QLatin1Char('|'));
}

QStringList summaries(const QList<InstalledRecord> &records)
{
    QStringList all;
    for (const InstalledRecord &record : records)
        all << summary(record);
    return all;
}

QStringList productSummaries(const DlrMachineAssay &assay)
{
    QList<InstalledRecord> products;
    for (const InstalledRecord &record : assay.Records()) {
        if (record.contains(QStringLiteral("Location")))
            products << record;
    }
    QStringList all = summaries(products);
    all.sort(); // folders come in the file system's order
    return all;
}

InstalledRecord record(const QString &name,
                       const QString &version,
                       const QString &buildId = QString(),
                       const QString &location = QString())
{
    InstalledRecord r;
    r.insert(QStringLiteral("ProductName"), name);
    r.insert(QStringLiteral("Version"), version);
    if (!buildId.isNull())
        r.insert(QStringLiteral("BuildId"), buildId);
    if (!location.isNull())
        r.insert(QStringLiteral("Location"), location);
    return r;
}

// Each row: a machine's products, the records the survey must find (summaries), and a log
// line it must write.
typedef std::function<void(
        const QByteArray &, const QByteArray &, const QStringList &, const QString &)>
        RowAdder;

void productScanRows(const RowAdder &row)
{
    row("server by its executable",
        QByteArray(R"([{"kind":"workserver","version":"24.4b2","build":2226589}])"),
        QStringList{"Tessaline Workserver 24.4|24.4|2226589|-|TessalineWorkserver-24.4"},
        "matched");
    row("renderer on standard output only",
        QByteArray(R"([{"kind":"workserver","version":"24.4","mode":"stdout"}])"), QStringList(),
        "no build id in output");
    row("18.3 skipped, 19.0 kept",
        QByteArray(R"([{"kind":"workserver","version":"18.3","build":1800000},
                                  {"kind":"workserver","version":"19.0","build":1900000}])"),
        QStringList{"Tessaline Workserver 19.0|19.0|1900000|-|TessalineWorkserver-19.0"},
        "getting version info from");
    row("Maya bridge by build-id file, script marker only",
        QByteArray(R"([{"kind":"maya-bridge","version":"24.4","build":2226589}])"),
        QStringList{"Tessaline for Maya 24.4|24.4|2226589|-|TessalineForMaya-24.4"},
        "getting version info from");
    row("Maya bridge with Maya version through LocalSpool.exe",
        QByteArray(R"([{"kind":"maya-bridge","version":"23.5","build":2300001,
                                   "maya":"2018","source":"spool","marker":"mll"}])"),
        QStringList{"Tessaline 23.5 for Maya 2018|23.5|2300001|2018|"
                    "TessalineForMaya-23.5-maya2018"},
        "getBuildIdFromFile given non-existing path");
    row("21.0 bridge without id takes its server's",
        QByteArray(R"([{"kind":"maya-bridge","version":"21.0","maya":"2016",
                                   "source":"none"},
                                  {"kind":"workserver","version":"21.0","build":2100777}])"),
        QStringList{"Tessaline 21.0 for Maya 2016|21.0|2100777|2016|"
                    "TessalineForMaya-21.0-maya2016",
                    "Tessaline Workserver 21.0|21.0|2100777|-|"
                    "TessalineWorkserver-21.0"},
        "Found TWS for noid version ");
    row("21.1 bridge without id and without server is dropped",
        QByteArray(R"([{"kind":"maya-bridge","version":"21.1","maya":"2016",
                                   "source":"none"},
                                  {"kind":"workserver","version":"21.0","build":2100777}])"),
        QStringList{"Tessaline Workserver 21.0|21.0|2100777|-|"
                    "TessalineWorkserver-21.0"},
        "Found 21.0 or 21.1 TfM with no id in ");
    row("22.0 bridge without id is not an old release",
        QByteArray(R"([{"kind":"maya-bridge","version":"22.0","maya":"2016",
                                   "source":"none"},
                                  {"kind":"workserver","version":"22.0","build":2200000}])"),
        QStringList{"Tessaline Workserver 22.0|22.0|2200000|-|"
                    "TessalineWorkserver-22.0"},
        "getBuildId given non-existing path");
    row("Atelier without Maya version", QByteArray(R"([{"folder":"Tessaline Atelier 22.0","files":{
                                     "plug-ins/Tessaline_for_Maya.mll":{},
                                     "tesstree/bin/tsren.exe":{"exe":"ok","version":"22.0"}}}])"),
        QStringList(), "No maya verion in TAS path");
    row("Atelier with Maya version",
        QByteArray(R"([{"kind":"atelier","version":"22.0","build":2200123,
                                   "maya":"2018"}])"),
        QStringList{"Tessaline Atelier 22.0 for Maya 2018|22.0|2200123|2018|"
                    "TessalineAtelier-22.0-maya2018"},
        "matched");
    row("Atelier without plug-in library", QByteArray(R"([{"folder":"TAS-22.0-maya2018","files":{
                                     "tesstree/bin/tsren.exe":{"exe":"ok","version":"22.0"}}}])"),
        QStringList(), "Not TAS for Maya, no");
    row("maya2020 in the name is any Maya",
        QByteArray(R"([{"kind":"maya-bridge","version":"23.5","build":2300002,
                                   "maya":"2020"}])"),
        QStringList{"Tessaline for Maya 23.5|23.5|2300002|-|"
                    "TessalineForMaya-23.5-maya2020"},
        "matched");
    row("server and bridge name is a server",
        QByteArray(R"([{"kind":"workserver","folder":"TessalineServerForMaya-24.4",
                                   "version":"24.4","build":2400000,"files":{
                                     "plug-ins/Tessaline_for_Maya.py":{},
                                     "etc/buildid.txt":{"version":"23.0","build":2300000}}}])"),
        QStringList{"Tessaline Workserver 24.4|24.4|2400000|-|"
                    "TessalineServerForMaya-24.4"},
        "[Tt]essaline.*[sS]erver|TWS");
    row("bridge without either marker",
        QByteArray(R"([{"kind":"maya-bridge","version":"24.4","marker":"none"}])"), QStringList(),
        "Not Tessaline for Maya, no");
    row("build id after an at sign with letters", QByteArray(R"([{"folder":"TFM-24.4","files":{
                                     "plug-ins/Tessaline_for_Maya.py":{},
                                     "etc/buildid.txt":{"text":"Tessaline 24.4 by @dev at @2226589\n"}}}])"),
        QStringList{"Tessaline for Maya 24.4|24.4|2226589|-|TFM-24.4"}, "matched");
    row("build-id file without digits after any at sign",
        QByteArray(R"([{"folder":"TFM-24.4","files":{
                                     "plug-ins/Tessaline_for_Maya.py":{},
                                     "etc/buildid.txt":{"text":"Tessaline 24.4 by @dev\n"}}}])"),
        QStringList(), "no build id in output");
    row("build id too large for an int",
        QByteArray(R"([{"kind":"workserver","version":"24.4","build":99999999999}])"),
        QStringList(), "getting version info from");
    // Product executables that misbehave: nothing recorded, and the line that says why.
    const QList<QPair<const char *, const char *>> misbehaving{
            {"noid", "no build id in output"},
            {"noversion", "no version in output"},
            {"crash", "no build id in output"},
            {"garbage", "no build id in output"},
            {"noexec", "Wait failed on process "}};
    for (const auto &mode : misbehaving) {
        row(QByteArray("executable mode ") + mode.first,
            QStringLiteral(R"([{"kind":"workserver","version":"24.4","mode":"%1"}])")
                    .arg(QLatin1String(mode.first))
                    .toUtf8(),
            QStringList(), QLatin1String(mode.second));
    }
    row("executable printing megabytes after its version",
        QByteArray(R"([{"kind":"workserver","version":"24.4","build":2226589,
                                   "mode":"mega"}])"),
        QStringList{"Tessaline Workserver 24.4|24.4|2226589|-|TessalineWorkserver-24.4"},
        "getting version info from");
    row("non-ASCII folder name",
        QByteArray(R"([{"kind":"workserver","folder":"TessalineWorkserver-24.4-ünï",
                                   "version":"24.4","build":2226589}])"),
        QStringList{"Tessaline Workserver 24.4|24.4|2226589|-|"
                    "TessalineWorkserver-24.4-ünï"},
        "matched");
    row("plain file and names that are no product",
        QByteArray(R"([{"folder":"Orrel Tools","files":{"bin/tsren.exe":{"exe":"ok"}}},
                                  {"folder":"tessaline-server-lower","files":{"x":{}}}])"),
        QStringList(), "Looking for orrel products in");
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
        QString error;
        QVERIFY2(
                machine.build({"--maya",       "2022",     "--maya",         "2023",     "--maya",
                               "Capabilities", "--maya",   "2018.5",         "--maya",   "2019abc",
                               "--houdini",    "19.5.303", "--houdini",      "20.0.547", "--katana",
                               "KATANA5.0v2",  "--katana", "Katana Foundry", "--katana", "6.0v1"},
                              &error),
                qPrintable(error));
        // Houdini is named hfs*, so a Katana-looking folder of another vendor is not Houdini.
        QVERIFY(QDir(machine.root()).mkpath(QStringLiteral("opt/hfsnothing")));
        machine.activate();
        TessTest::LogCapture log;
        DlrMachineAssay assay;
        assay.DoAssay();

        // Registry order is the platform's (names sorted); Capabilities is not a Maya.
        QCOMPARE(summaries(assay.GetProducts(QStringLiteral("Maya"))),
                 QStringList(
                         {"Maya|2023||-|", "Maya|2022||-|", "Maya|2019||-|", "Maya|2018.5||-|"}));
        QCOMPARE(summaries(assay.Records().mid(0, 4)),
                 QStringList(
                         {"Maya|2018.5||-|", "Maya|2019||-|", "Maya|2022||-|", "Maya|2023||-|"}));
        QCOMPARE(summaries(assay.GetProducts(QStringLiteral("Houdini"))),
                 QStringList({"Houdini|20.0||-|", "Houdini|19.5||-|"}));
        QCOMPARE(summaries(assay.GetProducts(QStringLiteral("Katana"))),
                 QStringList({"Katana|6.0||-|", "Katana|5.0||-|"}));
        QCOMPARE(assay.Records().size(), 8);
        QCOMPARE(log.count(QStringLiteral("Found installed Maya in registry")), 4);
        QCOMPARE(log.count(QStringLiteral("Found installed Houdini in registry")), 2);
        QVERIFY(assay.GetProducts(QStringLiteral("maya")).isEmpty()); // exact name only

        // A second survey starts from nothing.
        assay.DoAssay();
        QCOMPARE(assay.Records().size(), 8);
    }

    void hostNamesAsWindowsGivesThem()
    {
        QCOMPARE(summaries(DlrWindowsAssay::MayaRecords({"2022", "2023", "Capabilities"})),
                 QStringList({"Maya|2022||-|", "Maya|2023||-|"}));
        QCOMPARE(summaries(DlrWindowsAssay::HoudiniRecords({"Houdini 19.5.303", "Licensing"})),
                 QStringList({"Houdini|19.5||-|"}));
    }

    void emptyMachine()
    {
        FakeMachine machine;
        machine.activate();
        DlrMachineAssay assay;
        assay.DoAssay(); // no usr/autodesk, no hfs*, Orrel empty
        QVERIFY(assay.Records().isEmpty());
        QVERIFY(assay.GetProducts(QStringLiteral("Maya")).isEmpty());
    }

    void productScan_data()
    {
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("logLine");
        // One run of the builder for every row's machine.
        QList<QPair<FakeMachine *, QJsonObject>> toBuild;
        auto row = [&](const QByteArray &tag, const QByteArray &products,
                       const QStringList &expected, const QString &logLine) {
            QTest::newRow(tag.constData()) << expected << logLine;
            auto machine = std::make_shared<FakeMachine>();
            machines.insert(QString::fromUtf8(tag), machine);
            QJsonObject description;
            description.insert(QStringLiteral("products"), jsonArray(products.constData()));
            toBuild.append({machine.get(), description});
        };

        productScanRows(row);

        QString error;
        QVERIFY2(FakeMachine::buildAll(toBuild, &error), qPrintable(error));
    }

    void productScan()
    {
        QFETCH(QStringList, expected);
        QFETCH(QString, logLine);

        FakeMachine &machine = *machines.value(QString::fromUtf8(QTest::currentDataTag()));
        machine.activate();

        TessTest::LogCapture log;
        DlrMachineAssay assay;
        assay.DoAssay();
        expected.sort();
        QCOMPARE(productSummaries(assay), expected);
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join(QLatin1Char('\n'))));
        for (const InstalledRecord &r : assay.Records())
            QVERIFY(r.value(QStringLiteral("Location")).startsWith(machine.orrel() + '/'));
    }

    void oddEntriesDoNotStopTheSurvey()
    {
        FakeMachine machine;
        QJsonObject description = QJsonDocument::fromJson(R"({
            "links": [{"path": "opt/Orrel/TessalineWorkserver-26.0", "target": "/nowhere/at/all"},
                      {"path": "opt/Orrel/TessalineWorkserver-25.1/bin/tsren.exe",
                       "target": "/nowhere/tsren.exe"}],
            "products": [
              {"folder": "TessalineForMaya-24.4", "files": {
                 "plug-ins/Tessaline_for_Maya.py": {},
                 "etc/buildid.txt": {"text": "Tessaline 24.4 linked @2226589\n",
                                     "pad": 104857600}}},
              {"kind": "maya-bridge", "version": "23.0", "build": 2300000, "maya": "2018",
               "files": {"etc/buildid.txt": {"text": "Tessaline 23.0 @2300000", "perms": "000"}}},
              {"kind": "workserver", "version": "24.4", "build": 2226589}]})")
                                          .object();
        QString error;
        QVERIFY2(machine.build(description, &error), qPrintable(error));
        QFile notAFolder(machine.orrel() + QStringLiteral("/TessalineWorkserver-27.0"));
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));
        notAFolder.close();
        machine.activate();

        TessTest::LogCapture log;
        DlrMachineAssay assay;
        assay.DoAssay();
        QStringList expected{"Tessaline Workserver 24.4|24.4|2226589|-|TessalineWorkserver-24.4",
                             "Tessaline for Maya 24.4|24.4|2226589|-|TessalineForMaya-24.4"};
        // An unreadable build-id file sends the bridge to its LocalSpool.exe, which it lacks;
        // root reads the file regardless.
        if (QFile(machine.orrel()
                  + QStringLiteral("/TessalineForMaya-23.0-maya2018/etc/buildid.txt"))
                    .open(QIODevice::ReadOnly))
            expected << "Tessaline 23.0 for Maya 2018|23.0|2300000|2018|"
                        "TessalineForMaya-23.0-maya2018";
        else
            QVERIFY(log.contains(QStringLiteral("getBuildIdFromFile couldn't open file")));
        expected.sort();
        QCOMPARE(productSummaries(assay), expected);
        QVERIFY(log.contains(QStringLiteral("getBuildId given non-existing path")));
    }

    void searchRootsFromTrees()
    {
        FakeMachine machine;
        FakeMachine elsewhere; // a second tree outside Program Files
        QString error;
        QVERIFY2(machine.build({"--workserver", "24.4:2226589"}, &error), qPrintable(error));
        QJsonObject tree = QJsonDocument::fromJson(R"({"products": [
            {"kind": "workserver", "version": "25.0", "build": 2500000, "parent": "trees"},
            {"kind": "maya-bridge", "version": "25.0", "build": 2500000, "parent": "trees"}]})")
                                   .object();
        QVERIFY2(elsewhere.build(tree, &error), qPrintable(error));
        machine.activate();
        const QString programFiles = machine.root() + QStringLiteral("/opt");
        const QString trees = elsewhere.root() + QStringLiteral("/trees");

        auto rootsWith = [](const QString &tesstree, const QString &tastree) {
            qunsetenv("TESSTREE");
            qunsetenv("TASTREE");
            if (!tesstree.isNull())
                qputenv("TESSTREE", QFile::encodeName(tesstree));
            if (!tastree.isNull())
                qputenv("TASTREE", QFile::encodeName(tastree));
            DlrMachineAssay assay;
            qunsetenv("TESSTREE");
            qunsetenv("TASTREE");
            return assay.SearchRoots();
        };

        const QStringList base{programFiles, programFiles + QStringLiteral("/Orrel")};
        QCOMPARE(rootsWith(QString(), QString()), base);
        // Set to the server install folder: its parent is already a root.
        QCOMPARE(
                rootsWith(machine.orrel() + QStringLiteral("/TessalineWorkserver-24.4"), QString()),
                base);
        // Both variables in the same other tree: its parent once.
        QCOMPARE(rootsWith(trees + QStringLiteral("/TessalineWorkserver-25.0"),
                           trees + QStringLiteral("/TessalineForMaya-25.0")),
                 base + QStringList{trees});
        // A tree whose parent does not exist adds nothing.
        QCOMPARE(rootsWith(QString(), elsewhere.root() + QStringLiteral("/none/tesstree")), base);

        TessTest::LogCapture log;
        qputenv("TESSTREE", QFile::encodeName(trees + QStringLiteral("/TessalineWorkserver-25.0")));
        DlrMachineAssay assay;
        qunsetenv("TESSTREE");
        QVERIFY(log.contains(QStringLiteral("found TESSTREE set at ")));
        assay.DoAssay();
        QCOMPARE(productSummaries(assay),
                 QStringList({"Tessaline Workserver 24.4|24.4|2226589|-|TessalineWorkserver-24.4",
                              "Tessaline Workserver 25.0|25.0|2500000|-|TessalineWorkserver-25.0",
                              "Tessaline for Maya 25.0|25.0|2500000|-|TessalineForMaya-25.0"}));
    }

    void findInstalledAndFindAll()
    {
        DlrMachineAssay assay;
        assay.SetRecords({record("Maya", "2023"),
                          record("Tessaline Workserver 24.4", "24.4", "2226589", "a"),
                          record("Tessaline Workserver 24.4", "24.4", "2226700", "b"),
                          record("Tessaline Workserver 24.40", "24.40", "9999999", "c"),
                          record("Tessaline Workserver 24.4", "24.4", "2226700", "d"),
                          record("Tessaline Workserver 25.0", "25.0", "0", "e"),
                          record("Tessaline Workserver 25.0", "25.0", "-5", "f"),
                          record("Tessaline Workserver 25.0", "25.0", "25x", "g"),
                          record("Tessaline Workserver 25.0", "25.0", QString(), "h"),
                          record("Tessaline for Maya 24.4", "24.4", "2226800", "i")});

        InstalledRecord found = record("untouched", "0");
        QVERIFY(assay.FindInstalled(QStringLiteral("Workserver"), QStringLiteral("24.4"), found));
        QCOMPARE(found.value(QStringLiteral("Location")), QStringLiteral("b")); // earlier of equal
        QVERIFY(assay.FindInstalled(QStringLiteral("Workserver"), QString(), found));
        QCOMPARE(found.value(QStringLiteral("Location")), QStringLiteral("c")); // any version
        QVERIFY(assay.FindInstalled(QStringLiteral("Tessaline"), QStringLiteral("24.4"), found));
        QCOMPARE(found.value(QStringLiteral("Location")), QStringLiteral("i")); // searched anywhere

        found = record("untouched", "0");
        QVERIFY(!assay.FindInstalled(QStringLiteral("Workserver"), QStringLiteral("25.0"), found));
        QVERIFY(!assay.FindInstalled(QStringLiteral("^Maya"), QString(), found)); // hosts: no id
        QVERIFY(!assay.FindInstalled(QStringLiteral("workserver"), QString(), found));
        QCOMPARE(found.value(QStringLiteral("ProductName")), QStringLiteral("untouched"));

        QCOMPARE(summaries(
                         assay.FindAll(QStringLiteral("Workserver"), QStringLiteral("^24\\.\\d+"))),
                 QStringList({"Tessaline Workserver 24.4|24.4|2226589|-|a",
                              "Tessaline Workserver 24.4|24.4|2226700|-|b",
                              "Tessaline Workserver 24.40|24.40|9999999|-|c",
                              "Tessaline Workserver 24.4|24.4|2226700|-|d"}));
        QCOMPARE(assay.FindAll(QStringLiteral("Workserver"), QStringLiteral("^9\\.\\d+")).size(),
                 0);
        QCOMPARE(assay.FindAll(QStringLiteral("Maya"), QStringLiteral("")).size(), 2);

        int id = -1;
        DlrMachineAssay::GetBuildId(assay.Records().at(1), id);
        QCOMPARE(id, 2226589);
        DlrMachineAssay::GetBuildId(assay.Records().at(7), id);
        QCOMPARE(id, 0);
        DlrMachineAssay::GetBuildId(assay.Records().at(0), id);
        QCOMPARE(id, 0);
    }

    void freeSpaceMatchesDf()
    {
        const QString folder = TessTest::downloadsDir();
        QProcess df;
        df.start(QStringLiteral("df"), {"-B1", "--output=avail", folder});
        QVERIFY(df.waitForFinished(10000));
        const QList<QByteArray> lines = df.readAllStandardOutput().trimmed().split('\n');
        bool ok = false;
        const qint64 dfBytes = lines.last().trimmed().toLongLong(&ok);
        QVERIFY(ok);

        TessTest::LogCapture log;
        DlrMachineAssay assay;
        const qint64 bytes = assay.GetAvailableDisk(QDir(folder));
        QVERIFY(bytes > 0);
        // Others write to the same volume meanwhile; a few MB of difference is theirs.
        QVERIFY2(qAbs(bytes - dfBytes) < 64 * 1024 * 1024,
                 qPrintable(QStringLiteral("%1 against df %2").arg(bytes).arg(dfBytes)));
        QVERIFY(log.contains(QStringLiteral("Bytes avail on")));

        log.clear();
        QCOMPARE(assay.GetAvailableDisk(QDir(folder + QStringLiteral("/no/such/folder"))), 0);
        QVERIFY(log.contains(QStringLiteral("GetFreeDiskSpaceEx failed 2"))); // ENOENT
    }

    void downloadsFolder()
    {
        QCOMPARE(DlrMachineAssay::GetDownloadsFolder(), TessTest::downloadsDir());
    }

    void demoMachine()
    {
        FakeMachine machine;
        QString error;
        QVERIFY2(machine.build({"--maya", "2024", "--maya", "2025", "--houdini", "20.0.547",
                                "--katana", "6.0v1", "--workserver", "24.4:2226589"},
                               &error),
                 qPrintable(error));
        machine.activate();
        DlrMachineAssay assay;
        assay.DoAssay();
        QStringList all = summaries(assay.Records());
        QCOMPARE(all, QStringList({"Maya|2024||-|", "Maya|2025||-|", "Houdini|20.0||-|",
                                   "Katana|6.0||-|",
                                   "Tessaline Workserver 24.4|24.4|2226589|-|"
                                   "TessalineWorkserver-24.4"}));
    }
};

TESS_TEST_MAIN(TestSurvey)
#include "tst_survey.moc"
