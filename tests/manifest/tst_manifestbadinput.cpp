// Hostile and oversized manifests: each ends in a clear result with memory bounded.
// The cases run smallest first, because the peak resident size only ever grows.

#include "DlrManifestHandler.h"
#include "TestSupport.h"

#include <QTemporaryFile>
#include <QtTest>

#include <sys/resource.h>

namespace {
// Peak resident memory of this process so far, in MiB.
double peakMiB()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

QByteArray laughs(int levels, int fanOut)
{
    QByteArray doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE Manifest [\n<!ENTITY lol0 \"lol\">\n";
    for (int level = 1; level <= levels; ++level) {
        doc += "<!ENTITY lol" + QByteArray::number(level) + " \"";
        for (int i = 0; i < fanOut; ++i)
            doc += "&lol" + QByteArray::number(level - 1) + ";";
        doc += "\">\n";
    }
    doc += "]>\n<Manifest><ProductInfo><Name>&lol" + QByteArray::number(levels)
           + ";</Name></ProductInfo></Manifest>\n";
    return doc;
}
} // namespace

class TestManifestBadInput : public QObject
{
    Q_OBJECT

private slots:
    void smallEntityExpansionStillWorks();
    void billionLaughsIsRefused();
    void externalEntitiesAreNotFetched();
    void deepNesting();
    void fiftyMegabyteDocument();
};

void TestManifestBadInput::smallEntityExpansionStillWorks()
{
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseData(laughs(2, 3), &list));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).name, QString(QStringLiteral("lol")).repeated(9));
}

void TestManifestBadInput::billionLaughsIsRefused()
{
    // Ten levels of ten would expand to 3 * 10^10 characters.
    const double before = peakMiB();
    TessTest::LogCapture log;
    QElapsedTimer clock;
    clock.start();
    QList<DlrManifestElement> list;
    QVERIFY(!DlrManifestHandler::ParseData(laughs(10, 10), &list));
    QVERIFY(log.contains(QStringLiteral("Fatal error on line")));
    qInfo() << "billion laughs refused in" << clock.elapsed() << "ms, peak grew by"
            << peakMiB() - before << "MiB";
    QVERIFY(peakMiB() - before < 64);
    QVERIFY(clock.elapsed() < 10000);
}

void TestManifestBadInput::externalEntitiesAreNotFetched()
{
    QTemporaryFile secret;
    QVERIFY(secret.open());
    secret.write("SECRET-CONTENT");
    secret.flush();
    const QByteArray doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE M [<!ENTITY x SYSTEM \"file://"
                           + QFile::encodeName(secret.fileName())
                           + "\">]>\n<M><ProductInfo><Name>&x;</Name></ProductInfo></M>";
    QList<DlrManifestElement> list;
    DlrManifestHandler::ParseData(doc, &list);
    for (const DlrManifestElement &e : list)
        QVERIFY(!e.name.contains(QStringLiteral("SECRET")));
}

namespace {
QByteArray nested(int depth, const QByteArray &open, const QByteArray &close)
{
    QByteArray doc = "<Manifest><ProductInfo><Name>deep</Name></ProductInfo>";
    doc += open.repeated(depth) + "<BuildID>7</BuildID>" + close.repeated(depth);
    return doc + "</Manifest>";
}
} // namespace

void TestManifestBadInput::deepNesting()
{
    // Nesting plays no part in a manifest of sensible depth.
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseData(nested(250, "<a>", "</a>"), &list));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).buildId, QStringLiteral("7"));

    // The reader recurses per level: deep documents are refused before the stack runs out,
    // whatever the tags hide in attributes, and however the document ends.
    const double before = peakMiB();
    TessTest::LogCapture log;
    const QList<QByteArray> hostile{nested(200000, "<a>", "</a>"),
                                    nested(200000, "<a x='/>' y=\"a>b\">", "</a>"),
                                    QByteArray("<M>") + QByteArray("<a>").repeated(1000000)};
    for (const QByteArray &doc : hostile) {
        QList<DlrManifestElement> refused;
        QVERIFY(!DlrManifestHandler::ParseData(doc, &refused));
    }
    QCOMPARE(log.count(QStringLiteral("Manifest nested deeper than")), hostile.size());
    QVERIFY(peakMiB() - before < 128);

    // Comments, sections and processing instructions do not count as elements, and entities
    // (capped by the reader) add to a shallow document without reaching the stack's end.
    QByteArray quiet = "<!DOCTYPE M [<!ENTITY deep \"" + QByteArray("<b>").repeated(580)
                       + QByteArray("</b>").repeated(580) + "\"> <!-- <x> -->]>\n<M>";
    quiet += QByteArray("<!-- <a><a> --><![CDATA[<a><a>]]><?pi <a>?><e/><f a='>'/>").repeated(5000);
    quiet += QByteArray("<a>").repeated(250) + "&deep;" + QByteArray("</a>").repeated(250);
    quiet += "<ProductInfo><Name>after</Name></ProductInfo></M>";
    QList<DlrManifestElement> withEntity;
    QVERIFY(DlrManifestHandler::ParseData(quiet, &withEntity));
    QCOMPARE(withEntity.size(), 1);
    QCOMPARE(withEntity.at(0).name, QStringLiteral("after"));
}

void TestManifestBadInput::fiftyMegabyteDocument()
{
    // 50 MiB: a few offers around one enormous element that nobody reads.
    QTemporaryFile file;
    QVERIFY(file.open());
    const qint64 size = 50 * 1024 * 1024;
    file.write("<?xml version=\"1.0\"?>\n<Manifest>\n"
               "<ProductInfo><Name>before.msi</Name><FileSize>1</FileSize></ProductInfo>\n<Junk>");
    const QByteArray block(1024 * 1024, 'j');
    while (file.size() < size)
        file.write(block);
    file.write("</Junk>\n<ProductInfo><Name>after.msi</Name></ProductInfo>\n</Manifest>\n");
    file.close();

    const double before = peakMiB();
    QElapsedTimer clock;
    clock.start();
    QList<DlrManifestElement> list;
    QVERIFY(DlrManifestHandler::ParseFile(file.fileName(), &list));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(1).name, QStringLiteral("after.msi"));
    const double grew = peakMiB() - before;
    qInfo() << "50 MiB document read in" << clock.elapsed() << "ms, peak grew by" << grew << "MiB";
    // Proportional to the document, never more than a few copies of it.
    QVERIFY(grew < 8 * 50);

    // The same bytes cut short are a fatal error with the first offer kept.
    QVERIFY(file.open());
    const QByteArray cut = file.read(10 * 1024 * 1024);
    QList<DlrManifestElement> partial;
    QVERIFY(!DlrManifestHandler::ParseData(cut, &partial));
    QCOMPARE(partial.size(), 1);
}

QTEST_APPLESS_MAIN(TestManifestBadInput)
#include "tst_manifestbadinput.moc"
