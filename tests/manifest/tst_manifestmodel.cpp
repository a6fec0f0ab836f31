// Pure logic: offer records, the manifest reader, the automatic selection; the command line,
// the processor gate, byte counts, the fallback of the network error texts.
#include "DlrCpu.h"
#include "DlrMachineAssay.h"
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "DlrOptions.h"
#include "DlrSelectionRules.h"
#include "DlrTexts.h"
#include "Offers.h"
#include "TestSupport.h"

using TessTest::Offer;

namespace {
// Each offer as "name|simple|build|size|behavior|major.minor.beta|url|sha256", joined by "; ".
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
QByteArray nested(int depth, const QByteArray &open = "<a>", const QByteArray &filler = {})
{
    return "<M><ProductInfo><Name>deep</Name></ProductInfo>" + filler + open.repeated(depth - 2)
           + "<BuildID>7</BuildID>" + QByteArray("</a>").repeated(depth - 2) + "</M>";
}

// user pass server scheme path manifest append dump debug; a null text shows as "~".
QString renderConfig(const DlrConfig &c)
{
    QStringList fields;
    for (const QString *s : {&c.userName, &c.password, &c.manifestServer, &c.manifestScheme,
                             &c.manifestPath, &c.manifestFile, &c.appendManifestFile})
        fields << (s->isNull() ? QStringLiteral("~") : *s);
    fields << QString::number(c.dumpManifest) << QString::number(c.debugRequested);
    return fields.join(QLatin1Char(' '));
}
} // namespace

class TestManifestModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versions()
    {
        // label, major|minor|beta; the label's two-digit version, VersionText, major
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
        // A manifest's body; the offers read, " @" and any success address, " !" when refused.
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
                   // A digest counts anywhere inside an offer, and nowhere outside one.
                   {"<SHA256>" TESS_HEX48 "fedcba9876543210</SHA256><ProductInfo><Name>a</Name>"
                    "<Files><SHA256>" TESS_HEX48 "0123456789abcdef</SHA256></Files><BuildID>1"
                    "</BuildID></ProductInfo><SHA256>" TESS_HEX48 "fedcba9876543210</SHA256>",
                    "a||1|0||..||" TESS_HEX48 "0123456789abcdef ?"},
                   {"<ProductInfo><Name>kept</Name></ProductInfo><ProductInfo><Name>x</Nme>",
                    "kept|||0||..||; x|||0||..|| !"}};
        for (const auto &row : rows) {
            TessTest::LogCapture log;
            QList<DlrManifestElement> list;
            QUrl got;
            const bool ok = DlrManifestHandler::ParseData(
                    QByteArray("<?xml version=\"1.0\"?>\n<Manifest>") + row[0] + "</Manifest>\n",
                    &list, &got);
            QCOMPARE(
                    render(list) + (got.isEmpty() ? "" : " @" + got.toString()) + (ok ? "" : " !")
                            + (log.contains("Ignoring a SHA256 outside a ProductInfo") ? " ?" : ""),
                    QLatin1String(row[1]));
            QCOMPARE(log.count(QStringLiteral("Fatal error on line")), int(!ok));
        }
    }

    void hostileDocuments()
    {
        const QByteArray quoted = "<a x='/>' y=\"a>b\">"; // '>' in attributes
        const QByteArray quiet                            // markup that opens no element
                = QByteArray("<!-- <a><a> --><![CDATA[<a><a>]]><?pi <a>?><e/><f a='>'/>")
                          .repeated(300);
        const QList<QPair<QByteArray, bool>> rows{
                {nested(256), true},
                {nested(257), false},
                {nested(256, quoted), true},
                {nested(257, quoted), false},
                {"<!DOCTYPE M [<!ENTITY e \"<b>\"> <!-- <x> -->]>\n" + nested(256, "<a>", quiet),
                 true},
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

    // The selection rules on one manifest: survey records in, chosen and hidden indices out (and a
    // log line that shows why). The end-to-end run and the page test add their machines.
    void selectionRules()
    {
        // "name|label|version|build id|behavior|size|url": the 25.1 group (0-4), by behaviour, of
        // no size, without address (5-8), the older major (9), an older build of 25.1 (10).
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
        // "name|version[|build id]": with a build id an installed product, else a host application.
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

    void commandLine()
    {
        const QByteArray usage = DlrOptions::usageText().toLocal8Bit() + '\n';
        const char *plain = "~ ~ def.host https ~ ~ ~ 0 0";
        // Arguments separated by '|', the configuration, the output, the arguments not read (a run
        // without questions refuses them).
        QList<QByteArrayList> rows{
                {"-manifestserverscheme|https|-manifestserver|h", "~ ~ h http ~ ~ ~ 0 0", ""},
                {"-manifestserver|h|-manifestserverscheme|https", "~ ~ h https ~ ~ ~ 0 0", ""},
                {"-user|u|-pass| p "
                 "|-manifesturl|x/y.php|-appendmanifest|a.xml|-manifest|m.xml|-debug",
                 "u  p  def.host https x/y.php m.xml a.xml 0 1", ""},
                {"-user|-debug", "-debug ~ def.host https ~ ~ ~ 0 0", ""}, // whatever it looks like
                {"-pass|p|-user", "~ p def.host https ~ ~ ~ 0 0", "Unknown option -user\n\n",
                 "-user needs a value"},
                {"-Debug|stray.txt|-dumpManifest|--bogus", "~ ~ def.host https ~ ~ ~ 1 0",
                 "Unknown option -Debug\n\nUnknown option --bogus\n\n",
                 "Unknown option -Debug; Unexpected argument stray.txt; Unknown option --bogus"},
                {"-trustcert|a|-trustcert|b|-report", plain, "Unknown option -report\n\n",
                 "-report needs a value"}};
        // Help stops the parsing: nothing after it is read.
        for (const char *help : {"-help", "--help", "-h"})
            rows.append({"-bogus|" + QByteArray(help) + "|-user|late", plain,
                         "Unknown option -bogus\n\n" + usage, "Unknown option -bogus"});
        for (const QByteArrayList &row : rows) {
            DlrConfig c;
            c.manifestServer = QStringLiteral("def.host");
            c.manifestScheme = QStringLiteral("https");
            QByteArray out;
            QStringList problems;
            const QStringList args = QString(row[0]).split('|', Qt::SkipEmptyParts);
            QCOMPARE(DlrOptions::applyCommandLine(QStringList{"prog"} + args, c, &out, &problems),
                     row[2].endsWith(usage) ? DlrOptions::Outcome::Help
                                            : DlrOptions::Outcome::Continue);
            QCOMPARE(row[0] + ": " + renderConfig(c).toLocal8Bit() + '\n' + out
                             + problems.join("; ").toLocal8Bit(),
                     row[0] + ": " + row[1] + '\n' + row[2] + row.value(3));
            QCOMPARE(c.unattended.trustCertificates.join(' '),
                     row[0].count("-trustcert") ? "a b" : "");
        }
    }

    void processorGate()
    {
        using Regs = DlrPlatform::CpuRegisters;
        const quint32 edx = (1u << 25) | (1u << 26);
        const quint32 ecx = (1u << 0) | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 23);
        const quint32 osxsave = 1u << 27;
        QList<QPair<Regs, bool>> rows{{Regs{1, ecx, edx, 0}, true},
                                      {Regs{13, ecx | osxsave, edx, 0x3}, true}, // XMM state saved
                                      {Regs{13, ecx | osxsave, edx, 0x1}, false},
                                      {Regs{0, ecx, edx, 0}, false}}; // leaf 1 not reported
        // One required feature missing is enough to refuse.
        for (int bit : {0, 9, 19, 20, 23})
            rows.append({Regs{1, ecx & ~(1u << bit), edx, 0}, false});
        for (int bit : {25, 26})
            rows.append({Regs{1, ecx, edx & ~(1u << bit), 0}, false});
        for (const auto &row : rows)
            QVERIFY2(DlrCpu::HasCpuFeatures(DlrCpu::FeatureWord(row.first),
                                            DlrCpu::RequiredCpuFeatures)
                             == row.second,
                     qPrintable(QString::number(row.first.leaf1Ecx | row.first.leaf1Edx, 16)));
    }

    void texts()
    {
        QStringList sizes;
        for (qint64 bytes : {0LL, 1023LL, 1024LL, 1536LL, 1048575LL, 1048576LL, 1073741823LL,
                             1073741824LL, 3221225472LL})
            sizes << sizeText(bytes);
        QCOMPARE(sizes.join(' '), QStringLiteral("0b 1023b 1.000KB 1.500KB 1023.999KB 1.00MB "
                                                 "1024.00MB 1.000GB 3.000GB"));
        // Network error codes without a row of the table, including ones the toolkit names.
        for (int code : {8, 106, 207, 499, 1000})
            QCOMPARE(networkErrorText(QNetworkReply::NetworkError(code)),
                     QStringLiteral("Unknown network error %1").arg(code));
    }
};

TESS_TEST_MAIN(TestManifestModel)
#include "tst_manifestmodel.moc"
