// The naming rules of downloads, without network or application: which part of an offer's name
// may be used, the free temporary name, the final name, and the download folder.

#include "DlrDownloadNames.h"
#include "TestSupport.h"

#include <QSet>
#include <QtTest>

using namespace DlrDownloadNames;

class TestDownloadNames : public QObject
{
    Q_OBJECT

private slots:
    void onlyTheFileNamePartIsUsed_data();
    void onlyTheFileNamePartIsUsed();
    void baseAndSuffix_data();
    void baseAndSuffix();
    void tempNameSkipsTakenFinalAndTempNames();
    void nameWithoutSuffix();
    void emergencyNamesThenLastResort();
    void finalNameFromTempName_data();
    void finalNameFromTempName();
    void downloadFolderFallsBack();
};

void TestDownloadNames::onlyTheFileNamePartIsUsed_data()
{
    QTest::addColumn<QString>("offerName");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("plain") << "TessalineWorkserver-25.1_2301450-win64.msi"
                           << "TessalineWorkserver-25.1_2301450-win64.msi";
    QTest::newRow("parent folders") << "../../evil.msi"
                                    << "evil.msi";
    QTest::newRow("absolute") << "/etc/x.msi"
                              << "x.msi";
    QTest::newRow("backslash parents") << "..\\..\\x.msi"
                                       << "x.msi";
    QTest::newRow("sub folder") << "sub/dir.msi"
                                << "dir.msi";
    QTest::newRow("drive letter") << "C:x.msi"
                                  << "x.msi";
    QTest::newRow("drive path") << "C:\\Windows\\System32\\x.msi"
                                << "x.msi";
    QTest::newRow("unc") << "\\\\server\\share\\f.msi"
                         << "f.msi";
    QTest::newRow("mixed") << "a/b\\..\\c:d/../e.msi"
                           << "e.msi";
    QTest::newRow("dots inside") << "my..product...msi"
                                 << "my..product...msi";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("dot") << "."
                         << "";
    QTest::newRow("dot dot") << ".."
                             << "";
    QTest::newRow("ends in parent") << "a/.."
                                    << "";
    QTest::newRow("folder only") << "dir/"
                                 << "";
    QTest::newRow("control character") << "a\nb.msi"
                                       << "";
    QTest::newRow("nul") << QString::fromUtf16(u"a\u0000b.msi", 7) << "";
}

void TestDownloadNames::onlyTheFileNamePartIsUsed()
{
    QFETCH(QString, offerName);
    QFETCH(QString, fileName);
    QCOMPARE(safeFileName(offerName), fileName);
}

void TestDownloadNames::baseAndSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("ext");
    QTest::newRow("one dot") << "a.msi"
                             << "a"
                             << "msi";
    QTest::newRow("last dot counts") << "a.tar.gz"
                                     << "a.tar"
                                     << "gz";
    QTest::newRow("no dot") << "Noext"
                            << "Noext"
                            << "";
    QTest::newRow("leading dot") << ".hidden"
                                 << ""
                                 << "hidden";
    QTest::newRow("trailing dot") << "a."
                                  << "a"
                                  << "";
}

void TestDownloadNames::baseAndSuffix()
{
    QFETCH(QString, name);
    QTEST(baseName(name), "base");
    QTEST(suffix(name), "ext");
}

void TestDownloadNames::tempNameSkipsTakenFinalAndTempNames()
{
    QSet<QString> taken;
    const auto exists = [&taken](const QString &path) {
        return taken.contains(path);
    };
    const QString d = QStringLiteral("/dl");

    QCOMPARE(chooseTempName(d, QStringLiteral("P.msi"), exists),
             QStringLiteral("/dl/P.msi.tessdownload"));
    QCOMPARE(finalCandidate(d, QStringLiteral("P"), QStringLiteral("msi"), 0),
             QStringLiteral("/dl/P.msi"));
    QCOMPARE(finalCandidate(d, QStringLiteral("P"), QStringLiteral("msi"), 12),
             QStringLiteral("/dl/P-12.msi"));

    // A final file of another size, or a temporary file left by an interrupted run, both push
    // the download to the next number; so does either name of that number.
    taken = {QStringLiteral("/dl/P.msi")};
    QCOMPARE(chooseTempName(d, QStringLiteral("P.msi"), exists),
             QStringLiteral("/dl/P-1.msi.tessdownload"));
    taken = {QStringLiteral("/dl/P.msi.tessdownload")};
    QCOMPARE(chooseTempName(d, QStringLiteral("P.msi"), exists),
             QStringLiteral("/dl/P-1.msi.tessdownload"));
    taken = {QStringLiteral("/dl/P.msi"), QStringLiteral("/dl/P-1.msi.tessdownload"),
             QStringLiteral("/dl/P-2.msi")};
    QCOMPARE(chooseTempName(d, QStringLiteral("P.msi"), exists),
             QStringLiteral("/dl/P-3.msi.tessdownload"));
}

void TestDownloadNames::nameWithoutSuffix()
{
    const auto nothing = [](const QString &) {
        return false;
    };
    const QString temp = chooseTempName(QStringLiteral("/dl"), QStringLiteral("Noext"), nothing);
    QCOMPARE(temp, QStringLiteral("/dl/Noext..tessdownload"));
    QCOMPARE(DlrDownloadNames::finalNameFromTempName(temp), QStringLiteral("/dl/Noext."));
}

void TestDownloadNames::emergencyNamesThenLastResort()
{
    TessTest::LogCapture log;
    // Every numbered name is taken, and the first emergency name too.
    const auto numberedTaken = [](const QString &path) {
        return path.startsWith(QLatin1String("/dl/P"))
               || path.startsWith(QLatin1String("/dl/tess-1."));
    };
    QCOMPARE(chooseTempName(QStringLiteral("/dl"), QStringLiteral("P.msi"), numberedTaken),
             QStringLiteral("/dl/tess-2.msi.tessdownload"));
    QVERIFY(log.contains(QStringLiteral("Failed to find unique name for ")));

    int asked = 0;
    const auto everythingTaken = [&asked](const QString &) {
        ++asked;
        return true;
    };
    QCOMPARE(chooseTempName(QStringLiteral("/dl"), QStringLiteral("P.msi"), everythingTaken),
             QStringLiteral("unkown.tessdownload"));
    QCOMPARE(asked, 10000 + 9999); // each pair is given up at its first taken name
}

void TestDownloadNames::finalNameFromTempName_data()
{
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("final");
    QTest::addColumn<bool>("unexpected");
    QTest::newRow("normal") << "/dl/P.msi.tessdownload"
                            << "/dl/P.msi" << false;
    QTest::newRow("numbered") << "/dl/P-3.msi.tessdownload"
                              << "/dl/P-3.msi" << false;
    QTest::newRow("emergency") << "/dl/tess-2.msi.tessdownload"
                               << "/dl/tess-2.msi" << false;
    QTest::newRow("no folder") << "unkown.tessdownload"
                               << "./unkown" << false;
    QTest::newRow("other case") << "/dl/P.msi.TESSDOWNLOAD"
                                << "/dl/P.msi.TESSDOWNLOAD" << true;
    QTest::newRow("no suffix") << "/dl/P.msi"
                               << "/dl/P.msi" << true;
    QTest::newRow("suffix in folder only") << "/dl.tessdownload/P"
                                           << "/dl.tessdownload/P" << true;
}

void TestDownloadNames::finalNameFromTempName()
{
    QFETCH(QString, temp);
    QFETCH(bool, unexpected);
    bool flagged = !unexpected; // must be set either way
    QTEST(DlrDownloadNames::finalNameFromTempName(temp, &flagged), "final");
    QCOMPARE(flagged, unexpected);
}

void TestDownloadNames::downloadFolderFallsBack()
{
    QTemporaryDir home;
    const QString downloads = home.filePath(QStringLiteral("Downloads"));
    const QString temp = home.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(temp));

    TessTest::LogCapture log;
    QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), temp);
    QVERIFY(log.contains(QStringLiteral("No ~/Downloads dir ")));

    QVERIFY(QDir().mkpath(downloads));
    QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), downloads);

    log.clear();
    QCOMPARE(chooseDownloadFolder(home.filePath(QStringLiteral("a")),
                                  home.filePath(QStringLiteral("b")))
                     .path(),
             QStringLiteral("."));
    QVERIFY(log.contains(QStringLiteral("No temp, using . for downloads")));
}

QTEST_APPLESS_MAIN(TestDownloadNames)
#include "tst_downloadnames.moc"
