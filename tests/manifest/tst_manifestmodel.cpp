// Offer records, the manifest reader and the offer tree: pure logic, no window or network.

#include "DlrManifestElement.h"
#include "DlrManifestHandler.h"
#include "OfferTree.h"
#include "TestSupport.h"

#include <QPointer>
#include <QtTest>

namespace {
DlrManifestElement offer(const QString &simpleName,
                         const QString &buildId = QString(),
                         const QString &name = QString())
{
    DlrManifestElement e;
    e.simpleName = simpleName;
    e.buildId = buildId;
    e.name = name.isEmpty() ? simpleName : name;
    return e;
}

QByteArray document(const QByteArray &body)
{
    return "<?xml version=\"1.0\"?>\n<Manifest>\n" + body + "\n</Manifest>\n";
}
} // namespace

class TestManifestModel : public QObject
{
    Q_OBJECT

private slots:
    // --- records and versions ---
    void labelAndTwoDigitVersion_data();
    void labelAndTwoDigitVersion();
    void givenVersionsWinOverTheLabel();
    void partialVersionIsCompletedFromTheLabel();
    void majorVersionAndText();
    void setVersionKeepsEmptyParts();
    void offerKinds_data();
    void offerKinds();
    void fileObjectIsDeletedOnceWithTheLastCopy();

    // --- reader ---
    void twoRecordsInDocumentOrder();
    void conversions();
    void fieldsOutsideRecordsAndOddPlaces();
    void successUrlOnlyAfterTheFirstRecord();
    void emptyElementHandsOnItsField();
    void recordFieldBeforeAnyRecordStopsTheParse();
    void malformedXmlFailsAfterKeepingEarlierRecords();
    void secondDocumentAppends();

    // --- offer tree ---
    void treeGroupsByMajorAndBuild();
    void treeOrdersKeysAsText();
    void treeLookupsOfMissingKeysLeaveEntries();
    void treeDebugPrint();
};

void TestManifestModel::labelAndTwoDigitVersion_data()
{
    QTest::addColumn<QString>("simpleName");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("noVersion");
    QTest::addColumn<QString>("version");

    QTest::newRow("simple name wins") << "Tessaline Workserver 24.4"
                                      << "other-9.9.msi" << false << "24.4";
    QTest::newRow("name when simple empty") << ""
                                            << "Tessaline 25.12 for Maya" << false << "25.12";
    QTest::newRow("no number") << "Harrow Engine"
                               << "Harrow-24.4.msi" << true << "";
    QTest::newRow("one digit major") << "Tessaline 7.5"
                                     << "" << true << "";
    QTest::newRow("leading zero") << "Tessaline 07.5"
                                  << "" << true << "";
    QTest::newRow("first of several") << "Bridge 23.1 for Houdini 19.5"
                                      << "" << false << "23.1";
}

void TestManifestModel::labelAndTwoDigitVersion()
{
    QFETCH(QString, simpleName);
    QFETCH(QString, name);
    QFETCH(bool, noVersion);
    QFETCH(QString, version);

    DlrManifestElement e;
    e.simpleName = simpleName;
    e.name = name;
    QCOMPARE(e.label(), simpleName.isEmpty() ? name : simpleName);

    TessTest::LogCapture log;
    QString found = QStringLiteral("untouched");
    QCOMPARE(e.GetVersion(found), noVersion);
    QCOMPARE(found, noVersion ? QStringLiteral("untouched") : version);
    QCOMPARE(log.contains(QStringLiteral("Product with no version")), noVersion);
}

void TestManifestModel::givenVersionsWinOverTheLabel()
{
    DlrManifestElement e
            = offer(QString(), QString(), QStringLiteral("TessalineForMaya-24.4b2-maya2022"));
    e.SetVersion(QStringLiteral("25"), QStringLiteral("1"), QString());
    const ProductVersion v = e.GetProductVersion();
    QCOMPARE(v.major, QStringLiteral("25"));
    QCOMPARE(v.minor, QStringLiteral("1"));
    QVERIFY(v.suffix.isNull());
    QCOMPARE(e.VersionText(), QStringLiteral("25.1"));

    // Nothing given: everything comes from the first "-major.minor" of the label.
    DlrManifestElement derived = offer(QStringLiteral("TessalineForMaya-24.4b2-maya2022"));
    QCOMPARE(derived.VersionText(), QStringLiteral("24.4b2"));
    QCOMPARE(derived.versionBeta, QStringLiteral("b2"));

    // No hyphen before the digits: nothing is derived.
    DlrManifestElement plain = offer(QStringLiteral("Tessaline Workserver 24.4"));
    QVERIFY(plain.GetProductVersion().major.isNull());
    QVERIFY(plain.versionMinor.isNull());
}

void TestManifestModel::partialVersionIsCompletedFromTheLabel()
{
    DlrManifestElement e = offer(QStringLiteral("TessalineWorkserver-24.4b2"));
    e.SetVersion(QStringLiteral("23"), QString(), QString());
    const ProductVersion v = e.GetProductVersion();
    QCOMPARE(v.major, QStringLiteral("24")); // the label's major replaces the given one
    QCOMPARE(v.minor, QStringLiteral("4"));
    QCOMPARE(v.suffix, QStringLiteral("b2"));

    DlrManifestElement noMatch = offer(QStringLiteral("Harrow Engine"));
    noMatch.SetVersion(QStringLiteral("23"), QString(), QString());
    QCOMPARE(noMatch.GetProductVersion().major, QStringLiteral("23"));
    QVERIFY(noMatch.GetProductVersion().minor.isNull());
    QCOMPARE(noMatch.VersionText(), QStringLiteral("23."));
}

void TestManifestModel::majorVersionAndText()
{
    DlrManifestElement e = offer(QStringLiteral("Tessaline-24.4b2"));
    const ProductVersion major = e.GetMajorVersion();
    QCOMPARE(major.major, QStringLiteral("24"));
    QCOMPARE(major.minor, QStringLiteral("0"));
    QVERIFY(major.suffix.isNull());
    QCOMPARE(major.VersionText(), QStringLiteral("24.0"));
    // Asking for the major version leaves the record's own version as it was.
    QCOMPARE(e.VersionText(), QStringLiteral("24.4b2"));
}

void TestManifestModel::setVersionKeepsEmptyParts()
{
    DlrManifestElement e;
    e.SetVersion(QStringLiteral("24"), QStringLiteral("4"), QStringLiteral("  b2 \n"));
    QCOMPARE(e.versionBeta, QStringLiteral("b2"));
    e.SetVersion(QString(), QLatin1String(""), QStringLiteral("   "));
    QCOMPARE(e.versionMajor, QStringLiteral("24"));
    QCOMPARE(e.versionMinor, QStringLiteral("4"));
    QCOMPARE(e.versionBeta, QStringLiteral("b2"));

    DlrManifestElement blank;
    blank.SetVersion(QString(), QString(), QStringLiteral(" \t "));
    QVERIFY(blank.versionBeta.isNull());
}

void TestManifestModel::offerKinds_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("workserver");
    QTest::addColumn<bool>("tfm");
    QTest::addColumn<bool>("atelier");
    QTest::addColumn<bool>("harrow");

    QTest::newRow("workserver") << "Tessaline Workserver 25.1" << true << false << false << false;
    QTest::newRow("lower-case workserver")
            << "Tessaline workserver 25.1" << false << false << false << false;
    QTest::newRow("for maya") << "Tessaline 25.1 for Maya 2024" << false << true << false << false;
    QTest::newRow("for maya needs Tessaline")
            << "Bridge 25.1 for Maya" << false << false << false << false;
    QTest::newRow("atelier") << "Tessaline Atelier 25.1 Maya" << false << false << true << false;
    QTest::newRow("atelier for maya")
            << "Tessaline Atelier 25.1 for Maya" << false << true << true << false;
    QTest::newRow("harrow") << "Harrow Engine 3.0" << false << false << false << true;
    QTest::newRow("none") << "Tessaline Queue Manager 25.1" << false << false << false << false;
}

void TestManifestModel::offerKinds()
{
    QFETCH(QString, label);
    DlrManifestElement e = offer(label, QString(), QStringLiteral("Workserver Harrow.msi"));
    QTEST(IsWorkserverOffer(e), "workserver");
    QTEST(IsTfmOffer(e), "tfm");
    QTEST(IsAtelierOffer(e), "atelier");
    QTEST(IsHarrowOffer(e), "harrow");
}

void TestManifestModel::fileObjectIsDeletedOnceWithTheLastCopy()
{
    QPointer<QFile> watched;
    {
        DlrManifestElement original = offer(QStringLiteral("Tessaline Workserver 25.1"));
        {
            DlrManifestElement earlyCopy = original; // before any file is attached
        }
        original.downloadFile.reset(new QFile(QStringLiteral("x.msi")));
        watched = original.downloadFile.data();
        {
            QList<DlrManifestElement> list;
            list.append(original);
            list.append(original);
            QCOMPARE(list.at(0).downloadFile.data(), watched.data());
        }
        QVERIFY(!watched.isNull()); // copies gone, the original still holds it
    }
    QVERIFY(watched.isNull());
}

void TestManifestModel::twoRecordsInDocumentOrder()
{
    QList<DlrManifestElement> list;
    QUrl success;
    const QByteArray xml = document(R"(
  <ProductInfo>
    <Name>TessalineWorkserver-25.1_2301450-win64.msi</Name>
    <SimpleName>Tessaline Workserver 25.1</SimpleName>
    <BuildID>2301450</BuildID>
    <DownloadURL>http://127.0.0.1:1/products/a.msi</DownloadURL>
    <FileSize>1048576</FileSize>
    <VersionMajor>25</VersionMajor>
    <VersionMinor>1</VersionMinor>
    <DefaultBehavior>show</DefaultBehavior>
  </ProductInfo>
  <ProductInfo>
    <Name>second.msi</Name>
  </ProductInfo>)");
    QVERIFY(DlrManifestHandler::ParseData(xml, &list, &success));
    QCOMPARE(list.size(), 2);
    const DlrManifestElement &first = list.at(0);
    QCOMPARE(first.name, QStringLiteral("TessalineWorkserver-25.1_2301450-win64.msi"));
    QCOMPARE(first.simpleName, QStringLiteral("Tessaline Workserver 25.1"));
    QCOMPARE(first.buildId, QStringLiteral("2301450"));
    QCOMPARE(first.downloadUrl, QUrl(QStringLiteral("http://127.0.0.1:1/products/a.msi")));
    QCOMPARE(first.fileSize, qint64(1048576));
    QCOMPARE(first.versionMajor, QStringLiteral("25"));
    QCOMPARE(first.versionMinor, QStringLiteral("1"));
    QCOMPARE(first.defaultBehavior, QStringLiteral("show"));
    QVERIFY(!first.downloaded);
    QVERIFY(!first.downloadFile);

    const DlrManifestElement &second = list.at(1);
    QCOMPARE(second.name, QStringLiteral("second.msi"));
    QVERIFY(second.simpleName.isNull());
    QVERIFY(second.buildId.isNull());
    QVERIFY(second.defaultBehavior.isNull());
    QVERIFY(second.downloadUrl.isEmpty());
    QCOMPARE(second.fileSize, qint64(0));
    QVERIFY(success.isEmpty());
}

void TestManifestModel::conversions()
{
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseData(document(R"(
  <ProductInfo><FileSize>12 MB</FileSize><VersionBeta>  b2  </VersionBeta>
    <DownloadURL>http://host/a file.msi</DownloadURL><BuildID>0042</BuildID></ProductInfo>
  <ProductInfo><FileSize>-</FileSize><VersionBeta>   </VersionBeta>
    <FileSize>99999999999</FileSize></ProductInfo>)"),
                                          &list));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).fileSize, qint64(0));
    QCOMPARE(list.at(0).versionBeta, QStringLiteral("b2"));
    QCOMPARE(list.at(0).downloadUrl.toString(QUrl::FullyEncoded),
             QStringLiteral("http://host/a%20file.msi"));
    QCOMPARE(list.at(0).buildId, QStringLiteral("0042")); // text, not a number
    QVERIFY(list.at(1).versionBeta.isNull());
    QCOMPARE(list.at(1).fileSize, qint64(99999999999)); // 64-bit, and the later element wins
}

void TestManifestModel::fieldsOutsideRecordsAndOddPlaces()
{
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseData(document(R"(
  stray text before any record
  <ProductInfo><name>lower case</name><Name>Proper</Name></ProductInfo>
  <Name>Renamed outside</Name>
  <Deep><Deeper attr="1"><BuildID>777</BuildID></Deeper></Deep>
  <?pi ignored?>
  <Unknown>ignored text</Unknown>)"),
                                          &list));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).name, QStringLiteral("Renamed outside"));
    QCOMPARE(list.at(0).buildId, QStringLiteral("777"));
}

void TestManifestModel::successUrlOnlyAfterTheFirstRecord()
{
    QList<DlrManifestElement> list;
    QUrl success(QStringLiteral("https://default.example/view/Install-Success"));
    QVERIFY(DlrManifestHandler::ParseData(
            document("<DLRSuccessURL>http://early.example/x</DLRSuccessURL>"), &list, &success));
    QCOMPARE(success, QUrl(QStringLiteral("https://default.example/view/Install-Success")));

    QVERIFY(DlrManifestHandler::ParseData(document(R"(
  <DLRSuccessURL>http://early.example/x</DLRSuccessURL>
  <ProductInfo><Name>a</Name></ProductInfo>
  <DLRSuccessURL>http://first.example/ok</DLRSuccessURL>
  <DLRSuccessURL>http://second.example/ok</DLRSuccessURL>)"),
                                          &list, &success));
    QCOMPARE(success, QUrl(QStringLiteral("http://second.example/ok")));
}

void TestManifestModel::emptyElementHandsOnItsField()
{
    // An element without text leaves its field waiting: the next text, even the indentation
    // before the following tag, is taken for it.
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseData(
            document("<ProductInfo><Name>n</Name><DefaultBehavior/>\n  <BuildID>5</BuildID>"
                     "</ProductInfo>"),
            &list));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).defaultBehavior, QStringLiteral("\n  "));
    QCOMPARE(list.at(0).buildId, QStringLiteral("5"));
}

void TestManifestModel::recordFieldBeforeAnyRecordStopsTheParse()
{
    TessTest::LogCapture log;
    QList<DlrManifestElement> list;
    QVERIFY(!DlrManifestHandler::ParseData(
            document("<Name>orphan</Name><ProductInfo><Name>a</Name></ProductInfo>"), &list));
    QVERIFY(list.isEmpty());
    QVERIFY(log.contains(QStringLiteral("Unexpected empty manifest cdata found")));
    QVERIFY(log.contains(QStringLiteral("Fatal error on line")));
}

void TestManifestModel::malformedXmlFailsAfterKeepingEarlierRecords()
{
    TessTest::LogCapture log;
    QList<DlrManifestElement> list;
    QVERIFY(!DlrManifestHandler::ParseData(
            document("<ProductInfo><Name>kept</Name></ProductInfo>\n<ProductInfo><Name>x</Nme>"),
            &list));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).name, QStringLiteral("kept"));
    const QStringList lines = log.lines();
    QVERIFY2(!lines.isEmpty() && lines.last().startsWith(QStringLiteral("Fatal error on line")),
             qPrintable(lines.join(QLatin1Char('\n'))));

    for (const QByteArray &bad :
         {QByteArray(), QByteArray("not xml at all"), QByteArray("<a><b></a>")}) {
        QList<DlrManifestElement> none;
        QVERIFY2(!DlrManifestHandler::ParseData(bad, &none), bad.constData());
    }
    QVERIFY(!DlrManifestHandler::ParseFile(QStringLiteral("/nonexistent/manifest.xml"), &list));
}

void TestManifestModel::secondDocumentAppends()
{
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseData(document("<ProductInfo><Name>one</Name></ProductInfo>"),
                                          &list));
    QVERIFY(DlrManifestHandler::ParseData(
            document("<BuildID>123</BuildID><ProductInfo><Name>two</Name></ProductInfo>"), &list));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).name, QStringLiteral("one"));
    QCOMPARE(list.at(0).buildId, QStringLiteral("123")); // changed by the second document
    QCOMPARE(list.at(1).name, QStringLiteral("two"));
}

void TestManifestModel::treeGroupsByMajorAndBuild()
{
    QList<DlrManifestElement> list{offer(QStringLiteral("TessalineWorkserver-24.4"), "100"),
                                   offer(QStringLiteral("Tessaline-24.4 for Maya 2022"), "100"),
                                   offer(QStringLiteral("TessalineWorkserver-24.3"), "099"),
                                   offer(QStringLiteral("Tessaline Workserver 24.4"), "100")};
    list[3].SetVersion(QStringLiteral("24"), QStringLiteral("4"), QString());
    OfferTree tree;
    for (DlrManifestElement &e : list)
        tree.AddOffer(&e);

    QCOMPARE(tree.Versions(), QStringList{QStringLiteral("24")});
    QCOMPARE(tree.BuildIds(QStringLiteral("24")),
             (QStringList{QStringLiteral("100"), QStringLiteral("099")}));
    QCOMPARE(tree.NewestBuildId(QStringLiteral("24")), QStringLiteral("100"));
    const QList<DlrManifestElement *> newest
            = tree.Offers(QStringLiteral("24"), QStringLiteral("100"));
    QCOMPARE(newest, (QList<DlrManifestElement *>{&list[0], &list[1], &list[3]}));
}

void TestManifestModel::treeOrdersKeysAsText()
{
    QList<DlrManifestElement> list{
            offer(QStringLiteral("T-23.1"), "2301450"),  offer(QStringLiteral("T-25.1"), "2301450"),
            offer(QStringLiteral("T-9.0"), "1"),         offer(QStringLiteral("T-26.0"), "1"),
            offer(QStringLiteral("Harrow Engine"), "5"), offer(QStringLiteral("T-24.0"), "987654"),
            offer(QStringLiteral("T-24.1"), "2301450"),  offer(QStringLiteral("T-24.2"))};
    OfferTree tree;
    for (DlrManifestElement &e : list)
        tree.AddOffer(&e);

    // "9" is the greatest text; the offer without a version sorts after everything.
    QCOMPARE(tree.Versions(), (QStringList{"9", "26", "25", "24", "23", ""}));
    // A six-digit build beginning with 9 comes before a seven-digit one; no build id is last.
    QCOMPARE(tree.BuildIds(QStringLiteral("24")), (QStringList{"987654", "2301450", ""}));
    QCOMPARE(tree.NewestBuildId(QStringLiteral("24")), QStringLiteral("987654"));
    QCOMPARE(tree.Offers(QString(), QStringLiteral("5")), QList<DlrManifestElement *>{&list[4]});
}

void TestManifestModel::treeLookupsOfMissingKeysLeaveEntries()
{
    DlrManifestElement e = offer(QStringLiteral("T-24.1"), QStringLiteral("7"));
    OfferTree tree;
    tree.AddOffer(&e);
    QVERIFY(tree.Offers(QStringLiteral("24"), QStringLiteral("8")).isEmpty());
    QVERIFY(tree.BuildIds(QStringLiteral("30")).isEmpty());
    QVERIFY(tree.NewestBuildId(QStringLiteral("31")).isEmpty());
    QCOMPARE(tree.Versions(), (QStringList{"31", "30", "24"}));
    QCOMPARE(tree.BuildIds(QStringLiteral("24")), (QStringList{"8", "7"}));
}

void TestManifestModel::treeDebugPrint()
{
    QList<DlrManifestElement> list{offer(QStringLiteral("T-24.1"), "7", "a.msi"),
                                   offer(QStringLiteral("T-24.1"), "7", "b.msi"),
                                   offer(QStringLiteral("T-25.0"), "9", "c.msi")};
    OfferTree tree;
    for (DlrManifestElement &e : list)
        tree.AddOffer(&e);
    tree.Offers(QStringLiteral("24"), QStringLiteral("6")); // an empty entry, printed too

    TessTest::LogCapture log;
    tree.DebugPrint();
    const QStringList expected{
            QStringLiteral(" v \"25\""),           QStringLiteral("  \\_ \"9\""),
            QStringLiteral("      \\_ \"c.msi\""), QStringLiteral(" v \"24\""),
            QStringLiteral("  \\_ \"7\""),         QStringLiteral("      \\_ \"a.msi\""),
            QStringLiteral("      \\_ \"b.msi\""), QStringLiteral("  \\_ \"6\"")};
    QCOMPARE(log.lines(), expected);
}

QTEST_APPLESS_MAIN(TestManifestModel)
#include "tst_manifestmodel.moc"
