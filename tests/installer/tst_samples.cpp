// The sample products: built by tools/products/build-samples.sh, installed by the package
// engine into a made-up machine, and then found by the machine survey with their build ids.
#include "DlrMachineAssay.h"
#include "DlrManifestElement.h"
#include "DlrSelectionRules.h"
#include "EngineRecorder.h"
#include "PackageBuilder.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

class TestSamples : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir out;
    QJsonArray products;

    QString packageOf(const QString &simpleName) const
    {
        for (const QJsonValue &p : products) {
            if (p.toObject().value("simpleName").toString() == simpleName)
                return out.filePath(p.toObject().value("file").toString());
        }
        return QString();
    }

    // The offers as the stand-in service announces them.
    QList<DlrManifestElement> manifest() const
    {
        QList<DlrManifestElement> offers;
        for (const QJsonValue &value : products) {
            const QJsonObject p = value.toObject();
            DlrManifestElement e;
            e.name = p.value("name").toString();
            e.simpleName = p.value("simpleName").toString();
            e.buildId = p.value("buildId").toString();
            e.defaultBehavior = p.value("defaultBehavior").toString();
            e.SetVersion(p.value("versionMajor").toString(), p.value("versionMinor").toString(),
                         p.value("versionBeta").toString());
            e.downloadUrl = QUrl("http://127.0.0.1/products/" + p.value("file").toString());
            e.fileSize = QFileInfo(out.filePath(p.value("file").toString())).size();
            offers.append(e);
        }
        return offers;
    }

    // Labels of the offers the selection rules propose on this machine.
    QStringList proposed(QList<DlrManifestElement> &offers) const
    {
        DlrMachineAssay assay;
        assay.DoAssay();
        DlrSelectionRules rules(offers, assay);
        rules.chooseDownloads();
        QStringList labels;
        for (int index : rules.chosenIndices())
            labels.append(offers.at(index).label());
        labels.sort();
        return labels;
    }

    static InstalledRecord find(const QList<InstalledRecord> &records, const QString &name)
    {
        for (const InstalledRecord &r : records) {
            if (r.value("ProductName") == name)
                return r;
        }
        return InstalledRecord();
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(TessTest::runTool(TessTest::sourceDir() + "/tools/products/build-samples.sh",
                                   {out.path()}, &error),
                 qPrintable(error));
        QFile list(out.filePath("products.json"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        products = QJsonDocument::fromJson(list.readAll()).object().value("products").toArray();
    }

    void listDescribesEveryPackage()
    {
        QVERIFY(products.size() >= 8);
        int harrow = 0;
        for (const QJsonValue &value : qAsConst(products)) {
            const QJsonObject p = value.toObject();
            const QString file = p.value("file").toString();
            QVERIFY2(QFileInfo(out.filePath(file)).size() > 0, qPrintable(file));
            QCOMPARE(p.value("name").toString(), file);
            QVERIFY(file.endsWith("-win64.msi"));
            QVERIFY(file.contains("_" + p.value("buildId").toString() + "-"));
            QVERIFY(p.value("simpleName")
                            .toString()
                            .contains(p.value("versionMajor").toString() + "."
                                      + p.value("versionMinor").toString()));
            for (const char *key : {"versionBeta", "defaultBehavior"})
                QVERIFY(p.value(key).isString());
            if (p.value("simpleName").toString().contains("Harrow")) {
                ++harrow;
                QCOMPARE(p.value("defaultBehavior").toString(), QString("show"));
            }
        }
        QCOMPARE(harrow, 1);
    }

    void installedSamplesAreFoundBySurvey()
    {
        QTemporaryDir machine;
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        for (const char *name : {"Tessaline Workserver 25.1", "Tessaline for Maya 25.1",
                                 "Tessaline 25.1 for Maya 2019", "Tessaline 25.1 for Houdini 20.0",
                                 "Tessaline Workserver 24.4"}) {
            TessTest::EngineRecorder recorder;
            QCOMPARE(recorder.install(packageOf(name)), 0u);
        }

        DlrMachineAssay assay;
        assay.DoAssay();
        const QList<InstalledRecord> records = assay.Records();

        const InstalledRecord server = find(records, "Tessaline Workserver 25.1");
        QCOMPARE(server.value("BuildId"), QString("2301450"));
        QCOMPARE(server.value("Version"), QString("25.1"));
        // The first 24.4 in the list is the newer build; it is what was installed.
        QCOMPARE(find(records, "Tessaline Workserver 24.4").value("BuildId"), QString("2226589"));
        const InstalledRecord anyMaya = find(records, "Tessaline for Maya 25.1");
        QCOMPARE(anyMaya.value("BuildId"), QString("2301450"));
        QVERIFY(anyMaya.value("MayaVersion").isEmpty());
        const InstalledRecord maya2019 = find(records, "Tessaline 25.1 for Maya 2019");
        QCOMPARE(maya2019.value("BuildId"), QString("2301450"));
        QCOMPARE(maya2019.value("MayaVersion"), QString("2019"));

        InstalledRecord found;
        QVERIFY(assay.FindInstalled("Workserver", "25.1", found));
        QCOMPARE(found.value("BuildId"), QString("2301450"));
        qunsetenv("TESSINSTALLER_ROOT");
    }

    void secondSelectionSkipsWhatWasInstalled()
    {
        QTemporaryDir machine;
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        for (const char *host : {"usr/autodesk/maya2024", "opt/hfs20.0.547", "opt/Katana6.0v1"})
            QVERIFY(QDir(machine.path()).mkpath(host));

        QList<DlrManifestElement> offers = manifest();
        const QStringList first = proposed(offers);
        QCOMPARE(first,
                 QStringList({"Harrow Queue Manager 25.1", "Tessaline 25.1 for Houdini 20.0",
                              "Tessaline 25.1 for Katana 6.0", "Tessaline 25.1 for Maya 2024",
                              "Tessaline Workserver 25.1", "Tessaline for Maya 25.1"}));
        for (const QString &label : first) {
            TessTest::EngineRecorder recorder;
            QCOMPARE(recorder.install(packageOf(label)), 0u);
        }

        // The Workserver and the bridge for every Maya are found with this very build. The
        // survey knows no Houdini or Katana bridges, and reads a Maya version from a folder
        // name only for 2011 to 2019, so those offers come again; Harrow is always shown.
        TessTest::LogCapture log;
        const QStringList second = proposed(offers);
        QCOMPARE(second,
                 QStringList({"Harrow Queue Manager 25.1", "Tessaline 25.1 for Houdini 20.0",
                              "Tessaline 25.1 for Katana 6.0", "Tessaline 25.1 for Maya 2024"}));
        QVERIFY(log.contains("is already installed"));
        QVERIFY(log.contains("Offer already installed"));
        qunsetenv("TESSINSTALLER_ROOT");
    }
};

TESS_TEST_MAIN(TestSamples)
#include "tst_samples.moc"
