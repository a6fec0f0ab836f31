// Certificate problems of the manifest request and of downloads, against the stand-in service
// over https with certificates made by openssl for this run. The cases run in order: once the
// user has accepted a problem, every later one of the process passes silently.

#include "DlrTexts.h"
#include "DownloadWait.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QProcess>
#include <QSslError>

namespace {
const char Product[] = "/products/Secure.msi";
const char ManifestPath[] = "/forum/currentproducts.php";
const char Multiple[] = "There were multiple issues with the SSL connection";

// A root with leaves it signed (for this host, for another host, long expired), each served
// with the root after it, and two self-signed leaves.
const char MakeCertificates[] = R"(set -e
printf '[ca]\ndefault_ca=l\n[l]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n\
default_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' > ca.cnf
: > index.txt; echo 1000 > serial
new() { n=$1; shift; openssl req -newkey rsa:2048 -nodes -keyout $n.key -subj /CN=$n "$@"; }
leaf() { new $1 -out $1.csr; echo "subjectAltName=$2" > $1.ext; n=$1; shift 2
  openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in $n.csr -out $n.pem \
    -extfile $n.ext -notext "$@"; cat $n.pem root.pem > $n-chain.pem; }
new root -x509 -days 30 -out root.pem
leaf chained IP:127.0.0.1,DNS:localhost -days 30
leaf elsewhere DNS:elsewhere.example -days 30
leaf expired IP:127.0.0.1,DNS:localhost -startdate 20200101000000Z -enddate 20200201000000Z
new self -x509 -days 30 -out self-chain.pem -addext subjectAltName=IP:127.0.0.1
new selfwrong -x509 -days 30 -out selfwrong-chain.pem -addext subjectAltName=DNS:wrong.example
)";
} // namespace

class TestDownloadTls : public QObject
{
    Q_OBJECT

    QTemporaryDir certs;
    QTemporaryDir products;
    QMap<QString, TessTest::StandinServer *> servers;
    TessTest::BoxAnswerer *boxes = nullptr;
    const QByteArray product = QByteArray(200 * 1024, 's');

    static int addOffer(const QUrl &url)
    {
        DlrManifestElement offer;
        offer.name = "Secure.msi";
        offer.downloadUrl = url;
        dlrApp->manifestList().append(offer);
        return dlrApp->manifestList().size() - 1;
    }
    // The manifest request's answer: "" when valid, else the reason given.
    static QString requestManifest(const QUrl &url)
    {
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
        dlrApp->RequestManifest(url, "demo", "demo-password", "windows");
        if (!QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 10000))
            return "<no answer>";
        return valid.isEmpty() ? invalid.first().first().toString() : QString();
    }
    static QByteArray downloaded()
    {
        QFile file(TessTest::downloadsDir() + "/Secure.msi");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }

private slots:
    void initTestCase()
    {
        QProcess make;
        make.setWorkingDirectory(certs.path());
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start("sh", {"-c", MakeCertificates});
        QVERIFY(make.waitForFinished(60000));
        QVERIFY2(make.exitCode() == 0, make.readAll().constData());
        QFile file(products.filePath("Secure.msi"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(product) == product.size());
        file.close();
        QVERIFY(TessTest::StandinServer::writeProductsJson(products.path(),
                                                           {{{"file", "Secure.msi"}}}));
        for (const QString name : {"chained", "elsewhere", "expired", "self", "selfwrong"}) {
            auto *server = servers[name] = new TessTest::StandinServer;
            server->setProducts(products.path());
            server->setUsers({{"demo", "demo-password"}});
            server->setTls(certs.filePath(name + "-chain.pem"), certs.filePath(name + ".key"));
            QVERIFY2(server->start(), qPrintable(server->errorText()));
        }
        boxes = new TessTest::BoxAnswerer(this);
    }
    void cleanupTestCase() { qDeleteAll(servers); }
    void init()
    {
        dlrApp->setTransferTimeout(5000);
        QDir downloads(TessTest::downloadsDir());
        for (const QString &name : downloads.entryList(QDir::Files))
            downloads.remove(name);
        dlrApp->manifestList().clear();
    }

    // Each problem is put to the user, and declining it fails the request. A root presented in
    // the chain is the one problem that passes silently.
    void declinedProblems_data()
    {
        using E = QSslError;
        QTest::addColumn<QString>("server");
        QTest::addColumn<QList<int>>("problems"); // empty: no box
        QTest::newRow("root in chain") << "chained" << QList<int>{};
        QTest::newRow("self-signed") << "self" << QList<int>{E::SelfSignedCertificate};
        QTest::newRow("self-signed, wrong host")
                << "selfwrong" << QList<int>{E::SelfSignedCertificate, E::HostNameMismatch};
        QTest::newRow("expired") << "expired"
                                 << QList<int>{E::CertificateExpired,
                                               E::SelfSignedCertificateInChain};
        QTest::newRow("other host")
                << "elsewhere" << QList<int>{E::HostNameMismatch, E::SelfSignedCertificateInChain};
    }
    void declinedProblems()
    {
        QFETCH(QString, server);
        QFETCH(QList<int>, problems);
        const bool asks = !problems.isEmpty();
        const int before = boxes->count();
        for (int i = 0; asks && i < 2; ++i)
            boxes->enqueue(QMessageBox::Cancel, "sslErrors");
        TessTest::LogCapture log;
        QCOMPARE(downloadAndWait(addOffer(servers[server]->url(Product))),
                 asks ? networkErrorText(QNetworkReply::SslHandshakeFailedError) : QString());
        QCOMPARE(downloaded(), asks ? QByteArray("<none>") : product);
        QCOMPARE(requestManifest(servers[server]->url(ManifestPath)),
                 asks ? QString("Unknown manifest Validation") : QString());
        QCOMPARE(boxes->count(), before + (asks ? 2 : 0));
        QCOMPARE(boxes->unexpectedCount(), 0);
        QVERIFY(!dlrApp->isSslAccepted());
        if (!asks)
            return;
        const TessTest::BoxRecord box = boxes->last();
        QCOMPARE(box.text, QString("There was issue with the SSL connection. Continue anyway?"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box.defaultButton, QMessageBox::Ok);
        QStringList texts;
        for (int problem : problems)
            texts.append(QSslError(QSslError::SslError(problem)).errorString());
        texts.sort();
        QStringList details = box.detailedText.split("---", Qt::SkipEmptyParts);
        details.sort();
        QCOMPARE(box.informativeText, problems.size() == 1 ? texts.first() : QString(Multiple));
        QCOMPARE(details, problems.size() == 1 ? QStringList() : texts);
        QCOMPARE(log.count("ssl error: %s"), problems.size() > 1 ? 2 * problems.size() : 0);
    }

    // The handshake never reports an empty list, but the rule must hold if it does: ask, with
    // the multiple-issues text and nothing in the details.
    void emptyErrorListStillAsks()
    {
        boxes->enqueue(QMessageBox::Cancel, "sslErrors");
        QUrl slow = servers["chained"]->url(ManifestPath);
        slow.setQuery("fault=slow:1");
        dlrApp->RequestManifest(slow, "demo", "demo-password", "windows");
        QVERIFY(QMetaObject::invokeMethod(dlrApp, "manifestSslErrors", Qt::DirectConnection,
                                          Q_ARG(QList<QSslError>, QList<QSslError>())));
        QCOMPARE(boxes->last().informativeText, QString(Multiple));
        QVERIFY(boxes->last().detailedText.isEmpty());
        QVERIFY(!dlrApp->isSslAccepted());
        QCOMPARE(requestManifest(servers["chained"]->url(ManifestPath)), QString());
    }

    // Time the user spends on the certificate question is no stall, and the reply it is about
    // outlives the question even when it ends meanwhile.
    void certificateQuestionOutlivesTheStallTime_data()
    {
        QTest::addColumn<bool>("abortMeanwhile");
        QTest::addColumn<QString>("result");
        const QString canceled = networkErrorText(QNetworkReply::OperationCanceledError);
        QTest::newRow("ended meanwhile, declined") << true << canceled;
        QTest::newRow("held past the stall time, accepted") << false << QString();
    }
    void certificateQuestionOutlivesTheStallTime()
    {
        QFETCH(bool, abortMeanwhile);
        QFETCH(QString, result);
        dlrApp->setTransferTimeout(300);
        const int index = addOffer(servers["self"]->url(Product));
        QNetworkReply *reply = nullptr;
        const auto question = [&] {
            if (abortMeanwhile && reply && boxes->isHolding())
                reply->abort();
            return false; // held until the time below
        };
        boxes->enqueueWhen(abortMeanwhile ? QMessageBox::Cancel : QMessageBox::Ok, "sslErrors",
                           question, 1500);
        QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
        QSignalSpy failed(dlrApp, &DlrApp::failedDownload);
        reply = dlrApp->DownloadProduct(index);
        QVERIFY(reply);
        QVERIFY(QTest::qWaitFor([&] { return finished.count() + failed.count() > 0; }, 10000));
        QCOMPARE(failed.isEmpty() ? QString() : failed.first().first().toString(), result);
        QCOMPARE(boxes->unexpectedCount(), 0);
        QCOMPARE(dlrApp->isSslAccepted(), !abortMeanwhile);
        QCOMPARE(downloaded(), abortMeanwhile ? QByteArray("<none>") : product);
    }

    // Accepted once, no problem of any host is put to the user again.
    void acceptedProblemSilencesLaterOnes()
    {
        QVERIFY(dlrApp->isSslAccepted());
        const int before = boxes->count();
        QCOMPARE(downloadAndWait(addOffer(servers["selfwrong"]->localhostUrl(Product))), QString());
        QCOMPARE(requestManifest(servers["expired"]->url(ManifestPath)), QString());
        QCOMPARE(boxes->count(), before);
    }
};

TESS_TEST_MAIN(TestDownloadTls)
#include "tst_downloadtls.moc"
