// Certificate problems of the manifest request and of downloads, against the stand-in service
// over https with certificates made by openssl for this run. The cases run in order: once the
// user has accepted a problem, every later one of the process passes silently.

#include "DlrApp.h"
#include "DlrTexts.h"
#include "DownloadWait.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QProcess>
#include <QSslError>
#include <QtTest>

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
new root -x509 -days 30 -out root.pem 2>/dev/null
leaf() { name=$1; shift; echo "subjectAltName=$1" > $name.ext; shift
  new $name -out $name.csr 2>/dev/null
  openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in $name.csr \
    -out $name.pem -extfile $name.ext -notext "$@" 2>/dev/null
  cat $name.pem root.pem > $name-chain.pem; }
leaf chained IP:127.0.0.1,DNS:localhost -days 30
leaf elsewhere DNS:elsewhere.example -days 30
leaf expired IP:127.0.0.1,DNS:localhost -startdate 20200101000000Z -enddate 20200201000000Z
new self -x509 -days 30 -out self-chain.pem -addext subjectAltName=IP:127.0.0.1 2>/dev/null
new selfwrong -x509 -days 30 -out selfwrong-chain.pem -addext subjectAltName=DNS:wrong.example \
  2>/dev/null
)";
} // namespace

class TestDownloadTls : public QObject
{
    Q_OBJECT

    QTemporaryDir certs;
    QTemporaryDir products;
    QMap<QString, TessTest::StandinServer *> servers;
    TessTest::BoxAnswerer *boxes = nullptr;

    int addOffer(const QUrl &url)
    {
        DlrManifestElement offer;
        offer.name = QStringLiteral("Secure.msi");
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
            return QStringLiteral("<no answer>");
        return valid.isEmpty() ? invalid.first().first().toString() : QString();
    }
    static QByteArray downloaded()
    {
        QFile file(TessTest::downloadsDir() + QStringLiteral("/Secure.msi"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }

private slots:
    void initTestCase()
    {
        QProcess make;
        make.setWorkingDirectory(certs.path());
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start(QStringLiteral("sh"), {QStringLiteral("-c"), QLatin1String(MakeCertificates)});
        QVERIFY(make.waitForFinished(60000));
        QVERIFY2(make.exitCode() == 0, make.readAll().constData());
        QFile file(products.filePath(QStringLiteral("Secure.msi")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(200 * 1024, 's'));
        file.close();
        QVERIFY(TessTest::StandinServer::writeProductsJson(products.path(),
                                                           {{{"file", "Secure.msi"}}}));
        for (const char *name : {"chained", "elsewhere", "expired", "self", "selfwrong"}) {
            auto *server = new TessTest::StandinServer;
            servers.insert(QLatin1String(name), server);
            server->setProducts(products.path());
            server->setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")}});
            server->setTls(certs.filePath(name + QStringLiteral("-chain.pem")),
                           certs.filePath(name + QStringLiteral(".key")));
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
        QTest::addColumn<QString>("server");
        QTest::addColumn<QStringList>("problems"); // empty: no box
        const auto text = [](QSslError::SslError e) {
            return QSslError(e).errorString();
        };
        QTest::newRow("root in chain") << "chained" << QStringList();
        QTest::newRow("self-signed")
                << "self" << QStringList{text(QSslError::SelfSignedCertificate)};
        QTest::newRow("self-signed, wrong host")
                << "selfwrong"
                << QStringList{text(QSslError::SelfSignedCertificate),
                               text(QSslError::HostNameMismatch)};
        QTest::newRow("expired") << "expired"
                                 << QStringList{text(QSslError::CertificateExpired),
                                                text(QSslError::SelfSignedCertificateInChain)};
        QTest::newRow("other host") << "elsewhere"
                                    << QStringList{text(QSslError::HostNameMismatch),
                                                   text(QSslError::SelfSignedCertificateInChain)};
    }
    void declinedProblems()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, problems);
        const bool asks = !problems.isEmpty();
        const int before = boxes->count();
        if (asks) {
            boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
            boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
        }
        TessTest::LogCapture log;
        const int index = addOffer(servers[server]->url(Product));
        QCOMPARE(downloadAndWait(index),
                 asks ? networkErrorText(QNetworkReply::SslHandshakeFailedError) : QString());
        QCOMPARE(downloaded(), asks ? QByteArray("<none>") : QByteArray(200 * 1024, 's'));
        QCOMPARE(requestManifest(servers[server]->url(ManifestPath)),
                 asks ? QStringLiteral("Unknown manifest Validation") : QString());
        QCOMPARE(boxes->count(), before + (asks ? 2 : 0));
        QCOMPARE(boxes->unexpectedCount(), 0);
        QVERIFY(!dlrApp->isSslAccepted());
        if (!asks)
            return;
        const TessTest::BoxRecord box = boxes->last();
        QCOMPARE(box.text,
                 QStringLiteral("There was issue with the SSL connection. Continue anyway?"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box.defaultButton, QMessageBox::Ok);
        if (problems.size() == 1) {
            QCOMPARE(box.informativeText, problems.first());
            QVERIFY(box.detailedText.isEmpty());
        } else {
            QCOMPARE(box.informativeText, QLatin1String(Multiple));
            QStringList details = box.detailedText.split(QStringLiteral("---"));
            details.sort();
            problems.sort();
            QCOMPARE(details, problems);
            QCOMPARE(log.count(QStringLiteral("ssl error: %s")), 2 * problems.size());
        }
    }

    // The handshake never reports an empty list, but the rule must hold if it does: ask, with
    // the multiple-issues text and nothing in the details.
    void emptyErrorListStillAsks()
    {
        boxes->enqueue(QMessageBox::Cancel, QStringLiteral("sslErrors"));
        QUrl slow = servers["chained"]->url(ManifestPath);
        slow.setQuery(QStringLiteral("fault=slow:1"));
        dlrApp->RequestManifest(slow, "demo", "demo-password", "windows");
        QVERIFY(QMetaObject::invokeMethod(dlrApp, "manifestSslErrors", Qt::DirectConnection,
                                          Q_ARG(QList<QSslError>, QList<QSslError>())));
        QCOMPARE(boxes->last().informativeText, QLatin1String(Multiple));
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
        QTest::newRow("ended meanwhile, declined")
                << true << networkErrorText(QNetworkReply::OperationCanceledError);
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
        boxes->enqueueWhen(abortMeanwhile ? QMessageBox::Cancel : QMessageBox::Ok,
                           QStringLiteral("sslErrors"), question, 1500);
        QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
        QSignalSpy failed(dlrApp, &DlrApp::failedDownload);
        reply = dlrApp->DownloadProduct(index);
        QVERIFY(reply);
        QVERIFY(QTest::qWaitFor([&] { return finished.count() + failed.count() > 0; }, 10000));
        QCOMPARE(failed.isEmpty() ? QString() : failed.first().first().toString(), result);
        QCOMPARE(boxes->unexpectedCount(), 0);
        QCOMPARE(dlrApp->isSslAccepted(), !abortMeanwhile);
        if (!abortMeanwhile)
            QCOMPARE(downloaded(), QByteArray(200 * 1024, 's'));
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
