// The automatic selection rules on one manifest as a table: what the survey found in, the chosen
// and hidden manifest indices out (and a log line that shows why). The end-to-end run and the
// page test add the machines they make up.
#include "DlrMachineAssay.h"
#include "DlrSelectionRules.h"
#include "Offers.h"
#include "TestSupport.h"

class TestRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scenarios()
    {
        // "name|label|version|build id|behavior|size|url": the 25.1 group (0-4), offers shown or
        // hidden by their default behaviour, of no size, without address (5-8), and the older
        // major's Workserver (9).
        QList<DlrManifestElement> manifest;
        for (const QString &offer :
             QStringLiteral(
                     "TessalineWorkserver-25.1_2301450-win64.msi|Tessaline Workserver 25.1|25.1; "
                     "TessalineForMaya-25.1_2301450-win64.msi|Tessaline for Maya 25.1|25.1; "
                     "TessalineForMaya-25.1-maya2022_2301450-win64.msi||25.1; "
                     "TessalineForKatana-25.1-katana6.0_2301450-win64.msi||25.1; "
                     "TessalineForHoudini-25.1-houdini19.5_2301450-win64.msi||25.1; "
                     "Docs-25.1.zip|Release notes|25.1|2301450|show; "
                     "Samples-25.1.zip|Samples|25.1|2301450|Show; "
                     "Empty-25.1.zip|Empty|25.1|2301450|show|0; "
                     "Nowhere-25.1.zip|Nowhere|25.1|2301450|show|1000|; "
                     "TessalineWorkserver-24.4_2226589-win64.msi|Tessaline Workserver 24.4|24.4|"
                     "2226589")
                     .split(QStringLiteral("; "))) {
            const QStringList f = offer.split('|');
            manifest << TessTest::Offer(f.at(0))
                                .label(f.value(1))
                                .version(f.value(2))
                                .build(f.value(3, "2301450"))
                                .behavior(f.value(4))
                                .size(f.value(5, "1000").toLongLong())
                                .url(f.value(6, "https://127.0.0.1/products/p.msi"));
        }
        // Survey records "name|version[|build id]": with a build id an installed product (it
        // has a folder), without one a host application; chosen " / " hidden; a log line.
        const char *rows[][3]
                = {{"", "0 5 / 1 2 3 4 6 9", "No Mayas present in the assay."},
                   {"Maya|2022; Katana|6.0; Houdini|19.5", "0 1 2 3 4 5 / 6 9",
                    "Found a matching katana version for the offer requesting"},
                   {"Maya|2023; Katana|5.0; Tessaline Workserver 24.4|24.4|2226000",
                    "0 1 9 5 / 2 3 4 6", "found down-rev buildid."},
                   {"Maya|2022; Tessaline Workserver 25.1|25.1|2400000", "5 / 0 1 2 3 4 6 9",
                    "Could not install or find a matching TWS -- we can't select any"},
                   {"Maya|2022; Tessaline Workserver 25.1|25.1|2301450; Tessaline 25.1 for Maya "
                    "2022|25.1|2301450",
                    "5 / 0 1 2 3 4 6 9", "Offer already installed"}};
        for (const auto &row : rows) {
            QList<InstalledRecord> records;
            for (const QString &record : QString(row[0]).split("; ", Qt::SkipEmptyParts)) {
                const QStringList f = record.split('|');
                records.append({{"ProductName", f.at(0)}, {"Version", f.at(1)}});
                if (f.size() > 2)
                    records.last().insert({{"BuildId", f.at(2)}, {"Location", "/opt/Orrel/x"}});
            }
            DlrMachineAssay assay;
            assay.SetRecords(records);
            TessTest::LogCapture log;
            DlrSelectionRules rules(manifest, assay);
            rules.chooseDownloads();
            QString result = QString(row[0]) + ": ";
            const QList<int> all = rules.chosenIndices() + QList<int>{-1} + rules.hiddenIndices();
            for (int i : all)
                result += i < 0 ? QStringLiteral("/ ") : QString::number(i) + ' ';
            QCOMPARE(result, QString(row[0]) + ": " + row[1] + ' ');
            QVERIFY2(log.contains(row[2]), row[0]);
        }
    }
};

TESS_TEST_MAIN(TestRules)
#include "tst_rules.moc"
