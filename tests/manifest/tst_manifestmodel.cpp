// Offer records, the manifest reader and the automatic selection: pure logic, no window or
// network.
#include "DlrMachineAssay.h"
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "DlrSelectionRules.h"
#include "Offers.h"
#include "TestSupport.h"

using TessTest::Offer;

namespace {
// One offer as "name|simple|build|size|behavior|major.minor.beta|url|sha256"; offers joined by
// "; ".
QString render(const QList<DlrManifestElement> &list)
{
    QStringList all;
    for (const DlrManifestElement &e : list)
        all << QStringLiteral("%1|%2|%3|%4|%5|%6.%7.%8|%9|")
                                .arg(e.name, e.simpleName, e.buildId, QString::number(e.fileSize),
                                     e.defaultBehavior, e.versionMajor, e.versionMinor,
                                     e.versionBeta, e.downloadUrl.toString(QUrl::FullyEncoded))
                        + e.sha256;
    return all.join(QStringLiteral("; "));
}

// A manifest whose deepest element (an offer's BuildID) sits at the given depth.
QByteArray nested(int depth, const QByteArray &filler = {}, const QByteArray &open = "<a>")
{
    return "<M><ProductInfo><Name>deep</Name></ProductInfo>" + filler + open.repeated(depth - 2)
           + "<BuildID>7</BuildID>" + QByteArray("</a>").repeated(depth - 2) + "</M>";
}
} // namespace

class TestManifestModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versions()
    {
        // label, major|minor|beta from the manifest; two-digit version of the label, VersionText,
        // major
        const char *rows[][3]
                = {{"Tessaline Workserver 24.4", "||", "24.4 . "},
                   {"Bridge 23.1 for Houdini 19.5", "||", "23.1 . "}, // the first
                   {"Tessaline 7.5", "||", "none . "},
                   {"Tessaline 07.5", "||", "none . "},
                   {"TessalineForMaya-24.4b2-maya2022", "||", "24.4 24.4b2 24"},
                   {"TessalineForMaya-24.4b2-maya2022", "25|1|", "24.4 25.1 25"},
                   {"TessalineWorkserver-24.4b2", "23||", "24.4 24.4b2 24"}, // a part missing
                   {"Harrow Engine", "23||", "none 23. 23"},
                   {"Harrow", "24|4|  b2 \n", "none 24.4b2 24"}}; // beta trimmed
        for (const auto &row : rows) {
            DlrManifestElement e = Offer(QStringLiteral("other-9.9.msi")).label(row[0]);
            const QStringList parts = QString(row[1]).split('|');
            e.SetVersion(parts.at(0), parts.at(1), parts.at(2));
            QString twoDigit = QStringLiteral("none");
            const bool none = e.GetVersion(twoDigit); // true when there is none
            QCOMPARE(none, twoDigit == QLatin1String("none"));
            QCOMPARE(QStringList({twoDigit, e.VersionText(), e.GetMajorVersion().major}).join(' '),
                     QLatin1String(row[2]));
            QCOMPARE(e.GetMajorVersion().VersionText(), e.GetMajorVersion().major + ".0");
        }
    }

    void reader()
    {
#define TESS_HEX48 "0123456789abcdef0123456789abcdef0123456789abcdef"
        // The body of a manifest; the offers read, " @" and the success address when one was
        // read, " !" when the reader refused the document.
        const char *rows[][2]
                = {{"<ProductInfo><Name>W-25.1.msi</Name><SimpleName>W 25.1</SimpleName><BuildID>"
                    "2301450</BuildID><DownloadURL>http://h/a.msi</DownloadURL><FileSize>1048576"
                    "</FileSize><VersionMajor>25</VersionMajor><VersionMinor>1</VersionMinor>"
                    "<VersionBeta>b2</VersionBeta><DefaultBehavior>show</DefaultBehavior>"
                    "</ProductInfo><ProductInfo><Name>second.msi</Name></ProductInfo>",
                    "W-25.1.msi|W 25.1|2301450|1048576|show|25.1.b2|http://h/a.msi|; "
                    "second.msi|||0||..||"},
                   // Conversions; the later element wins.
                   {"<ProductInfo><FileSize>12 MB</FileSize><BuildID>0042</BuildID><DownloadURL>"
                    "http://h/a file.msi</DownloadURL></ProductInfo><ProductInfo><FileSize>-"
                    "</FileSize><FileSize>99999999999</FileSize><VersionBeta>  </VersionBeta>"
                    "</ProductInfo>",
                    "||0042|0||..|http://h/a%20file.msi|; |||99999999999||..||"},
                   // Fields outside records; case; depth.
                   {"stray text<ProductInfo><name>lower</name><Name>Proper</Name></ProductInfo>"
                    "<Name>Renamed</Name><Deep><X a='1'><BuildID>7</BuildID></X></Deep>"
                    "<?pi x?><Unknown>ignored</Unknown>",
                    "Renamed||7|0||..||"},
                   // The success address counts after the first record; the last wins.
                   {"<DLRSuccessURL>http://early/x</DLRSuccessURL><ProductInfo/><DLRSuccessURL>"
                    "http://one/ok</DLRSuccessURL><DLRSuccessURL>http://two/ok</DLRSuccessURL>",
                    "|||0||..|| @http://two/ok"},
                   // An empty element hands its field on.
                   {"<ProductInfo><Name>n</Name><DefaultBehavior/>\n  <BuildID>5</BuildID>"
                    "</ProductInfo>",
                    "n||5|0|\n  |..||"},
                   // A digest is taken only as 64 hex digits.
                   {"<ProductInfo><SHA256>\n" TESS_HEX48 "0123456789ABCDEF</SHA256></ProductInfo>"
                    "<ProductInfo><SHA256>" TESS_HEX48 "0123456789abcde</SHA256></ProductInfo>"
                    "<ProductInfo><SHA256>" TESS_HEX48 "0123456789abcdeg</SHA256></ProductInfo>",
                    "|||0||..||" TESS_HEX48 "0123456789abcdef; |||0||..||; |||0||..||"},
                   {"<Name>orphan</Name><ProductInfo><Name>a</Name></ProductInfo>", " !"},
                   {"<ProductInfo><Name>kept</Name></ProductInfo><ProductInfo><Name>x</Nme>",
                    "kept|||0||..||; x|||0||..|| !"}};
        for (const auto &row : rows) {
            TessTest::LogCapture log;
            QList<DlrManifestElement> list;
            QUrl got;
            const bool ok = DlrManifestHandler::ParseData(
                    QByteArray("<?xml version=\"1.0\"?>\n<Manifest>") + row[0] + "</Manifest>\n",
                    &list, &got);
            QCOMPARE(render(list) + (got.isEmpty() ? "" : " @" + got.toString()) + (ok ? "" : " !"),
                     QLatin1String(row[1]));
            QCOMPARE(log.count(QStringLiteral("Fatal error on line")), int(!ok));
        }
    }

    void hostileDocuments()
    {
        const QByteArray quiet
                = QByteArray("<!-- <a><a> --><![CDATA[<a><a>]]><?pi <a>?><e/><f a='>'/>")
                          .repeated(300);
        const QByteArray quoted = "<a x='/>' y=\"a>b\">"; // '>' in attributes
        const QList<QPair<QByteArray, bool>> rows{
                {nested(256), true},
                {nested(257), false},
                {nested(256, {}, quoted), true},
                {nested(257, {}, quoted), false},
                {"<!DOCTYPE M [<!ENTITY e \"<b>\"> <!-- <x> -->]>\n" + nested(256, quiet), true},
                {nested(200000), false},
                {"<M>" + QByteArray("<a>").repeated(1000000), false}}; // never closed
        for (const auto &row : rows) {
            TessTest::LogCapture log;
            QList<DlrManifestElement> list;
            QCOMPARE(DlrManifestHandler::ParseData(row.first, &list), row.second);
            QCOMPARE(log.contains(QStringLiteral("Manifest nested deeper than")), !row.second);
            if (row.second)
                QCOMPARE(render(list), QStringLiteral("deep||7|0||..||"));
        }
    }

    // The automatic selection rules on one manifest: what the survey found in, the chosen and
    // hidden manifest indices out (and a log line that shows why). The end-to-end run and the
    // page test add the machines they make up.
    void selectionRules()
    {
        // "name|label|version|build id|behavior|size|url": the 25.1 group (0-4), offers shown or
        // hidden by their default behaviour, of no size, without address (5-8), the older
        // major's Workserver (9), and an older build of 25.1 (10).
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
                     "2226589; TessalineWorkserver-25.1_2299999-win64.msi|Tessaline Workserver "
                     "25.1|25.1|2299999")
                     .split(QStringLiteral("; "))) {
            const QStringList f = offer.split('|');
            manifest << Offer(f.at(0))
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
                = {{"", "0 5 / 1 2 3 4 6 9 10", "No Mayas present in the assay."},
                   {"Maya|2022; Katana|6.0; Houdini|19.5", "0 1 2 3 4 5 / 6 9 10",
                    "Found a matching katana version for the offer requesting"},
                   {"Maya|2023; Katana|5.0; Tessaline Workserver 24.4|24.4|2226000",
                    "0 1 9 5 / 2 3 4 6 10", "found down-rev buildid."},
                   {"Maya|2022; Tessaline Workserver 25.1|25.1|2400000", "5 / 0 1 2 3 4 6 9 10",
                    "Could not install or find a matching TWS -- we can't select any"},
                   {"Maya|2022; Tessaline Workserver 25.1|25.1|2301450; Tessaline 25.1 for Maya "
                    "2022|25.1|2301450",
                    "5 / 0 1 2 3 4 6 9 10", "Offer already installed"}};
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

TESS_TEST_MAIN(TestManifestModel)
#include "tst_manifestmodel.moc"
