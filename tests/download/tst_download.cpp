// Product downloads against the stand-in service over loopback, and the naming rules they
// follow: final names, numbered alternatives, reuse of finished files, every way a transfer can
// fail, a full disk, and offer names that try to leave the folder.

#include "DlrApp.h"
#include "DlrDownloadNames.h"
#include "DlrTexts.h"
#include "DownloadWait.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace DlrDownloadNames;

namespace {
const char ProductFile[] = "TessalineWorkserver-25.1_2301450-win64.msi";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}
bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
QString inDownloads(const QString &name)
{
    return TessTest::downloadsDir() + QLatin1Char('/') + name;
}
} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

    TessTest::StandinServer server;
    QTemporaryDir scratch;
    QByteArray product;

    int addOffer(const QString &name, const QString &query = QString())
    {
        DlrManifestElement offer = dlrApp->manifestList().at(0);
        offer.name = name;
        offer.downloadFile.reset();
        offer.downloadUrl.setQuery(query);
        dlrApp->manifestList().append(offer);
        return dlrApp->manifestList().size() - 1;
    }
    int productRequests()
    {
        const QJsonObject counts = server.fetchJson("/debug/state").value("counts").toObject();
        return counts.value(QStringLiteral("/products/") + ProductFile).toInt();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(scratch.filePath("products")));
        product.resize(3 * 1024 * 1024 + 123);
        QRandomGenerator(4242).fillRange(reinterpret_cast<quint32 *>(product.data()),
                                         product.size() / 4);
        QVERIFY(writeFile(scratch.filePath("products/") + ProductFile, product));
        QVERIFY(TessTest::StandinServer::writeProductsJson(scratch.filePath("products"),
                                                           {{{"file", ProductFile}}}));
        server.setProducts(scratch.filePath("products"));
        server.addArguments({"--stall-seconds", "5"});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        DlrManifestElement offer;
        offer.name = ProductFile;
        offer.fileSize = product.size();
        offer.downloadUrl = server.url(QStringLiteral("/products/") + ProductFile);
        dlrApp->manifestList() = {offer, offer};
    }

    void init()
    {
        dlrApp->setTransferTimeout(5000);
        QDir dir(TessTest::downloadsDir());
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
            QVERIFY(dir.remove(name));
        while (dlrApp->manifestList().size() > 2)
            dlrApp->manifestList().removeLast();
        for (DlrManifestElement &offer : dlrApp->manifestList()) {
            offer.downloaded = false;
            offer.downloadFile.reset();
        }
    }

    void completeDownloadUnderItsFinalName()
    {
        QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
        QNetworkReply *reply = dlrApp->DownloadProduct(0);
        QVERIFY(reply);
        QCOMPARE(reply->readBufferSize(), qint64(1024 * 1024)); // memory stays flat
        const QString final = inDownloads(ProductFile);
        QVERIFY(QFile::exists(final + ".tessdownload") && !QFile::exists(final));
        // Only one transfer at a time; the refused one changes nothing.
        QVERIFY(!dlrApp->DownloadProduct(1));
        QVERIFY(!dlrApp->manifestList().at(1).downloadFile);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(finished.first().first().toInt(), 0);
        QCOMPARE(readFile(final), product);
        QVERIFY(!QFile::exists(final + ".tessdownload"));
        const DlrManifestElement &offer = dlrApp->manifestList().at(0);
        QVERIFY(offer.downloaded && !offer.downloadFile->isOpen());
        QCOMPARE(offer.downloadFile->fileName(), final);
        QVERIFY(!dlrApp->DownloadProduct(0)); // done once is done
    }

    // What is already in the folder: the finished file of the exact size is taken without a
    // request; anything else leaves the download to the first free numbered name.
    void filesAlreadyThere_data()
    {
        QTest::addColumn<QString>("present");
        QTest::addColumn<int>("sizeChange");
        QTest::addColumn<QString>("landsAs");
        const QString p = ProductFile, p1 = "TessalineWorkserver-25.1_2301450-win64-1.msi";
        QTest::newRow("same size") << p << 0 << "";
        QTest::newRow("a byte less") << p << -1 << p1;
        QTest::newRow("a byte more") << p << 1 << p1;
        QTest::newRow("leftover temporary file") << p + ".tessdownload" << 0 << p1;
        QTest::newRow("numbered alternative only") << p1 << 0 << p;
    }
    void filesAlreadyThere()
    {
        QFETCH(QString, present);
        QFETCH(int, sizeChange);
        QFETCH(QString, landsAs);
        const QByteArray onDisk
                = product.left(product.size() + sizeChange) + QByteArray(sizeChange > 0, 'x');
        QVERIFY(writeFile(inDownloads(present), onDisk));
        const int before = productRequests();
        dlrApp->CheckForDownload(0);
        const bool taken = landsAs.isEmpty();
        QCOMPARE(dlrApp->manifestList().at(0).downloaded, taken);
        QCOMPARE(taken ? !dlrApp->DownloadProduct(0) : downloadAndWait(0).isEmpty(), true);
        QCOMPARE(dlrApp->manifestList().at(0).downloadFile->fileName(),
                 inDownloads(taken ? present : landsAs));
        QCOMPARE(readFile(inDownloads(taken ? present : landsAs)), taken ? onDisk : product);
        QCOMPARE(readFile(inDownloads(present)), onDisk); // untouched
        QCOMPARE(productRequests(), before + (taken ? 0 : 1));
    }

    void refusalsBeforeStart()
    {
        const int size = dlrApp->manifestList().size();
        QVERIFY(!dlrApp->DownloadProduct(-1));
        QVERIFY(!dlrApp->DownloadProduct(size));
        dlrApp->CheckForDownload(size);
        QCOMPARE(dlrApp->getDownloadPath(size), QStringLiteral("unkown.tessdownload"));
        // A folder that went away: the temporary file cannot be made.
        const QString moved = TessTest::downloadsDir() + QStringLiteral(".away");
        QVERIFY(QDir().rename(TessTest::downloadsDir(), moved));
        const bool started = dlrApp->DownloadProduct(0) != nullptr;
        QVERIFY(QDir().rename(moved, TessTest::downloadsDir()));
        QVERIFY(!started);
        QVERIFY(QDir(TessTest::downloadsDir()).entryList(QDir::Files).isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("partial");
        QTest::addColumn<int>("fileSizeLimit"); // a full disk: the write fails (EFBIG)
        QTest::newRow("reset") << "reset:1000000" << int(QNetworkReply::RemoteHostClosedError)
                               << true << 0;
        // Closed cleanly before the announced length: complete only in the server's eyes.
        QTest::newRow("short body")
                << "short:1000000" << int(QNetworkReply::RemoteHostClosedError) << true << 0;
        QTest::newRow("stall") << "stall:1000000" << int(QNetworkReply::OperationCanceledError)
                               << true << 0;
        QTest::newRow("404") << "404" << int(QNetworkReply::ContentNotFoundError) << false << 0;
        QTest::newRow("500") << "500" << int(QNetworkReply::InternalServerError) << false << 0;
        QTest::newRow("full disk")
                << "" << int(QNetworkReply::OperationCanceledError) << true << 256 * 1024;
    }
    void failures()
    {
        QFETCH(QString, fault);
        QFETCH(int, error);
        QFETCH(bool, partial);
        QFETCH(int, fileSizeLimit);
        dlrApp->setTransferTimeout(1000);
        const int index = addOffer(QStringLiteral("Faulty.msi"), QStringLiteral("fault=") + fault);
        // Nothing can start from inside the failure signal: the reply is still the running one.
        QList<bool> restarted;
        const auto c = connect(dlrApp, &DlrApp::failedDownload, this, [&](QString, int i) {
            restarted.append(dlrApp->DownloadProduct(i) != nullptr);
        });
        struct rlimit saved = {}, limited = {};
        getrlimit(RLIMIT_FSIZE, &saved);
        limited = saved;
        limited.rlim_cur = fileSizeLimit ? rlim_t(fileSizeLimit) : saved.rlim_cur;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limited);
        const QString reason = downloadAndWait(index);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        disconnect(c);
        QCOMPARE(reason, networkErrorText(QNetworkReply::NetworkError(error)));
        QCOMPARE(restarted, QList<bool>{false});
        const QByteArray got = readFile(inDownloads("Faulty.msi.tessdownload")); // it stays
        QVERIFY(QFile::exists(inDownloads("Faulty.msi.tessdownload")));
        if (partial)
            QVERIFY(got.size() > 0 && got.size() < product.size() && product.startsWith(got));
        QVERIFY(!QFile::exists(inDownloads("Faulty.msi")));
        QVERIFY(!dlrApp->manifestList().at(index).downloaded);
        QVERIFY(!dlrApp->manifestList().at(index).downloadFile);
        // Tried again, it picks a new name beside the partial file.
        dlrApp->manifestList()[index].downloadUrl.setQuery(QString());
        QCOMPARE(downloadAndWait(index), QString());
        QCOMPARE(readFile(inDownloads("Faulty-1.msi")), product);
    }

    // Only the file-name part of an offer's name is used, downloaded or looked for.
    void offerNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fileName"); // empty: not usable, nothing is downloaded
        const char *const table[][2] = {{"../../evil.msi", "evil.msi"},
                                        {"C:\\Windows\\y.msi", "y.msi"},
                                        {"C:x.msi", "x.msi"},
                                        {"\\\\server\\share\\f.msi", "f.msi"},
                                        {"a/b\\..\\c:d/../e.msi", "e.msi"},
                                        {"my..product...msi", "my..product...msi"},
                                        {"a b.msi", "a b.msi"},
                                        {"..", ""},
                                        {".", ""},
                                        {"a/..", ""},
                                        {"../", ""},
                                        {"", ""},
                                        {"a\nb.msi", ""},
                                        {"a\x1f.msi", ""},
                                        {"a\x7f.msi", ""}};
        for (const auto &row : table)
            QTest::newRow(row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]);
        QTest::newRow("absolute") << scratch.filePath("outside.msi") << "outside.msi";
    }
    void offerNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, fileName);
        QCOMPARE(safeFileName(name), fileName);
        const QStringList scratchBefore = QDir(scratch.path()).entryList(QDir::AllEntries);
        const int index = addOffer(name);
        if (fileName.isEmpty()) {
            QVERIFY(!dlrApp->DownloadProduct(index));
            dlrApp->CheckForDownload(index);
            QVERIFY(!dlrApp->manifestList().at(index).downloaded);
        } else {
            QCOMPARE(downloadAndWait(index), QString());
            QCOMPARE(readFile(inDownloads(fileName)), product);
            // Found there by a later check under the same rule.
            dlrApp->manifestList()[index].downloaded = false;
            dlrApp->CheckForDownload(index);
            QCOMPARE(dlrApp->manifestList().at(index).downloadFile->fileName(),
                     inDownloads(fileName));
        }
        QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries), scratchBefore);
        QCOMPARE(QDir(TessTest::downloadsDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), {});
    }

    // The free temporary name: the first number whose final and temporary names are both free,
    // then emergency names, then the last resort.
    void tempNames()
    {
        QSet<QString> taken;
        int asked = 0;
        const auto exists = [&](const QString &path) {
            ++asked;
            return taken.contains(path) || (taken.contains("*") && path.contains("/P"))
                   || taken.contains("**");
        };
        const struct
        {
            QStringList taken;
            QString temp;
        } table[] = {
                {{}, "/dl/P.msi.tessdownload"},
                {{"/dl/P.msi"}, "/dl/P-1.msi.tessdownload"},
                {{"/dl/P.msi.tessdownload"}, "/dl/P-1.msi.tessdownload"},
                {{"/dl/P.msi", "/dl/P-1.msi.tessdownload", "/dl/P-2.msi"},
                 "/dl/P-3.msi.tessdownload"},
                {{"*", "/dl/tess-1.msi.tessdownload"}, "/dl/tess-2.msi.tessdownload"},
                {{"**"}, "unkown.tessdownload"},
        };
        QCOMPARE(chooseTempName("/dl", "Noext", exists), QStringLiteral("/dl/Noext..tessdownload"));
        for (const auto &row : table) {
            taken = QSet<QString>(row.taken.begin(), row.taken.end());
            asked = 0;
            QCOMPARE(chooseTempName("/dl", "P.msi", exists), row.temp);
        }
        QCOMPARE(asked, 10000 + 9999); // each pair is given up at its first taken name
    }

    void finalNameFromTempName_data()
    {
        QTest::addColumn<QString>("temp");
        QTest::addColumn<QString>("final"); // empty: unexpected, the name stays
        const char *const table[][2] = {{"/dl/P.msi.tessdownload", "/dl/P.msi"},
                                        {"/dl/P-3.msi.tessdownload", "/dl/P-3.msi"},
                                        {"/dl/Noext..tessdownload", "/dl/Noext."},
                                        {"unkown.tessdownload", "./unkown"},
                                        {"/dl/P.msi.TESSDOWNLOAD", ""},
                                        {"/dl/P.msi", ""},
                                        {"/dl.tessdownload/P", ""}};
        for (const auto &row : table)
            QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]);
    }
    void finalNameFromTempName()
    {
        QFETCH(QString, temp);
        QFETCH(QString, final);
        bool unexpected = final.isEmpty();
        const QString expected = unexpected ? temp : final;
        QCOMPARE(DlrDownloadNames::finalNameFromTempName(temp, &unexpected), expected);
        QCOMPARE(unexpected, final.isEmpty()); // set either way
        QCOMPARE(dlrApp->getFinalNameFromTempName(temp), expected);
    }

    void downloadFolderFallsBack()
    {
        QTemporaryDir home;
        const QString downloads = home.filePath(QStringLiteral("Downloads"));
        const QString temp = home.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(temp));
        QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), temp);
        QVERIFY(QDir().mkpath(downloads));
        QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), downloads);
        QCOMPARE(chooseDownloadFolder(home.filePath("a"), home.filePath("b")).path(), ".");
        QCOMPARE(dlrApp->GetDownloadDir()->absolutePath(), TessTest::downloadsDir());
    }
};

TESS_TEST_MAIN(TestDownload)
#include "tst_download.moc"
