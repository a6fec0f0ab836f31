// Product downloads against the real stand-in service over loopback: complete files under their
// final names, name choosing on a real folder, reuse of finished files, every way a transfer can
// fail, a full disk, a vanished folder, and offer names that try to leave the folder.

#include "DlrApp.h"
#include "DlrTexts.h"
#include "DownloadWait.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {
const char ProductFile[] = "TessalineWorkserver-25.1_2301450-win64.msi";
const qint64 ProductSize = 3 * 1024 * 1024 + 123;

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    QRandomGenerator generator(4242);
    for (qint64 i = 0; i < size; ++i)
        bytes[int(i)] = char(generator.bounded(256));
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

// Limits the size of any file this process writes, as a full disk does; the write then fails
// with EFBIG instead of the process being killed by SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }

private:
    struct rlimit saved = {};
    void (*previousHandler)(int) = nullptr;
};
} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void completeDownloadUnderItsFinalName();
    void finishedFileIsTakenWithoutRequest();
    void existingFileOfOtherSizePushesToNextNumber();
    void leftoverTempFilePushesToNextNumber();
    void nameWithoutSuffix();
    void secondDownloadWhileOneRunsIsRefused();
    void refusalsBeforeStart();
    void failures_data();
    void failures();
    void failedHandlerCannotStartAtOnce();
    void fullDiskCancelsTheTransfer();
    void vanishedFolderRefusesToStart();
    void offerNamesNeverLeaveTheFolder_data();
    void offerNamesNeverLeaveTheFolder();

private:
    // Adds an offer for the product file with the given name and URL query; returns its index.
    int addOffer(const QString &name, const QString &query = QString());
    int productRequestsSeen();
    QString downloads() const { return TessTest::downloadsDir(); }

    TessTest::StandinServer server;
    QTemporaryDir scratch;
    QByteArray product;
};

void TestDownload::initTestCase()
{
    QVERIFY(scratch.isValid());
    const QString products = scratch.filePath(QStringLiteral("products"));
    QVERIFY(QDir().mkpath(products));
    product = randomBytes(ProductSize);
    writeFile(products + QLatin1Char('/') + QLatin1String(ProductFile), product);
    writeFile(products + QStringLiteral("/Noext"), "tiny product without a suffix");
    QVERIFY(TessTest::StandinServer::writeProductsJson(
            products, {QVariantMap{{"file", ProductFile},
                                   {"simpleName", "Tessaline Workserver 25.1"},
                                   {"buildId", "2301450"},
                                   {"versionMajor", "25"},
                                   {"versionMinor", "1"}},
                       QVariantMap{{"file", "Noext"}}}));
    server.setProducts(products);
    server.setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")}});
    server.addArguments({QStringLiteral("--stall-seconds"), QStringLiteral("5")});
    QVERIFY2(server.start(), qPrintable(server.errorText()));

    // The offers come from the service's own manifest.
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(server.url(QStringLiteral("/forum/currentproducts.php")),
                            QStringLiteral("demo"), QStringLiteral("demo-password"),
                            QStringLiteral("windows"));
    QTRY_COMPARE_WITH_TIMEOUT(valid.count(), 1, 10000);
    QCOMPARE(dlrApp->manifestList().size(), 2);
    QCOMPARE(dlrApp->GetDownloadDir()->absolutePath(), downloads());
}

void TestDownload::init()
{
    dlrApp->setTransferTimeout(5000);
    QDir dir(downloads());
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        QVERIFY(dir.remove(name));
    for (DlrManifestElement &offer : dlrApp->manifestList()) {
        offer.downloaded = false;
        offer.downloadFile.reset();
    }
    while (dlrApp->manifestList().size() > 2)
        dlrApp->manifestList().removeLast();
}

int TestDownload::addOffer(const QString &name, const QString &query)
{
    DlrManifestElement offer = dlrApp->manifestList().at(0);
    offer.name = name;
    offer.downloadFile.reset();
    QUrl url = offer.downloadUrl;
    url.setQuery(query);
    offer.downloadUrl = url;
    dlrApp->manifestList().append(offer);
    return dlrApp->manifestList().size() - 1;
}

int TestDownload::productRequestsSeen()
{
    const QJsonObject counts = server.fetchJson(QStringLiteral("/debug/state"))
                                       .value(QStringLiteral("counts"))
                                       .toObject();
    int n = 0;
    for (const QString &path : counts.keys())
        n += path.startsWith(QLatin1String("/products/")) ? counts.value(path).toInt() : 0;
    return n;
}

void TestDownload::completeDownloadUnderItsFinalName()
{
    TessTest::LogCapture log;
    QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
    QNetworkReply *reply = dlrApp->DownloadProduct(0);
    QVERIFY(reply);
    QCOMPARE(reply->readBufferSize(), qint64(1024 * 1024)); // memory stays flat
    const QString finalPath = downloads() + QLatin1Char('/') + QLatin1String(ProductFile);
    QVERIFY(QFile::exists(finalPath + QStringLiteral(".tessdownload")));
    QVERIFY(!QFile::exists(finalPath));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QCOMPARE(finished.first().first().toInt(), 0);

    QCOMPARE(readFile(finalPath), product);
    QVERIFY(!QFile::exists(finalPath + QStringLiteral(".tessdownload")));
    const DlrManifestElement &offer = dlrApp->manifestList().at(0);
    QVERIFY(offer.downloaded);
    QVERIFY(offer.downloadFile);
    QCOMPARE(offer.downloadFile->fileName(), finalPath);
    QVERIFY(!offer.downloadFile->isOpen());
    QVERIFY(log.contains(QStringLiteral("downloading ")));
    QVERIFY(log.contains(QStringLiteral("Tessaline Workserver 25.1")));
    QVERIFY(log.contains(QStringLiteral("finished download")));

    log.clear();
    QVERIFY(!dlrApp->DownloadProduct(0));
    QVERIFY(log.contains(QStringLiteral("Asked to download ")));
}

void TestDownload::finishedFileIsTakenWithoutRequest()
{
    const QString finalPath = downloads() + QLatin1Char('/') + QLatin1String(ProductFile);
    writeFile(finalPath, product);
    const int before = productRequestsSeen();

    TessTest::LogCapture log;
    dlrApp->CheckForDownload(0);
    const DlrManifestElement &offer = dlrApp->manifestList().at(0);
    QVERIFY(offer.downloaded);
    QCOMPARE(offer.downloadFile->fileName(), finalPath);
    QVERIFY(log.contains(QStringLiteral("Looking for download of")));
    QVERIFY(log.contains(QStringLiteral("Found existing download")));
    QVERIFY(!dlrApp->DownloadProduct(0));
    QCOMPARE(productRequestsSeen(), before);
    QCOMPARE(readFile(finalPath), product);

    // Another size, or only a numbered alternative: not recognised.
    init();
    writeFile(finalPath, product.left(1000));
    writeFile(downloads() + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64-1.msi"),
              product);
    dlrApp->CheckForDownload(0);
    QVERIFY(!dlrApp->manifestList().at(0).downloaded);
    QVERIFY(!dlrApp->manifestList().at(0).downloadFile);

    log.clear();
    dlrApp->CheckForDownload(99);
    QVERIFY(log.contains(QStringLiteral("index out of range in CheckForDownload")));
}

void TestDownload::existingFileOfOtherSizePushesToNextNumber()
{
    const QString first = downloads() + QLatin1Char('/') + QLatin1String(ProductFile);
    writeFile(first, "an older, different file");
    QCOMPARE(dlrApp->getDownloadPath(0),
             downloads()
                     + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64-1.msi"
                                      ".tessdownload"));
    QCOMPARE(downloadAndWait(0), QString());
    QCOMPARE(readFile(first), QByteArray("an older, different file")); // untouched
    QCOMPARE(
            readFile(downloads() + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64-1.msi")),
            product);
    QCOMPARE(dlrApp->manifestList().at(0).downloadFile->fileName(),
             downloads() + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64-1.msi"));
}

void TestDownload::leftoverTempFilePushesToNextNumber()
{
    const QString leftover = downloads() + QLatin1Char('/') + QLatin1String(ProductFile)
                             + QStringLiteral(".tessdownload");
    writeFile(leftover, "interrupted");
    QCOMPARE(downloadAndWait(0), QString());
    QCOMPARE(readFile(leftover), QByteArray("interrupted"));
    QVERIFY(!QFile::exists(downloads() + QLatin1Char('/') + QLatin1String(ProductFile)));
    QCOMPARE(
            readFile(downloads() + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64-1.msi")),
            product);
}

void TestDownload::nameWithoutSuffix()
{
    QCOMPARE(dlrApp->manifestList().at(1).name, QStringLiteral("Noext"));
    QCOMPARE(dlrApp->getDownloadPath(1), downloads() + QStringLiteral("/Noext..tessdownload"));
    QCOMPARE(downloadAndWait(1), QString());
    QCOMPARE(readFile(downloads() + QStringLiteral("/Noext.")),
             QByteArray("tiny product without a suffix"));
}

void TestDownload::secondDownloadWhileOneRunsIsRefused()
{
    const int slow = addOffer(QStringLiteral("Slow.msi"), QStringLiteral("fault=slow:2000000"));
    QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
    QVERIFY(dlrApp->DownloadProduct(slow));

    TessTest::LogCapture log;
    QVERIFY(!dlrApp->DownloadProduct(0));
    QVERIFY(log.contains(QStringLiteral("Already downloading something")));
    QVERIFY(!dlrApp->manifestList().at(0).downloadFile); // nothing changed for the other offer
    QVERIFY(!QFile::exists(downloads() + QLatin1Char('/') + QLatin1String(ProductFile)
                           + QStringLiteral(".tessdownload")));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QCOMPARE(finished.first().first().toInt(), slow);
    QCOMPARE(readFile(downloads() + QStringLiteral("/Slow.msi")), product);
}

void TestDownload::refusalsBeforeStart()
{
    TessTest::LogCapture log;
    QVERIFY(!dlrApp->DownloadProduct(-1));
    QVERIFY(!dlrApp->DownloadProduct(dlrApp->manifestList().size()));
    QCOMPARE(log.count(QStringLiteral("index out of range in Download ")), 2);
    QCOMPARE(dlrApp->getDownloadPath(57), QStringLiteral("unkown.tessdownload"));
    QVERIFY(log.contains(QStringLiteral("index out of range in getDownloadPath")));
    QCOMPARE(dlrApp->getFinalNameFromTempName(QStringLiteral("/x/y.msi")),
             QStringLiteral("/x/y.msi"));
    QVERIFY(log.contains(QStringLiteral("getFinalNameFromTempName: Unexpected name")));
    QVERIFY(QDir(downloads()).entryList(QDir::Files).isEmpty());
}

void TestDownload::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("partialData");

    QTest::newRow("reset") << "reset:1000000" << int(QNetworkReply::RemoteHostClosedError) << true;
    QTest::newRow("short body") << "short:1000000" << int(QNetworkReply::RemoteHostClosedError)
                                << true;
    QTest::newRow("stall") << "stall:1000000" << int(QNetworkReply::OperationCanceledError) << true;
    QTest::newRow("404") << "404" << int(QNetworkReply::ContentNotFoundError) << false;
    QTest::newRow("500") << "500" << int(QNetworkReply::InternalServerError) << false;
}

void TestDownload::failures()
{
    QFETCH(QString, fault);
    QFETCH(int, error);
    QFETCH(bool, partialData);

    dlrApp->setTransferTimeout(1000);
    const int index = addOffer(QStringLiteral("Faulty.msi"), QStringLiteral("fault=") + fault);
    TessTest::LogCapture log;
    QCOMPARE(downloadAndWait(index), networkErrorText(QNetworkReply::NetworkError(error)));

    const QString temp = downloads() + QStringLiteral("/Faulty.msi.tessdownload");
    QVERIFY(QFile::exists(temp)); // the partial file stays
    QVERIFY(!QFile::exists(downloads() + QStringLiteral("/Faulty.msi")));
    if (partialData) {
        const QByteArray got = readFile(temp);
        QVERIFY(got.size() > 0 && got.size() < product.size());
        QVERIFY(product.startsWith(got));
    }
    const DlrManifestElement &offer = dlrApp->manifestList().at(index);
    QVERIFY(!offer.downloaded);
    QVERIFY(!offer.downloadFile);

    // It may be tried again, and then picks a new name beside the partial file.
    dlrApp->manifestList()[index].downloadUrl.setQuery(QString());
    QCOMPARE(downloadAndWait(index), QString());
    QCOMPARE(readFile(downloads() + QStringLiteral("/Faulty-1.msi")), product);
}

void TestDownload::failedHandlerCannotStartAtOnce()
{
    const int index = addOffer(QStringLiteral("Missing.msi"), QStringLiteral("fault=404"));
    QList<bool> restarted;
    const QMetaObject::Connection connection
            = connect(dlrApp, &DlrApp::failedDownload, this, [&restarted](QString, int i) {
                  restarted.append(dlrApp->DownloadProduct(i) != nullptr);
              });
    QCOMPARE(downloadAndWait(index), networkErrorText(QNetworkReply::ContentNotFoundError));
    disconnect(connection);
    QCOMPARE(restarted, QList<bool>{false});
    QVERIFY(dlrApp->DownloadProduct(0)); // but a moment later it can
    QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
}

void TestDownload::fullDiskCancelsTheTransfer()
{
    TessTest::LogCapture log;
    QString reason;
    {
        FileSizeLimit limit(256 * 1024);
        reason = downloadAndWait(0);
    }
    QCOMPARE(reason, networkErrorText(QNetworkReply::OperationCanceledError));
    QVERIFY(log.contains(QStringLiteral("Failed writing to file in download")));
    const QString temp = downloads() + QLatin1Char('/') + QLatin1String(ProductFile)
                         + QStringLiteral(".tessdownload");
    QVERIFY(QFileInfo(temp).size() <= 256 * 1024);
    QVERIFY(!QFile::exists(downloads() + QLatin1Char('/') + QLatin1String(ProductFile)));
    QVERIFY(!dlrApp->manifestList().at(0).downloaded);
}

void TestDownload::vanishedFolderRefusesToStart()
{
    const QString moved = downloads() + QStringLiteral(".away");
    QVERIFY(QDir().rename(downloads(), moved));
    TessTest::LogCapture log;
    const bool started = dlrApp->DownloadProduct(0) != nullptr;
    QVERIFY(QDir().rename(moved, downloads()));
    QVERIFY(!started);
    QVERIFY(log.contains(QStringLiteral("Couldn't open temp file for write")));
    QVERIFY(!dlrApp->manifestList().at(0).downloaded);
}

void TestDownload::offerNamesNeverLeaveTheFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("landsAs");

    const QString outside = scratch.filePath(QStringLiteral("outside.msi"));
    QTest::newRow("parents") << "../../evil.msi"
                             << "evil.msi";
    QTest::newRow("absolute") << outside << "outside.msi";
    QTest::newRow("backslash parents") << "..\\..\\x.msi"
                                       << "x.msi";
    QTest::newRow("sub folder") << "sub/dir.msi"
                                << "dir.msi";
    QTest::newRow("drive") << "C:\\Windows\\y.msi"
                           << "y.msi";
    QTest::newRow("parent only") << ".."
                                 << "";
    QTest::newRow("folder only") << "../"
                                 << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestDownload::offerNamesNeverLeaveTheFolder()
{
    QFETCH(QString, name);
    QFETCH(QString, landsAs);

    const QDir home(TessTest::homeDir());
    const QStringList homeBefore = home.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QStringList scratchBefore = QDir(scratch.path()).entryList(QDir::AllEntries);
    const int index = addOffer(name);
    TessTest::LogCapture log;

    if (landsAs.isEmpty()) {
        QVERIFY(!dlrApp->DownloadProduct(index));
        QVERIFY(log.contains(QStringLiteral("Refusing to download")));
        dlrApp->CheckForDownload(index);
        QVERIFY(!dlrApp->manifestList().at(index).downloaded);
    } else {
        QCOMPARE(downloadAndWait(index), QString());
        QCOMPARE(readFile(downloads() + QLatin1Char('/') + landsAs), product);
        // And found there by a later check, under the same rule.
        dlrApp->manifestList()[index].downloaded = false;
        dlrApp->CheckForDownload(index);
        QCOMPARE(dlrApp->manifestList().at(index).downloadFile->fileName(),
                 downloads() + QLatin1Char('/') + landsAs);
    }
    QCOMPARE(home.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), homeBefore);
    QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries), scratchBefore);
    QVERIFY(QDir(downloads()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
}

TESS_TEST_MAIN(TestDownload)
#include "tst_download.moc"
