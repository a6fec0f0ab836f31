// Offer records, the manifest reader and the offer tree: pure logic, no window or network.
#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "OfferTree.h"
#include "Offers.h"
#include "TestSupport.h"

using TessTest::Offer;

namespace {
// One offer as "name|simple|build|size|behavior|major.minor.beta|url[|sha256]"; offers joined
// by "; ".
QString render(const QList<DlrManifestElement> &list)
{
    QStringList all;
    for (const DlrManifestElement &e : list)
        all << QStringList{e.name,
                           e.simpleName,
                           e.buildId,
                           QString::number(e.fileSize),
                           e.defaultBehavior,
                           e.versionMajor + '.' + e.versionMinor + '.' + e.versionBeta,
                           e.downloadUrl.toString(QUrl::FullyEncoded)}
                                .join('|')
                        + (e.sha256.isEmpty() ? QString() : '|' + e.sha256);
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
        struct Row
        {
            const char *label, *given, *expected; // given: major|minor|beta from the manifest
        };
        // expected: two-digit version of the label, VersionText, major
        for (const Row &row :
             {Row{"Tessaline Workserver 24.4", "||", "24.4 . "},
              Row{"Bridge 23.1 for Houdini 19.5", "||", "23.1 . "}, // the first
              Row{"Tessaline 7.5", "||", "none . "}, Row{"Tessaline 07.5", "||", "none . "},
              Row{"TessalineForMaya-24.4b2-maya2022", "||", "24.4 24.4b2 24"},
              Row{"TessalineForMaya-24.4b2-maya2022", "25|1|", "24.4 25.1 25"},
              Row{"TessalineWorkserver-24.4b2", "23||", "24.4 24.4b2 24"}, // a part missing
              Row{"Harrow Engine", "23||", "none 23. 23"},
              Row{"Harrow", "24|4|  b2 \n", "none 24.4b2 24"}, // beta trimmed
              Row{"Harrow", "24|4| \t ", "none 24.4 24"}}) {
            DlrManifestElement e = Offer(QStringLiteral("other-9.9.msi")).label(row.label);
            const QStringList parts = QString(row.given).split('|');
            e.SetVersion(parts.at(0), parts.at(1), parts.at(2));
            QString twoDigit = QStringLiteral("none");
            const bool none = e.GetVersion(twoDigit); // true when there is none
            QCOMPARE(none, twoDigit == QLatin1String("none"));
            QCOMPARE(QStringList({twoDigit, e.VersionText(), e.GetMajorVersion().major}).join(' '),
                     QLatin1String(row.expected));
            QCOMPARE(e.GetMajorVersion().VersionText(), e.GetMajorVersion().major + ".0");
        }
    }

    void offerKinds()
    {
        // label -> Workserver, for Maya, Atelier, Harrow
        const QList<QPair<const char *, const char *>> rows{
                {"Tessaline Workserver 25.1", "1000"},
                {"Tessaline workserver 25.1", "0000"},
                {"Tessaline 25.1 for Maya 2024", "0100"},
                {"Bridge 25.1 for Maya", "0000"},
                {"Tessaline Atelier 25.1 Maya", "0010"},
                {"Tessaline Atelier 25.1 for Maya", "0110"},
                {"Harrow Engine 3.0", "0001"},
                {"Tessaline Queue Manager 25.1", "0000"}};
        for (const auto &row : rows) {
            // The label counts, not the name.
            const DlrManifestElement e = Offer(QStringLiteral("Workserver Harrow.msi"))
                                                 .label(QLatin1String(row.first));
            const QString kinds
                    = QString::number(IsWorkserverOffer(e)) + QString::number(IsTfmOffer(e))
                      + QString::number(IsAtelierOffer(e)) + QString::number(IsHarrowOffer(e));
            QCOMPARE(kinds, QLatin1String(row.second));
        }
    }

    void reader()
    {
        struct Row
        {
            const char *body;
            bool ok;
            const char *offers, *success;
        };
        const Row rows[]
                = {{"<ProductInfo><Name>W-25.1.msi</Name><SimpleName>W 25.1</SimpleName><BuildID>"
                    "2301450</BuildID><DownloadURL>http://h/a.msi</DownloadURL><FileSize>1048576"
                    "</FileSize><VersionMajor>25</VersionMajor><VersionMinor>1</VersionMinor>"
                    "<VersionBeta>b2</VersionBeta><DefaultBehavior>show</DefaultBehavior>"
                    "</ProductInfo><ProductInfo><Name>second.msi</Name></ProductInfo>",
                    true,
                    "W-25.1.msi|W 25.1|2301450|1048576|show|25.1.b2|http://h/a.msi; "
                    "second.msi|||0||..|",
                    ""},
                   // Conversions; the later element wins.
                   {"<ProductInfo><FileSize>12 MB</FileSize><BuildID>0042</BuildID><DownloadURL>"
                    "http://h/a file.msi</DownloadURL></ProductInfo><ProductInfo><FileSize>-"
                    "</FileSize><FileSize>99999999999</FileSize><VersionBeta>  </VersionBeta>"
                    "</ProductInfo>",
                    true, "||0042|0||..|http://h/a%20file.msi; |||99999999999||..|", ""},
                   // Fields outside records; case; depth.
                   {"stray text<ProductInfo><name>lower</name><Name>Proper</Name></ProductInfo>"
                    "<Name>Renamed</Name><Deep><X a='1'><BuildID>7</BuildID></X></Deep>"
                    "<?pi x?><Unknown>ignored</Unknown>",
                    true, "Renamed||7|0||..|", ""},
                   // The success address counts after the first record; the last wins.
                   {"<DLRSuccessURL>http://early/x</DLRSuccessURL><ProductInfo/><DLRSuccessURL>"
                    "http://one/ok</DLRSuccessURL><DLRSuccessURL>http://two/ok</DLRSuccessURL>",
                    true, "|||0||..|", "http://two/ok"},
                   // An empty element hands its field on.
                   {"<ProductInfo><Name>n</Name><DefaultBehavior/>\n  <BuildID>5</BuildID>"
                    "</ProductInfo>",
                    true, "n||5|0|\n  |..|", ""},
        // A digest is taken only as 64 hex digits.
#define TESS_HEX48 "0123456789abcdef0123456789abcdef0123456789abcdef"
                   {"<ProductInfo><SHA256>\n" TESS_HEX48 "0123456789ABCDEF</SHA256></ProductInfo>"
                    "<ProductInfo><SHA256>" TESS_HEX48 "0123456789abcde</SHA256></ProductInfo>"
                    "<ProductInfo><SHA256>" TESS_HEX48 "0123456789abcdeg</SHA256></ProductInfo>",
                    true, "|||0||..||" TESS_HEX48 "0123456789abcdef; |||0||..|; |||0||..|", ""},
                   {"<Name>orphan</Name><ProductInfo><Name>a</Name></ProductInfo>", false, "", ""},
                   {"<ProductInfo><Name>kept</Name></ProductInfo><ProductInfo><Name>x</Nme>", false,
                    "kept|||0||..|; x|||0||..|", ""}};
        for (const Row &row : rows) {
            TessTest::LogCapture log;
            QList<DlrManifestElement> list;
            QUrl got(QStringLiteral("http://default/"));
            const QByteArray doc = QByteArray("<?xml version=\"1.0\"?>\n<Manifest>") + row.body
                                   + "</Manifest>\n";
            QCOMPARE(DlrManifestHandler::ParseData(doc, &list, &got), row.ok);
            QCOMPARE(render(list), QLatin1String(row.offers));
            QCOMPARE(got, QUrl(*row.success ? row.success : "http://default/"));
            QCOMPARE(log.count(QStringLiteral("Fatal error on line")), int(!row.ok));
        }
    }

    void hostileDocuments()
    {
        const QByteArray quiet
                = QByteArray("<!-- <a><a> --><![CDATA[<a><a>]]><?pi <a>?><e/><f a='>'/>")
                          .repeated(300);
        const QByteArray quoted = "<a x='/>' y=\"a>b\">"; // '>' in attributes
        const QList<QPair<QByteArray, bool>> rows{
                {nested(255), true},
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
                QCOMPARE(render(list), QStringLiteral("deep||7|0||..|"));
        }
    }

    void entities()
    {
        // A few levels expand; ten levels of ten (3 * 10^10 characters) are refused.
        auto laughs = [](int levels) {
            QByteArray doc = "<!DOCTYPE M [<!ENTITY l0 \"lol\">";
            for (int level = 1; level <= levels; ++level)
                doc += "<!ENTITY l" + QByteArray::number(level) + " \""
                       + ("&l" + QByteArray::number(level - 1) + ";").repeated(levels == 2 ? 3 : 10)
                       + "\">";
            return doc + "]><M><ProductInfo><Name>&l" + QByteArray::number(levels)
                   + ";</Name></ProductInfo></M>";
        };
        QList<DlrManifestElement> list;
        QVERIFY(DlrManifestHandler::ParseData(laughs(2), &list));
        QCOMPARE(render(list), QStringLiteral("lol").repeated(9) + "|||0||..|");
        QVERIFY(!DlrManifestHandler::ParseData(laughs(10), &list));

        // External entities are not fetched.
        QTemporaryFile secret;
        QVERIFY(secret.open());
        secret.write("SECRET-CONTENT");
        secret.flush();
        QList<DlrManifestElement> external;
        DlrManifestHandler::ParseData(
                "<!DOCTYPE M [<!ENTITY x SYSTEM \"file://" + QFile::encodeName(secret.fileName())
                        + "\">]><M><ProductInfo><Name>&x;</Name></ProductInfo></M>",
                &external);
        QVERIFY(!render(external).contains(QStringLiteral("SECRET")));
    }

    void treeGroupsByMajorAndNewestBuild()
    {
        QList<DlrManifestElement> list{
                Offer("a").label("TessalineWorkserver-24.4").build("100"),
                Offer("b").label("Tessaline-24.4 for Maya 2022").build("100"),
                Offer("c").label("TessalineWorkserver-24.3").build("099"),
                Offer("d").label("Tessaline Workserver 24.4").build("100").version("24.4"),
                Offer("e").label("T-9.0").build("1"),
                Offer("f").label("T-26.0").build("2301450"),
                Offer("g").label("T-26.1").build("987654"),
                Offer("h").label("T-26.2"),
                Offer("i").label("Harrow Engine").build("5")};
        OfferTree tree;
        for (DlrManifestElement &e : list)
            tree.AddOffer(&e);
        // Keys are text, greatest first: "9" before "26", a six-digit build before a
        // seven-digit one; no version or no build id sorts last.
        QCOMPARE(tree.Versions(), (QStringList{"9", "26", "24", ""}));
        QCOMPARE(tree.BuildIds("24"), (QStringList{"100", "099"}));
        QCOMPARE(tree.BuildIds("26"), (QStringList{"987654", "2301450", ""}));
        QCOMPARE(tree.NewestBuildId("26"), QStringLiteral("987654"));
        QCOMPARE(tree.NewestBuildId("30"), QString());
        QCOMPARE(tree.Offers("24", "100"),
                 (QList<DlrManifestElement *>{&list[0], &list[1], &list[3]}));
        QCOMPARE(tree.Offers("", "5"), QList<DlrManifestElement *>{&list[8]});
    }
};

TESS_TEST_MAIN(TestManifestModel)
#include "tst_manifestmodel.moc"
