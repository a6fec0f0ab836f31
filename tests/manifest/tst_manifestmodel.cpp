// Offer records, the manifest reader and the offer tree: pure logic, no window or network.
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "OfferTree.h"
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
                   {"Harrow", "24|4|  b2 \n", "none 24.4b2 24"}, // beta trimmed
                   {"Harrow", "24|4| \t ", "none 24.4 24"}};
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

    // Keys are text, greatest first: "9" before "26", a six-digit build before a seven-digit
    // one; no version or no build id sorts last.
    void treeGroupsByMajorAndNewestBuild()
    {
        QList<DlrManifestElement> list; // label|build id
        for (const QString offer : {"W-24.4|100", "T-24.4 for Maya|100", "W-24.3|099", "T-9.0|1",
                                    "T-26.0|2301450", "T-26.1|987654", "T-26.2|", "Harrow|5"})
            list << Offer("x").label(offer.section('|', 0, 0)).build(offer.section('|', 1));
        OfferTree tree;
        for (DlrManifestElement &e : list)
            tree.AddOffer(&e);
        QCOMPARE(QStringList({tree.Versions().join(','), tree.BuildIds("24").join(','),
                              tree.BuildIds("26").join(','), tree.NewestBuildId("26")})
                         .join(' '),
                 QStringLiteral("9,26,24, 100,099 987654,2301450, 987654"));
        QCOMPARE(tree.Offers("24", "100"), (QList<DlrManifestElement *>{&list[0], &list[1]}));
        QCOMPARE(tree.Offers("", "5"), QList<DlrManifestElement *>{&list[7]});
    }
};

TESS_TEST_MAIN(TestManifestModel)
#include "tst_manifestmodel.moc"
