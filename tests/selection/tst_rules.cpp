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

InstalledRecord host(const QString &name, const QString &version)
{
    return {{QStringLiteral("ProductName"), name}, {QStringLiteral("Version"), version}};
}

InstalledRecord product(const QString &name, const QString &version, const QString &buildId)
{
    InstalledRecord r = host(name, version);
    r.insert(QStringLiteral("BuildId"), buildId);
    r.insert(QStringLiteral("Location"), QStringLiteral("/opt/Orrel/x"));
    return r;
}

InstalledRecord server(const QString &version, const QString &buildId)
{
    return product(QStringLiteral("Tessaline Workserver ") + version, version, buildId);
}

} // namespace

class TestRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios_data()
    {
        QTest::addColumn<Manifest>("manifest");
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<QList<int>>("chosen");
        QTest::addColumn<QList<int>>("hidden");
        QTest::addColumn<QString>("logLine");

        const Machine maya2024{host("Maya", "2024")};

        QTest::newRow("newest major only, bridges for the Mayas present")
                << build("25.1", "2301450") + build("24.4", "2226589") << maya2024
                << QList<int>{0, 1, 2} << QList<int>{3, 4, 5} << "Found  0  candidates";
        QTest::newRow("installed Workserver of an older major makes its group count")
                << build("25.1", "2301450") + build("24.4", "2226589")
                << Machine{host("Maya", "2024"), server("24.4", "2226000")}
                << QList<int>{0, 1, 2, 3, 4, 5} << QList<int>() << "Found  1  candidates";
        QTest::newRow("major 9 sorts before 24 and is the unconditional one")
                << Manifest{offer("TessalineWorkserver-24.4_2226589-win64.msi",
                                  "Tessaline Workserver 24.4", "24.4", "2226589"),
                            offer("TessalineWorkserver-9.5_900000-win64.msi",
                                  "Tessaline Workserver 9.5", "9.5", "900000")}
                << Machine() << QList<int>{1} << QList<int>{0} << "Attempting to find TWS for v";
        QTest::newRow("only the newest build of a major")
                << build("25.1", "2301450") + build("25.1", "2299999") << maya2024
                << QList<int>{0, 1, 2} << QList<int>{3, 4, 5} << "Selecting TWS";
        QTest::newRow("build ids compare as text")
                << build("25.1", "2301450") + build("25.1", "999999") << maya2024
                << QList<int>{3, 4, 5} << QList<int>{0, 1, 2} << "Selecting TWS";
        QTest::newRow("same build installed: bridges still")
                << build("25.1", "2301450")
                << Machine{host("Maya", "2024"), server("25.1", "2301450")} << QList<int>{1, 2}
                << QList<int>{0} << "is already installed";
        QTest::newRow("newer build installed: nothing of the group")
                << build("25.1", "2301450")
                << Machine{host("Maya", "2024"), server("25.1", "2400000")} << QList<int>()
                << QList<int>{0, 1, 2}
                << "Could not install or find a matching TWS -- we can't select any matching "
                   "bridge products";
        QTest::newRow("older build installed: down-rev")
                << build("25.1", "2301450")
                << Machine{host("Maya", "2024"), server("25.1", "2300000")} << QList<int>{0, 1, 2}
                << QList<int>() << "found down-rev buildid.";
        QTest::newRow("group without Workserver")
                << build("25.1", "2301450").mid(1) << maya2024 << QList<int>() << QList<int>{0, 1}
                << "Could not install or find a matching TWS";
        QTest::newRow("Workserver label without version compares with any installed")
                << Manifest{offer("TessalineWorkserver_2301450-win64.msi", "Tessaline Workserver",
                                  "25.1", "2301450")}
                << Machine{server("24.4", "2400000")} << QList<int>() << QList<int>{0} << "No TWS";

        Manifest mayaOffers = build("24.4", "2226589").mid(0, 1);
        mayaOffers << offer("TessalineForMaya-24.4-maya2022_2226589-win64.msi", "", "", "2226589")
                   << offer("TessalineForMaya-24.4-maya2024_2226589-win64.msi", "", "", "2226589")
                   << offer("TessalineForMaya-24.4_2226589-win64.msi", "", "", "2226589");
        QTest::newRow("Maya 2022 and 2023 against 2022, 2024 and any")
                << mayaOffers << Machine{host("Maya", "2022"), host("Maya", "2023")}
                << QList<int>{0, 1, 3} << QList<int>{2}
                << "Found a matching maya version for the offer requesting";
        QTest::newRow("bridge build already installed for that Maya")
                << mayaOffers.mid(0, 2)
                << Machine{host("Maya", "2022"),
                           product("Tessaline 24.4 for Maya 2022", "24.4", "2226589")}
                << QList<int>{0} << QList<int>{1} << "Offer already installed";
        QTest::newRow("another bridge build installed does not prevent it")
                << mayaOffers.mid(0, 2)
                << Machine{host("Maya", "2022"),
                           product("Tessaline 24.4 for Maya 2022", "24.4", "2226000")}
                << QList<int>{0, 1} << QList<int>() << "Selecting TWS";
        QTest::newRow("bridges without any Maya")
                << build("25.1", "2301450") << Machine() << QList<int>{0} << QList<int>{1, 2}
                << "No Mayas present in the assay.";

        QTest::newRow("Katana and Houdini bridges")
                << build("25.1", "2301450").mid(0, 1)
                           + Manifest{offer("TessalineForKatana-25.1-katana6.0_2301450-win64.msi",
                                            "", "", "2301450"),
                                      offer("TessalineForKatana-25.1-katana5.0_2301450-win64.msi",
                                            "", "", "2301450"),
                                      offer("TessalineForHoudini-25.1_2301450-win64.msi", "", "",
                                            "2301450"),
                                      offer("TessalineForHoudini-25.1-houdini19.5_2301450-"
                                            "win64.msi",
                                            "", "", "2301450"),
                                      offer("TessalineForNuke-25.1_2301450-win64.msi", "", "",
                                            "2301450")}
                << Machine{host("Katana", "6.0"), host("Houdini", "20.0")} << QList<int>{0, 1, 3}
                << QList<int>{2, 4, 5} << "No auto selection handler for";
        QTest::newRow("Houdini bridge without Houdini")
                << build("25.1", "2301450").mid(0, 1)
                           + Manifest{offer("TessalineForHoudini-25.1_2301450-win64.msi", "", "",
                                            "2301450")}
                << Machine{host("Maya", "2024")} << QList<int>{0} << QList<int>{1}
                << "No houdini present in the assay.";

        Manifest behaviours = build("25.1", "2301450").mid(0, 1);
        behaviours << offer("Docs-25.1.zip", "Release notes", "25.1", "2301450", "show")
                   << offer("Samples-25.1.zip", "Samples", "25.1", "2301450", "Show")
                   << offer("Harrow-25.1.msi", "Harrow Queue 25.1", "25.1", "2301450")
                   << offer("Other-25.1.msi", "Other Tool", "25.1", "2301450")
                   << offer("Empty-25.1.msi", "Empty", "25.1", "2301450", "show", 0)
                   << offer("Nowhere-25.1.msi", "Nowhere", "25.1", "2301450", "show", 1000, "")
                   << offer("TessalineForMaya-25.1_2301450-win64.msi", "Tessaline for Maya 25.1",
                            "25.1", "2301450", "show", 0);
        QTest::newRow("default behaviours") << behaviours << Machine() << QList<int>{0, 1}
                                            << QList<int>{2, 3, 4} << "is specifed hidden";
        Manifest noUrl = build("25.1", "2301450");
        noUrl[0].downloadUrl = QUrl();
        QTest::newRow("a chosen offer without address stays chosen")
                << noUrl << maya2024 << QList<int>{0, 1, 2} << QList<int>()
                << "no url for product ";
        QTest::newRow("empty manifest")
                << Manifest() << maya2024 << QList<int>() << QList<int>() << QString();
        QTest::newRow("nothing fits, nothing to show")
                << build("25.1", "2301450") << Machine{server("25.1", "2400000")} << QList<int>()
                << QList<int>{0, 1, 2} << "is hidden";
    }

    void scenarios()
    {
        QFETCH(Manifest, manifest);
        QFETCH(Machine, machine);
        QFETCH(QList<int>, chosen);
        QFETCH(QList<int>, hidden);
        QFETCH(QString, logLine);

        DlrMachineAssay assay;
        assay.SetRecords(machine);
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
        assay.SetRecords({host("Maya", "2024"), host("Katana", "6.0"),
                          product("Tessaline 24.4 for Maya 2024", "24.4", "2226589")});
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
