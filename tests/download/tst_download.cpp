// Product downloads against the stand-in service over loopback and the naming rules they follow:
// numbered alternatives, reuse of finished files, every way a transfer can fail, a full disk.

#include "DlrDownloadNames.h"
#include "DlrTexts.h"
#include "DownloadWait.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <csignal>
#include <sys/resource.h>

using namespace DlrDownloadNames;

namespace {
const QString ProductFile = "TessalineWorkserver-25.1_2301450-win64.msi";
const QString Numbered = "TessalineWorkserver-25.1_2301450-win64-1.msi";
} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

    TessTest::StandinServer server;
    QTemporaryDir scratch;
    const QByteArray product = TessTest::PackageBuilder::randomBytes(3 * 1024 * 1024 + 123, 4242);
    DlrManifestElement offer;

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    static QString inDownloads(const QString &name)
    {
        return TessTest::downloadsDir() + '/' + name;
    }
    static QStringList downloads()
    {
        return QDir(TessTest::downloadsDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    int addOffer(const QString &name, const QString &query = QString())
    {
        dlrApp->manifestList().append(offer);
        dlrApp->manifestList().last().name = name;
        dlrApp->manifestList().last().downloadUrl.setQuery(query);
        return dlrApp->manifestList().size() - 1;
    }
    int productRequests()
    {
        return server.fetchJson("/debug/state").value("counts")["/products/" + ProductFile].toInt();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeFile(scratch.filePath(ProductFile), product));
        QVERIFY(TessTest::StandinServer::writeProductsJson(scratch.path(),
                                                           {{{"file", ProductFile}}}));
        server.setProducts(scratch.path());
        server.addArguments({"--stall-seconds", "5"});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        offer.name = ProductFile;
        offer.fileSize = product.size();
        offer.downloadUrl = server.url("/products/" + ProductFile);
    }
    void init()
    {
        dlrApp->setTransferTimeout(5000);
        for (const QString &name : downloads())
            QVERIFY(QFile::remove(inDownloads(name)));
        dlrApp->manifestList() = {offer, offer};
    }

    // A download lands under its final name once complete; the finished file of the exact size
    // is taken without a request; anything else leaves it to the first free numbered name.
    void downloadBesideWhatIsThere_data()
    {
        QTest::addColumn<QString>("present");
        QTest::addColumn<int>("sizeChange");
        QTest::addColumn<QString>("landsAs"); // empty: taken as it is
        QTest::newRow("nothing there") << QString() << 0 << ProductFile;
        QTest::newRow("same size") << ProductFile << 0 << "";
        QTest::newRow("a byte less") << ProductFile << -1 << Numbered;
        QTest::newRow("a byte more") << ProductFile << 1 << Numbered;
        QTest::newRow("leftover temporary file") << ProductFile + ".tessdownload" << 0 << Numbered;
        QTest::newRow("numbered alternative only") << Numbered << 0 << ProductFile;
    }
    void downloadBesideWhatIsThere()
    {
        QFETCH(QString, present);
        QFETCH(int, sizeChange);
        QFETCH(QString, landsAs);
        const QByteArray onDisk
                = product.left(product.size() + sizeChange) + QByteArray(sizeChange > 0, 'x');
        QVERIFY(present.isEmpty() || writeFile(inDownloads(present), onDisk));
        const int before = productRequests();
        dlrApp->CheckForDownload(0);
        const bool taken = landsAs.isEmpty();
        const QString path = inDownloads(taken ? present : landsAs);
        QCOMPARE(dlrApp->manifestList().at(0).downloaded, taken);
        if (!taken) {
            QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
            QNetworkReply *reply = dlrApp->DownloadProduct(0);
            QVERIFY(reply);
            QCOMPARE(reply->readBufferSize(), qint64(1024 * 1024)); // memory stays flat
            QVERIFY(QFile::exists(path + ".tessdownload") && !QFile::exists(path));
            // Only one transfer at a time; the refused one changes nothing.
            QVERIFY(!dlrApp->DownloadProduct(1) && !dlrApp->manifestList().at(1).downloadFile);
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
            QCOMPARE(finished.first().first().toInt(), 0);
            QVERIFY(!QFile::exists(path + ".tessdownload"));
        }
        const DlrManifestElement &offer = dlrApp->manifestList().at(0);
        QVERIFY(offer.downloaded && !offer.downloadFile->isOpen());
        QCOMPARE(offer.downloadFile->fileName(), path);
        QVERIFY(!dlrApp->DownloadProduct(0)); // done once is done
        QCOMPARE(readFile(path), taken ? onDisk : product);
        QVERIFY(present.isEmpty() || readFile(inDownloads(present)) == onDisk); // untouched
        QCOMPARE(productRequests(), before + (taken ? 0 : 1));
    }

    void refusalsBeforeStart()
    {
        const int size = dlrApp->manifestList().size();
        QVERIFY(!dlrApp->DownloadProduct(-1) && !dlrApp->DownloadProduct(size));
        dlrApp->CheckForDownload(size);
        QCOMPARE(dlrApp->getDownloadPath(size), QString("unkown.tessdownload"));
        // A folder that went away: the temporary file cannot be made.
        const QString moved = TessTest::downloadsDir() + ".away";
        QVERIFY(QDir().rename(TessTest::downloadsDir(), moved));
        const bool started = dlrApp->DownloadProduct(0);
        QVERIFY(QDir().rename(moved, TessTest::downloadsDir()));
        QVERIFY(!started);
        QCOMPARE(downloads(), {});
    }

    void failures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("partial");
        QTest::addColumn<int>("fileSizeLimit"); // a full disk: the write fails (EFBIG)
        const int closed = QNetworkReply::RemoteHostClosedError;
        const int canceled = QNetworkReply::OperationCanceledError;
        QTest::newRow("reset") << "reset:1000000" << closed << true << 0;
        // Closed cleanly before the announced length: complete only in the server's eyes.
        QTest::newRow("short body") << "short:1000000" << closed << true << 0;
        QTest::newRow("stall") << "stall:1000000" << canceled << true << 0;
        QTest::newRow("404") << "404" << int(QNetworkReply::ContentNotFoundError) << false << 0;
        QTest::newRow("500") << "500" << int(QNetworkReply::InternalServerError) << false << 0;
        QTest::newRow("full disk") << "" << canceled << true << 256 * 1024;
    }
    void failures()
    {
        QFETCH(QString, fault);
        QFETCH(int, error);
        QFETCH(bool, partial);
        QFETCH(int, fileSizeLimit);
        dlrApp->setTransferTimeout(1000);
        const int index = addOffer("Faulty.msi", "fault=" + fault);
        // Nothing can start from inside the failure signal: the reply is still the running one.
        QList<bool> restarted;
        const auto c = connect(dlrApp, &DlrApp::failedDownload, this, [&](QString, int i) {
            restarted.append(dlrApp->DownloadProduct(i));
        });
        struct rlimit saved = {}, limited = {};
        getrlimit(RLIMIT_FSIZE, &saved);
        limited = saved;
        if (fileSizeLimit)
            limited.rlim_cur = rlim_t(fileSizeLimit);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limited);
        const QString reason = downloadAndWait(index);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        disconnect(c);
        QCOMPARE(reason, networkErrorText(QNetworkReply::NetworkError(error)));
        QCOMPARE(restarted, QList<bool>{false});
        // The partial file stays under its temporary name.
        QCOMPARE(downloads(), QStringList{"Faulty.msi.tessdownload"});
        const QByteArray got = readFile(inDownloads("Faulty.msi.tessdownload"));
        if (partial)
            QVERIFY(got.size() > 0 && got.size() < product.size() && product.startsWith(got));
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
        // clang-format off
        const char *const pairs[][2] = {
            {"../../evil.msi", "evil.msi"}, {"C:x.msi", "x.msi"}, {"\\\\server\\share\\f.msi", "f.msi"},
            {"a/b\\..\\c:d/../e.msi", "e.msi"}, {"my..product...msi", "my..product...msi"},
            {"a b.msi", "a b.msi"}, {"..", ""}, {".", ""}, {"a/..", ""}, {"../", ""}, {"", ""},
            {"a\x1f.msi", ""}, {"a\x7f.msi", ""}};
        // clang-format on
        for (const auto &pair : pairs)
            QTest::newRow(pair[0]) << QString(pair[0]) << QString(pair[1]);
    }
    void offerNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, fileName);
        QCOMPARE(safeFileName(name), fileName);
        const int index = addOffer(name);
        if (fileName.isEmpty()) {
            QVERIFY(!dlrApp->DownloadProduct(index));
            dlrApp->CheckForDownload(index);
            QVERIFY(!dlrApp->manifestList().at(index).downloaded);
            QCOMPARE(downloads(), {});
            return;
        }
        QCOMPARE(downloadAndWait(index), QString());
        QCOMPARE(downloads(), QStringList{fileName});
        QCOMPARE(readFile(inDownloads(fileName)), product);
        // Found there by a later check under the same rule.
        dlrApp->manifestList()[index].downloaded = false;
        dlrApp->CheckForDownload(index);
        QCOMPARE(dlrApp->manifestList().at(index).downloadFile->fileName(), inDownloads(fileName));
    }

    // The free temporary name: the first number whose final and temporary names are both free,
    // then emergency names, then the last resort; and back from a temporary name to the final one.
    void temporaryNames()
    {
        QSet<QString> taken;
        int asked = 0;
        const auto exists = [&](const QString &path) {
            ++asked;
            return taken.contains(path) || (taken.contains("*") && path.contains("/P"))
                   || taken.contains("**");
        };
        // clang-format off
        const struct { QStringList taken; QString temp; } table[] = {
            {{}, "/dl/P.msi.tessdownload"},
            {{"/dl/P.msi"}, "/dl/P-1.msi.tessdownload"},
            {{"/dl/P.msi.tessdownload"}, "/dl/P-1.msi.tessdownload"},
            {{"/dl/P.msi", "/dl/P-1.msi.tessdownload", "/dl/P-2.msi"}, "/dl/P-3.msi.tessdownload"},
            {{"*", "/dl/tess-1.msi.tessdownload"}, "/dl/tess-2.msi.tessdownload"},
            {{"**"}, "unkown.tessdownload"}};
        // clang-format on
        QCOMPARE(chooseTempName("/dl", "Noext", exists), QString("/dl/Noext..tessdownload"));
        for (const auto &row : table) {
            taken = QSet<QString>(row.taken.begin(), row.taken.end());
            asked = 0;
            QCOMPARE(chooseTempName("/dl", "P.msi", exists), row.temp);
        }
        QCOMPARE(asked, 10000 + 9999); // each pair is given up at its first taken name

        // clang-format off
        const char *const finals[][2] = {
            {"/dl/P-3.msi.tessdownload", "/dl/P-3.msi"}, {"/dl/Noext..tessdownload", "/dl/Noext."},
            {"unkown.tessdownload", "./unkown"}, {"/dl/P.msi.TESSDOWNLOAD", nullptr},
            {"/dl/P.msi", nullptr}, {"/dl.tessdownload/P", nullptr}};
        // clang-format on
        for (const auto &row : finals) {
            const QString expected = row[1] ? row[1] : row[0];
            bool unexpected = !row[1];
            QCOMPARE(finalNameFromTempName(row[0], &unexpected), expected);
            QCOMPARE(unexpected, !row[1]); // set either way
            QCOMPARE(dlrApp->getFinalNameFromTempName(row[0]), expected);
        }
    }

    void downloadFolderFallsBack()
    {
        QTemporaryDir home;
        const QString downloads = home.filePath("Downloads"), temp = home.filePath("tmp");
        QVERIFY(QDir().mkpath(temp));
        QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), temp);
        QVERIFY(QDir().mkpath(downloads));
        QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), downloads);
        QCOMPARE(chooseDownloadFolder(home.filePath("a"), home.filePath("b")).path(), QString("."));
        QCOMPARE(dlrApp->GetDownloadDir()->absolutePath(), TessTest::downloadsDir());
    }
};

TESS_TEST_MAIN(TestDownload)
#include "tst_download.moc"
