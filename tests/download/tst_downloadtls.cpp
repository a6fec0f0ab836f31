// Certificate problems of the manifest request and of downloads, against the stand-in service
// over https with certificates made by openssl for this run. The cases run in order: once the
// user has accepted a problem, every later one of the process passes silently.

#include "DlrApp.h"
#include "DlrTexts.h"
#include "DownloadWait.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QtTest>

namespace {
const char ProductFile[] = "Secure.msi";
const char BoxText[] = "There was issue with the SSL connection. Continue anyway?";
const char MultipleText[] = "There were multiple issues with the SSL connection";

// Certificates and keys made with the openssl command in a temporary folder.
class Certificates
{
public:
    bool make();
    QString path(const QString &name) const { return dir.filePath(name); }
    QString error;

private:
    bool openssl(const QStringList &arguments);
    bool signLeaf(const QString &name,
                  const QString &altNames,
                  const QStringList &validity = {QStringLiteral("-days"), QStringLiteral("30")});
    bool concatenate(const QString &target, const QStringList &parts);

    QTemporaryDir dir;
};

bool Certificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        error = QStringLiteral("openssl %1: %2")
                        .arg(arguments.join(QLatin1Char(' ')),
                             QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool Certificates::concatenate(const QString &target, const QStringList &parts)
{
    QFile out(path(target));
    if (!out.open(QIODevice::WriteOnly))
        return false;
    for (const QString &part : parts) {
        QFile in(path(part));
        if (!in.open(QIODevice::ReadOnly))
            return false;
        out.write(in.readAll());
    }
    return true;
}

// A leaf for the given subject alternative names, signed by the root; its validity is either
// "-days N" (through x509) or "-startdate A -enddate B" (through the ca command).
bool Certificates::signLeaf(const QString &name,
                            const QString &altNames,
                            const QStringList &validity)
{
    QFile ext(path(name + QStringLiteral(".ext")));
    if (!ext.open(QIODevice::WriteOnly))
        return false;
    ext.write("subjectAltName=" + altNames.toLatin1() + "\n");
    ext.close();
    if (!openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out",
                  name + ".csr", "-subj", "/CN=" + name}))
        return false;
    if (validity.first() == QLatin1String("-days"))
        return openssl(QStringList{"x509", "-req", "-in", name + ".csr", "-CA", "root.pem",
                                   "-CAkey", "root.key", "-CAcreateserial", "-out", name + ".pem",
                                   "-extfile", name + ".ext"}
                       + validity);
    return openssl(QStringList{"ca", "-batch", "-config", "ca.cnf", "-cert", "root.pem", "-keyfile",
                               "root.key", "-in", name + ".csr", "-out", name + ".pem", "-extfile",
                               name + ".ext", "-notext"}
                   + validity);
}

bool Certificates::make()
{
    if (!dir.isValid())
        return false;
    QFile config(path(QStringLiteral("ca.cnf")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write("[ca]\ndefault_ca = local\n[local]\ndatabase = index.txt\nnew_certs_dir = .\n"
                 "serial = serial\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                 "[any]\ncommonName = supplied\n");
    config.close();
    QFile(path(QStringLiteral("index.txt"))).open(QIODevice::WriteOnly);
    QFile serial(path(QStringLiteral("serial")));
    if (!serial.open(QIODevice::WriteOnly) || serial.write("1000\n") < 0)
        return false;
    serial.close();

    const QString here = QStringLiteral("IP:127.0.0.1,DNS:localhost");
    return openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out",
                    "root.pem", "-days", "30", "-subj", "/CN=Tessaline Test Root"})
           && signLeaf(QStringLiteral("chained"), here)
           && concatenate(QStringLiteral("chained-chain.pem"), {"chained.pem", "root.pem"})
           && signLeaf(QStringLiteral("elsewhere"), QStringLiteral("DNS:elsewhere.example"))
           && concatenate(QStringLiteral("elsewhere-chain.pem"), {"elsewhere.pem", "root.pem"})
           && signLeaf(QStringLiteral("expired"), here,
                       {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"})
           && concatenate(QStringLiteral("expired-chain.pem"), {"expired.pem", "root.pem"})
           && openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self.key",
                       "-out", "self.pem", "-days", "30", "-subj", "/CN=127.0.0.1", "-addext",
                       "subjectAltName=" + here})
           && openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "selfwrong.key",
                       "-out", "selfwrong.pem", "-days", "30", "-subj", "/CN=wrong.example",
                       "-addext", "subjectAltName=DNS:wrong.example"});
}
} // namespace

class TestDownloadTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void rootPresentedInTheChainPassesSilently();
    void declinedSelfSignedLeafFailsTheDownload();
    void declinedManifestRequestIsUnknownValidation();
    void twoProblemsListTheirTexts();
    void expiredLeafAsks();
    void emptyErrorListStillAsks();
    void acceptedHostMismatchGoesOnAndSilencesLaterProblems();

private:
    // A service over https with this certificate chain and key, serving the product.
    bool startServer(TessTest::StandinServer &server, const QString &chain, const QString &key);
    int addOffer(const QUrl &url);

    Certificates certs;
    QTemporaryDir scratch;
    QString products;
    QByteArray product;
    TessTest::StandinServer chained;
    TessTest::StandinServer selfSigned;
    TessTest::StandinServer selfSignedWrongHost;
    TessTest::StandinServer expired;
    TessTest::StandinServer elsewhere;
    TessTest::BoxAnswerer *boxes = nullptr;
};

bool TestDownloadTls::startServer(TessTest::StandinServer &server,
                                  const QString &chain,
                                  const QString &key)
{
    server.setProducts(products);
    server.setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")}});
    server.setTls(certs.path(chain), certs.path(key));
    if (!server.start()) {
        qWarning() << server.errorText();
        return false;
    }
    return true;
}

void TestDownloadTls::initTestCase()
{
    QVERIFY2(certs.make(), qPrintable(certs.error));
    products = scratch.filePath(QStringLiteral("products"));
    QVERIFY(QDir().mkpath(products));
    product = QByteArray(200 * 1024, 's');
    QFile file(products + QLatin1Char('/') + QLatin1String(ProductFile));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(product);
    file.close();
    QVERIFY(TessTest::StandinServer::writeProductsJson(products,
                                                       {QVariantMap{{"file", ProductFile}}}));

    QVERIFY(startServer(chained, QStringLiteral("chained-chain.pem"),
                        QStringLiteral("chained.key")));
    QVERIFY(startServer(selfSigned, QStringLiteral("self.pem"), QStringLiteral("self.key")));
    QVERIFY(startServer(selfSignedWrongHost, QStringLiteral("selfwrong.pem"),
                        QStringLiteral("selfwrong.key")));
    QVERIFY(startServer(expired, QStringLiteral("expired-chain.pem"),
                        QStringLiteral("expired.key")));
    QVERIFY(startServer(elsewhere, QStringLiteral("elsewhere-chain.pem"),
                        QStringLiteral("elsewhere.key")));
    boxes = new TessTest::BoxAnswerer(this);
}

void TestDownloadTls::init()
{
    dlrApp->setTransferTimeout(5000);
    QDir dir(TessTest::downloadsDir());
    for (const QString &name : dir.entryList(QDir::Files))
        dir.remove(name);
    dlrApp->manifestList().clear();
}

int TestDownloadTls::addOffer(const QUrl &url)
{
    DlrManifestElement offer;
    offer.name = QLatin1String(ProductFile);
    offer.downloadUrl = url;
    offer.fileSize = product.size();
    dlrApp->manifestList().append(offer);
    return dlrApp->manifestList().size() - 1;
}

void TestDownloadTls::rootPresentedInTheChainPassesSilently()
{
    const int index = addOffer(chained.url(QStringLiteral("/products/Secure.msi")));
    QCOMPARE(downloadAndWait(index), QString());
    QCOMPARE(boxes->count(), 0);
    QFile file(TessTest::downloadsDir() + QStringLiteral("/Secure.msi"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), product);

    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(chained.url(QStringLiteral("/forum/currentproducts.php")),
                            QStringLiteral("demo"), QStringLiteral("demo-password"),
                            QStringLiteral("windows"));
    QTRY_COMPARE_WITH_TIMEOUT(valid.count(), 1, 10000);
    QCOMPARE(boxes->count(), 0);
    QVERIFY(!dlrApp->isSslAccepted());
}

void TestDownloadTls::declinedSelfSignedLeafFailsTheDownload()
{
    boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
    const int index = addOffer(selfSigned.url(QStringLiteral("/products/Secure.msi")));
    QCOMPARE(downloadAndWait(index), networkErrorText(QNetworkReply::SslHandshakeFailedError));
    QCOMPARE(boxes->count(), 1);
    QCOMPARE(boxes->unexpectedCount(), 0);
    const TessTest::BoxRecord box = boxes->last();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, QLatin1String(BoxText));
    QCOMPARE(box.informativeText, QSslError(QSslError::SelfSignedCertificate).errorString());
    QVERIFY(box.detailedText.isEmpty());
    QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.defaultButton, QMessageBox::Ok);
    QVERIFY(!dlrApp->isSslAccepted());
    QVERIFY(!QFile::exists(TessTest::downloadsDir() + QStringLiteral("/Secure.msi")));
}

void TestDownloadTls::declinedManifestRequestIsUnknownValidation()
{
    boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
    QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
    dlrApp->RequestManifest(selfSigned.url(QStringLiteral("/forum/currentproducts.php")),
                            QStringLiteral("demo"), QStringLiteral("demo-password"),
                            QStringLiteral("windows"));
    QTRY_COMPARE_WITH_TIMEOUT(invalid.count(), 1, 10000);
    QCOMPARE(invalid.first().first().toString(), QStringLiteral("Unknown manifest Validation"));
    QCOMPARE(boxes->count(), 2);
    QCOMPARE(boxes->unexpectedCount(), 0);
}

void TestDownloadTls::twoProblemsListTheirTexts()
{
    boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
    TessTest::LogCapture log;
    const int index = addOffer(selfSignedWrongHost.url(QStringLiteral("/products/Secure.msi")));
    QCOMPARE(downloadAndWait(index), networkErrorText(QNetworkReply::SslHandshakeFailedError));
    QCOMPARE(boxes->count(), 3);
    const TessTest::BoxRecord box = boxes->last();
    QCOMPARE(box.informativeText, QLatin1String(MultipleText));
    const QStringList texts = box.detailedText.split(QStringLiteral("---"));
    QCOMPARE(texts.size(), 2);
    QVERIFY(texts.contains(QSslError(QSslError::SelfSignedCertificate).errorString()));
    QVERIFY(texts.contains(QSslError(QSslError::HostNameMismatch).errorString()));
    QCOMPARE(log.count(QStringLiteral("ssl error: %s")), 2);
}

void TestDownloadTls::expiredLeafAsks()
{
    boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
    const int index = addOffer(expired.url(QStringLiteral("/products/Secure.msi")));
    QCOMPARE(downloadAndWait(index), networkErrorText(QNetworkReply::SslHandshakeFailedError));
    QCOMPARE(boxes->count(), 4);
    const TessTest::BoxRecord box = boxes->last();
    const QString expiredText = QSslError(QSslError::CertificateExpired).errorString();
    // The expiry, and the untrusted root it was signed by.
    QCOMPARE(box.informativeText, QLatin1String(MultipleText));
    QVERIFY2(box.detailedText.split(QStringLiteral("---")).contains(expiredText),
             qPrintable(box.detailedText));
}

void TestDownloadTls::emptyErrorListStillAsks()
{
    // The handshake never reports an empty list, but the rule must hold if it does: ask, with
    // the multiple-issues text and nothing in the details.
    boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
    QUrl hanging = chained.url(QStringLiteral("/forum/currentproducts.php"));
    hanging.setQuery(QStringLiteral("fault=slow:1"));
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(hanging, QStringLiteral("demo"), QStringLiteral("demo-password"),
                            QStringLiteral("windows"));
    QVERIFY(QMetaObject::invokeMethod(dlrApp, "manifestSslErrors", Qt::DirectConnection,
                                      Q_ARG(QList<QSslError>, QList<QSslError>())));
    QCOMPARE(boxes->count(), 5);
    QCOMPARE(boxes->last().informativeText, QLatin1String(MultipleText));
    QVERIFY(boxes->last().detailedText.isEmpty());
    QVERIFY(!dlrApp->isSslAccepted());
    QTRY_COMPARE_WITH_TIMEOUT(valid.count(), 1, 10000);
}

void TestDownloadTls::acceptedHostMismatchGoesOnAndSilencesLaterProblems()
{
    // Trusting the root leaves the wrong host name as the only problem.
    QSslConfiguration original = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = original;
    trusting.addCaCertificates(certs.path(QStringLiteral("root.pem")));
    QSslConfiguration::setDefaultConfiguration(trusting);

    boxes->enqueue(QMessageBox::Ok, QStringLiteral("sslErrors"));
    const int index = addOffer(elsewhere.url(QStringLiteral("/products/Secure.msi")));
    QCOMPARE(downloadAndWait(index), QString());
    QSslConfiguration::setDefaultConfiguration(original);
    QCOMPARE(boxes->count(), 6);
    QCOMPARE(boxes->last().informativeText, QSslError(QSslError::HostNameMismatch).errorString());
    QVERIFY(dlrApp->isSslAccepted());

    // Another host, another problem: no box any more.
    const int other
            = addOffer(selfSignedWrongHost.localhostUrl(QStringLiteral("/products/Secure.msi")));
    QCOMPARE(downloadAndWait(other), QString());
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(expired.url(QStringLiteral("/forum/currentproducts.php")),
                            QStringLiteral("demo"), QStringLiteral("demo-password"),
                            QStringLiteral("windows"));
    QTRY_COMPARE_WITH_TIMEOUT(valid.count(), 1, 10000);
    QCOMPARE(boxes->count(), 6);
    QCOMPARE(boxes->unexpectedCount(), 0);
}

TESS_TEST_MAIN(TestDownloadTls)
#include "tst_downloadtls.moc"
