// Product downloads against the stand-in service over loopback and the naming rules they follow:
// numbered alternatives, reuse of finished files checked by their digest, every way a transfer
// can fail, a full disk, and the retry that continues the partial file or starts it over.

#include "DlrDownloadNames.h"
#include "DlrTexts.h"
#include "DownloadWait.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

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
    // Requests for the product and its body bytes sent, as the service counts them.
    int productRequests() { return served("counts", "/products/").toInt(); }
    qint64 bytesSent() { return served("bytes", "").toVariant().toLongLong(); }
    QJsonValue served(const char *what, const QString &prefix)
    {
        return server.fetchJson("/debug/state").value(what)[prefix + ProductFile];
    }
    // The service's validator of the product: its size and change time (ns), in hex.
    QByteArray productTag() const
    {
        struct stat st = {};
        stat(QFile::encodeName(scratch.filePath(ProductFile)).constData(), &st);
        const qint64 ns = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        return QString("\"%1-%2\"").arg(st.st_size, 0, 16).arg(ns, 0, 16).toLatin1();
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
        offer.sha256 = QCryptographicHash::hash(product, QCryptographicHash::Sha256).toHex();
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
    // and digest is taken without a request; a damaged one is replaced, a partial one longer
    // than the product started over; anything else leaves it to the first free numbered name.
    void downloadBesideWhatIsThere_data()
    {
        QTest::addColumn<QString>("present");
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<QString>("landsAs"); // empty: taken as it is
        QByteArray damaged = product;
        damaged[12345] = ~damaged[12345];
        const QString partial = ProductFile + ".tessdownload";
        QTest::newRow("nothing there") << QString() << product << ProductFile;
        QTest::newRow("same size") << ProductFile << product << "";
        QTest::newRow("wrong digest") << ProductFile << damaged << ProductFile;
        QTest::newRow("a byte less") << ProductFile << product.chopped(1) << Numbered;
        QTest::newRow("a byte more") << ProductFile << product + 'x' << Numbered;
        QTest::newRow("partial file, too long") << partial << product + 'x' << ProductFile;
        QTest::newRow("numbered alternative only") << Numbered << product << ProductFile;
    }
    void downloadBesideWhatIsThere()
    {
        QFETCH(QString, present);
        QFETCH(QByteArray, onDisk);
        QFETCH(QString, landsAs);
        QVERIFY(present.isEmpty() || writeFile(inDownloads(present), onDisk));
        // A partial file with its validator would be continued, were it not too long.
        QVERIFY(!present.endsWith("download")
                || writeFile(inDownloads(present + ".validator"), productTag()));
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
            QVERIFY(QFile::exists(path + ".tessdownload"));
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
        // What was there stays, unless it was this offer's partial file or damaged copy.
        const bool consumed = present.endsWith("download") || present == landsAs;
        QVERIFY(present.isEmpty() || consumed || readFile(inDownloads(present)) == onDisk);
        QCOMPARE(downloads().size(), 1 + int(!present.isEmpty() && !consumed && !taken));
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

    // Every way a transfer can fail ends in one failure signal and leaves the partial file (with
    // its validator) for the retry to continue with a range request, or to start over when the
    // server cannot continue it. The service counts the bytes the retry cost, where it can tell
    // them from the first attempt's: the rest of the file, or the whole file.
    void failures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("error"); // -1: the checksum mismatch
        QTest::addColumn<bool>("partial");
        QTest::addColumn<int>("fileSizeLimit"); // a full disk: the write fails (EFBIG)
        QTest::addColumn<QString>("retryFault");
        QTest::addColumn<bool>("counted");
        const int closed = QNetworkReply::RemoteHostClosedError;
        const int canceled = QNetworkReply::OperationCanceledError;
        for (const char *p : {"10%", "50%", "99%"})
            QTest::addRow("drop at %s", p)
                    << QString("reset:") + p << closed << true << 0 << "" << true;
        // Closed cleanly before the announced length: complete only in the server's eyes.
        QTest::newRow("short body") << "short:1000000" << closed << true << 0 << "" << true;
        QTest::newRow("404") << "404" << int(QNetworkReply::ContentNotFoundError) << false << 0
                             << "" << true;
        QTest::newRow("500") << "500" << int(QNetworkReply::InternalServerError) << false << 0 << ""
                             << true;
        QTest::newRow("full disk") << "" << canceled << true << 256 * 1024 << "" << false;
        QTest::newRow("damaged body") << "corrupt" << -1 << false << 0 << "" << true;
        QTest::newRow("file changed") << "reset:50%" << closed << true << 0 << "newetag" << true;
        QTest::newRow("ranges ignored") << "reset:50%" << closed << true << 0 << "norange" << true;
        QTest::newRow("wrong range") << "reset:50%" << closed << true << 0 << "badrange" << false;
        // Last: the service counts a stalled answer only when it gives up on it, seconds later.
        QTest::newRow("stall") << "stall:1000000" << canceled << true << 0 << "" << false;
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
        QCOMPARE(reason, error < 0 ? QString("The downloaded file is damaged (checksum mismatch)")
                                   : networkErrorText(QNetworkReply::NetworkError(error)));
        QCOMPARE(restarted, QList<bool>{false});
        const QString temp = "Faulty.msi.tessdownload";
        const QStringList left{temp, temp + ".validator"};
        QCOMPARE(downloads(), partial ? left : QStringList());
        const QByteArray got = readFile(inDownloads(temp));
        QVERIFY(!partial
                || (got.size() > 0 && got.size() < product.size() && product.startsWith(got)));
        QVERIFY(!dlrApp->manifestList().at(index).downloaded);
        QVERIFY(!dlrApp->manifestList().at(index).downloadFile);

        // Qt sends a request once more itself when its connection drops before any byte arrived.
        const qint64 before = bytesSent();
        // A retry that cannot even connect leaves the partial file as it was.
        const QUrl url = dlrApp->manifestList().at(index).downloadUrl;
        dlrApp->manifestList()[index].downloadUrl.setPort(1);
        QCOMPARE(downloadAndWait(index), networkErrorText(QNetworkReply::ConnectionRefusedError));
        QCOMPARE(readFile(inDownloads(temp)), got);
        dlrApp->manifestList()[index].downloadUrl = url;
        QFETCH(QString, retryFault);
        dlrApp->manifestList()[index].downloadUrl.setQuery(
                retryFault.isEmpty() ? "" : "fault=" + retryFault);
        QCOMPARE(downloadAndWait(index), QString());
        QCOMPARE(downloads(), QStringList{"Faulty.msi"});
        QCOMPARE(readFile(inDownloads("Faulty.msi")), product);
        QFETCH(bool, counted);
        const qint64 rest
                = partial && retryFault.isEmpty() ? product.size() - got.size() : product.size();
        if (counted)
            QTRY_COMPARE(bytesSent() - before, rest);
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
