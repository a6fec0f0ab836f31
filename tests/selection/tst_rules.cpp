// The automatic selection rules as a table: a manifest and what the survey found in, the chosen
// and hidden manifest indices out (and a log line that shows why).
#include "DlrMachineAssay.h"
#include "DlrManifestElement.h"
#include "DlrSelectionRules.h"
#include "Offers.h"
#include "TestSupport.h"

#include <QtTest>

typedef QList<DlrManifestElement> Manifest;
typedef QList<InstalledRecord> Machine;
Q_DECLARE_METATYPE(Manifest)
Q_DECLARE_METATYPE(Machine)

using TessTest::Offer;

namespace {

// An offer as the service lists it: downloadable, of some size.
DlrManifestElement offer(const QString &name,
                         const QString &label,
                         const QString &version,
                         const QString &buildId,
                         const QString &behavior = QString(),
                         qint64 size = 1000,
                         const QString &url = QStringLiteral("https://127.0.0.1/products/p.msi"))
{
    return Offer(name)
            .label(label)
            .version(version)
            .build(buildId)
            .behavior(behavior)
            .size(size)
            .url(url);
}

// The usual offers of one build: the Workserver, a bridge for any Maya, one for Maya 2024.
Manifest build(const QString &version, const QString &buildId)
{
    const QString file = QStringLiteral("_%1-win64.msi").arg(buildId);
    return {offer("TessalineWorkserver-" + version + file, "Tessaline Workserver " + version,
                  version, buildId),
            offer("TessalineForMaya-" + version + file, "Tessaline for Maya " + version, version,
                  buildId),
            offer("TessalineForMaya-" + version + "-maya2024" + file,
                  QStringLiteral("Tessaline %1 for Maya 2024").arg(version), version, buildId)};
}

// Survey records "name|version[|build id]" joined by "; "; a record with a build id is an
// installed product (it has a folder), one without a host application.
Machine machine(const QString &text)
{
    Machine records;
    for (const QString &record : text.split(QStringLiteral("; "), Qt::SkipEmptyParts)) {
        const QStringList f = record.split('|');
        records.append({{"ProductName", f.at(0)}, {"Version", f.at(1)}});
        if (f.size() > 2)
            records.last().insert("BuildId", f.at(2));
        if (f.size() > 2)
            records.last().insert("Location", "/opt/Orrel/x");
    }
    return records;
}

QList<int> indices(const QString &text)
{
    QList<int> all;
    for (const QString &i : text.split(' ', Qt::SkipEmptyParts))
        all.append(i.toInt());
    return all;
}

} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        QTest::addColumn<Manifest>("manifest");
        QTest::addColumn<Machine>("records");
        QTest::addColumn<QList<int>>("chosen");
        QTest::addColumn<QList<int>>("hidden");
        QTest::addColumn<QString>("logLine");

        const QString maya = "Maya|2024", ws = "; Tessaline Workserver 25.1|25.1|";
        const Manifest two = build("25.1", "2301450") + build("24.4", "2226589");
        const Manifest one = build("25.1", "2301450");
        const auto row = [](const char *tag, const Manifest &m, const QString &machineText,
                            const char *chosen, const char *hidden, const char *logLine) {
            QTest::newRow(tag) << m << machine(machineText) << indices(chosen) << indices(hidden)
                               << QString(logLine);
        };
        row("newest major only, bridges for the Mayas present", two, maya, "0 1 2", "3 4 5",
            "Found  0  candidates");
        row("installed Workserver of an older major makes its group count", two,
            maya + "; Tessaline Workserver 24.4|24.4|2226000", "0 1 2 3 4 5", "",
            "Found  1  candidates");
        row("major 9 sorts before 24 and is the unconditional one",
            {offer("TessalineWorkserver-24.4_2226589-win64.msi", "Tessaline Workserver 24.4",
                   "24.4", "2226589"),
             offer("TessalineWorkserver-9.5_900000-win64.msi", "Tessaline Workserver 9.5", "9.5",
                   "900000")},
            "", "1", "0", "Attempting to find TWS for v");
        row("only the newest build of a major", one + build("25.1", "2299999"), maya, "0 1 2",
            "3 4 5", "Selecting TWS");
        row("build ids compare as text", one + build("25.1", "999999"), maya, "3 4 5", "0 1 2",
            "Selecting TWS");
        row("same build installed: bridges still", one, maya + ws + "2301450", "1 2", "0",
            "is already installed");
        row("newer build installed: nothing of the group", one, maya + ws + "2400000", "", "0 1 2",
            "Could not install or find a matching TWS -- we can't select any matching bridge "
            "products");
        row("older build installed: down-rev", one, maya + ws + "2300000", "0 1 2", "",
            "found down-rev buildid.");
        row("group without Workserver", one.mid(1), maya, "", "0 1",
            "Could not install or find a matching TWS");
        row("Workserver label without version compares with any installed",
            {offer("TessalineWorkserver_2301450-win64.msi", "Tessaline Workserver", "25.1",
                   "2301450")},
            "Tessaline Workserver 24.4|24.4|2400000", "", "0", "No TWS");

        Manifest mayaOffers = build("24.4", "2226589").mid(0, 1);
        for (const char *maya : {"-maya2022", "-maya2024", ""})
            mayaOffers << offer(
                    QStringLiteral("TessalineForMaya-24.4%1_2226589-win64.msi").arg(maya), "", "",
                    "2226589");
        const QString bridge = "Maya|2022; Tessaline 24.4 for Maya 2022|24.4|";
        row("Maya 2022 and 2023 against 2022, 2024 and any", mayaOffers, "Maya|2022; Maya|2023",
            "0 1 3", "2", "Found a matching maya version for the offer requesting");
        row("bridge build already installed for that Maya", mayaOffers.mid(0, 2),
            bridge + "2226589", "0", "1", "Offer already installed");
        row("another bridge build installed does not prevent it", mayaOffers.mid(0, 2),
            bridge + "2226000", "0 1", "", "Selecting TWS");
        row("bridges without any Maya", one, "", "0", "1 2", "No Mayas present in the assay.");

        Manifest hosts = one.mid(0, 1);
        for (const char *name : {"Katana-25.1-katana6.0", "Katana-25.1-katana5.0", "Houdini-25.1",
                                 "Houdini-25.1-houdini19.5", "Nuke-25.1"})
            hosts << offer(QStringLiteral("TessalineFor%1_2301450-win64.msi").arg(name), "", "",
                           "2301450");
        row("Katana and Houdini bridges", hosts, "Katana|6.0; Houdini|20.0", "0 1 3", "2 4 5",
            "No auto selection handler for");
        row("Houdini bridge without Houdini", hosts.mid(0, 1) + hosts.mid(3, 1), maya, "0", "1",
            "No houdini present in the assay.");

        Manifest behaviours = one.mid(0, 1);
        behaviours << offer("Docs-25.1.zip", "Release notes", "25.1", "2301450", "show")
                   << offer("Samples-25.1.zip", "Samples", "25.1", "2301450", "Show")
                   << offer("Harrow-25.1.msi", "Harrow Queue 25.1", "25.1", "2301450")
                   << offer("Other-25.1.msi", "Other Tool", "25.1", "2301450")
                   << offer("Empty-25.1.msi", "Empty", "25.1", "2301450", "show", 0)
                   << offer("Nowhere-25.1.msi", "Nowhere", "25.1", "2301450", "show", 1000, "")
                   << offer("TessalineForMaya-25.1_2301450-win64.msi", "Tessaline for Maya 25.1",
                            "25.1", "2301450", "show", 0);
        row("default behaviours", behaviours, "", "0 1", "2 3 4", "is specifed hidden");
        Manifest noUrl = one;
        noUrl[0].downloadUrl = QUrl();
        row("a chosen offer without address stays chosen", noUrl, maya, "0 1 2", "",
            "no url for product ");
        row("empty manifest", {}, maya, "", "", "");
        row("nothing fits, nothing to show", one, ws.mid(2) + "2400000", "", "0 1 2", "is hidden");
    }

    void scenarios()
    {
        QFETCH(Manifest, manifest);
        QFETCH(Machine, records);
        QFETCH(QList<int>, chosen);
        QFETCH(QList<int>, hidden);
        QFETCH(QString, logLine);

        DlrMachineAssay assay;
        assay.SetRecords(records);
        TessTest::LogCapture log;
        DlrSelectionRules rules(manifest, assay);
        rules.chooseDownloads();
        QCOMPARE(rules.chosenIndices(), chosen);
        QCOMPARE(rules.hiddenIndices(), hidden);
        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.lines().join(QLatin1Char('\n'))));
    }

    void bridgeAttemptsOneByOne()
    {
        Manifest manifest = build("24.4", "2226589");
        DlrMachineAssay assay;
        assay.SetRecords(
                machine("Maya|2024; Katana|6.0; Tessaline 24.4 for Maya 2024|24.4|2226589"));
        DlrSelectionRules rules(manifest, assay);

        // Installed for Maya 2024 in this very build.
        QCOMPARE(rules.AttemptSelectTfMFromOffer(&manifest[2], QStringLiteral("maya2024")),
                 DlrSelectionRules::AlreadyInstalled);
        // The "any Maya" bridge looks for "Maya.*", which the installed one also matches.
        QCOMPARE(rules.AttemptSelectTfMFromOffer(&manifest[1], QString()),
                 DlrSelectionRules::AlreadyInstalled);
        QCOMPARE(rules.AttemptSelectTfKFromOffer(&manifest[1], QStringLiteral("katana5.0")),
                 DlrSelectionRules::NotSelected);
        QCOMPARE(rules.AttemptSelectTfKFromOffer(&manifest[1], QStringLiteral("katana6.0")),
                 DlrSelectionRules::Selected);
        QCOMPARE(rules.AttemptSelectTfHFromOffer(&manifest[1], QString()),
                 DlrSelectionRules::NotSelected);
        QCOMPARE(rules.chosenIndices(), QList<int>{1});
    }
};

TESS_TEST_MAIN(TestRules)
#include "tst_rules.moc"
