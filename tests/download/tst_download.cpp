// Product downloads from the stand-in service, over TLS (openssl-made) and through tinyproxy.

#include "DlrDownloadNames.h"
#include "DlrTexts.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TinyProxy.h"

#include <QAuthenticator>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QSslError>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <sys/resource.h>

using namespace DlrDownloadNames;

namespace {
const QString ProductFile = "TessalineWorkserver-25.1_2301450-win64.msi";
const QString Numbered = "TessalineWorkserver-25.1_2301450-win64-1.msi";
const QString ProductPath = "/products/" + ProductFile, ManifestPath = "/forum/currentproducts.php";

// A root and leaves it signed (for this host; one long expired), and a self-signed leaf.
const char MakeCertificates[] = R"(set -e; cd "$1"
printf '[ca]\ndefault_ca=l\n[l]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n\
default_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' > ca.cnf
: > index.txt; echo 1000 > serial
new() { n=$1; shift; openssl req -newkey rsa:2048 -nodes -keyout $n.key -subj /CN=$n "$@"; }
leaf() { new $1 -out $1.csr; echo "subjectAltName=$2" > $1.ext; n=$1; shift 2
  openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in $n.csr -out $n.pem \
    -extfile $n.ext -notext "$@"; cat $n.pem root.pem > $n-chain.pem; }
new root -x509 -days 30 -out root.pem
leaf chained IP:127.0.0.1,DNS:localhost -days 30
leaf expired IP:127.0.0.1,DNS:localhost -startdate 20200101000000Z -enddate 20200201000000Z
new self -x509 -days 30 -out self-chain.pem -addext subjectAltName=IP:127.0.0.1
)";

// Downloads an offer: "" when finished, the reason when it failed, "<...>" for a wrong signal.
QString downloadAndWait(int index)
{
    QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
    QSignalSpy failed(dlrApp, &DlrApp::failedDownload);
    if (!dlrApp->DownloadProduct(index)
        || !QTest::qWaitFor([&] { return finished.count() + failed.count() > 0; }, 20000))
        return "<not started, or no signal>";
    QTest::qWait(20); // nothing else may follow
    const QList<QVariant> args = finished.isEmpty() ? failed.first() : finished.first();
    if (finished.count() + failed.count() != 1 || args.last().toInt() != index)
        return "<another signal>";
    return finished.isEmpty() ? args.first().toString() : QString();
}
// The manifest request's answer: "" when valid, else the reason given.
QString requestManifest(const QUrl &url)
{
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
    dlrApp->RequestManifest(url, "demo", "demo-password", "windows");
    if (!QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 20000))
        return "<no answer>";
    return valid.isEmpty() ? invalid.first().first().toString() : QString();
}
} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

    TessTest::StandinServer server;
    std::map<QString, TessTest::StandinServer> tls; // by certificate
    QTemporaryDir scratch, certs;
    TessTest::BoxAnswerer boxes;
    const QByteArray product = TessTest::PackageBuilder::randomBytes(3 * 1024 * 1024 + 123, 4242);
    DlrManifestElement offer;

    QString inDownloads(const QString &name) { return TessTest::downloadsDir() + '/' + name; }
    QStringList downloads() { return QDir(TessTest::downloadsDir()).entryList(QDir::Files); }
    QByteArray readFile(const QString &name) { return TessTest::readFile(inDownloads(name)); }
    // An offer of the product under another name, or from elsewhere.
    int addOffer(const QString &name, const QUrl &url = QUrl())
    {
        dlrApp->manifestList().append(offer);
        dlrApp->manifestList().last().name = name;
        if (!url.isEmpty())
            dlrApp->manifestList().last().downloadUrl = url;
        return dlrApp->manifestList().size() - 1;
    }
    // Requests for the product and its body bytes sent, as the service counts them.
    int requests(const QString &path) { return state("counts")[path].toInt(); }
    qint64 bytesSent() { return state("bytes")[ProductFile].toVariant().toLongLong(); }
    QJsonValue state(const char *what) { return server.fetchJson("/debug/state").value(what); }

private slots:
    void initTestCase()
    {
        std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails instead
        QVERIFY(!TessTest::writeFile(scratch.filePath(ProductFile), product).isEmpty());
        QVERIFY(TessTest::StandinServer::writeProductsJson(scratch.path(),
                                                           {{{"file", ProductFile}}}));
        QCOMPARE(QProcess::execute("sh", {"-c", MakeCertificates, "sh", certs.path()}), 0);
        for (const QString name : {"", "chained", "expired", "self"}) {
            TessTest::StandinServer &s = name.isEmpty() ? server : tls[name];
            s.setProducts(scratch.path());
            s.setUsers({{"demo", "demo-password"}});
            s.addArguments({"--stall-seconds", "5"});
            if (!name.isEmpty())
                s.setTls(certs.filePath(name + "-chain.pem"), certs.filePath(name + ".key"));
            QVERIFY2(s.start(), qPrintable(s.errorText()));
        }
        offer.name = ProductFile;
        offer.fileSize = product.size();
        offer.sha256 = QCryptographicHash::hash(product, QCryptographicHash::Sha256).toHex();
        offer.downloadUrl = server.url(ProductPath);
    }
    void init()
    {
        dlrApp->setTransferTimeout(5000);
        for (const QString &name : downloads())
            QVERIFY(QFile::remove(inDownloads(name)));
        dlrApp->manifestList() = {offer, offer};
    }

    // A file of the exact size and digest is reused, a damaged one replaced; else a free number.
    // Without a digest in the manifest, the size alone decides.
    void downloadBesideWhatIsThere_data()
    {
        QTest::addColumn<QString>("present");
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<QString>("landsAs"); // empty: taken as it is
        QTest::addColumn<bool>("digest");     // the manifest gives the SHA256
        QByteArray damaged = product;
        damaged[12345] = ~damaged[12345];
        QTest::newRow("nothing there") << QString() << product << ProductFile << true;
        QTest::newRow("same size") << ProductFile << product << "" << true;
        QTest::newRow("wrong digest") << ProductFile << damaged << ProductFile << true;
        QTest::newRow("a byte less") << ProductFile << product.chopped(1) << Numbered << true;
        QTest::newRow("a byte more") << ProductFile << product + 'x' << Numbered << true;
        QTest::newRow("a byte less, no digest")
                << ProductFile << product.chopped(1) << Numbered << false;
        QTest::newRow("numbered alternative only") << Numbered << product << ProductFile << true;
    }
    void downloadBesideWhatIsThere()
    {
        QFETCH(QString, present);
        QFETCH(QByteArray, onDisk);
        QFETCH(QString, landsAs);
        QFETCH(bool, digest);
        if (!digest)
            dlrApp->manifestList()[0].sha256.clear();
        QVERIFY(present.isEmpty() || !TessTest::writeFile(inDownloads(present), onDisk).isEmpty());
        const int before = requests(ProductPath);
        dlrApp->CheckForDownload(0);
        const bool taken = landsAs.isEmpty();
        const QString name = taken ? present : landsAs;
        QCOMPARE(dlrApp->manifestList().at(0).downloaded, taken);
        if (!taken) {
            QSignalSpy finished(dlrApp, qOverload<int>(&DlrApp::finishedDownload));
            QNetworkReply *reply = dlrApp->DownloadProduct(0);
            QVERIFY(reply);
            QCOMPARE(reply->readBufferSize(), qint64(1024 * 1024)); // memory stays flat
            QVERIFY(QFile::exists(inDownloads(name + ".tessdownload")));
            // Only one transfer at a time; the refused one changes nothing.
            QVERIFY(!dlrApp->DownloadProduct(1) && !dlrApp->manifestList().at(1).downloadFile);
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        }
        const DlrManifestElement &offer = dlrApp->manifestList().at(0);
        QVERIFY(offer.downloaded && !offer.downloadFile->isOpen());
        QCOMPARE(offer.downloadFile->fileName(), inDownloads(name));
        QVERIFY(!dlrApp->DownloadProduct(0)); // done once is done
        QCOMPARE(readFile(name), taken ? onDisk : product);
        // What was there stays, unless it was this offer's damaged copy.
        const bool consumed = present == landsAs;
        QVERIFY(present.isEmpty() || consumed || readFile(present) == onDisk);
        QCOMPARE(downloads().size(), 1 + int(!present.isEmpty() && !consumed && !taken));
        QCOMPARE(requests(ProductPath), before + (taken ? 0 : 1));
    }

    // Attempts in turn, each from the stand-in with a fault, the last complete. A failed one ends
    // in one signal, never with a final name, and leaves at most its partial file (a prefix of
    // the product) and validator, for the next to continue. The manifest gives no SHA256 (but
    // where the checksum is the point): completeness alone decides. "bytes" is what the last
    // attempt fetched: the rest of the partial file, the whole file, or more (the service forced
    // a start-over); "?": the service's count of it is late or holds bytes lost in flight.
    void failures_data()
    {
        QTest::addColumn<QStringList>("attempts"); // faults; "disk": a full disk (EFBIG)
        QTest::addColumn<QStringList>("reasons");  // of each attempt, by key below
        QTest::addColumn<QString>("bytes");
        using L = QStringList;
        for (const char *p : {"10%", "50%", "99%"})
            QTest::addRow("drop at %s", p)
                    << L{QString("reset:") + p, ""} << L{"closed", ""} << "rest";
        // Closed cleanly before the announced length, or the offer's, or a range's end.
        QTest::newRow("short body") << L{"short:1000000", ""} << L{"closed", ""} << "rest";
        QTest::newRow("no length, short") << L{"unsized:1000000", ""} << L{"closed", ""} << "rest";
        QTest::newRow("short range")
                << L{"reset:50%", "shortrange:1000", ""} << L{"closed", "range", ""} << "rest";
        QTest::newRow("range of another total")
                << L{"reset:50%", "badtotal", ""} << L{"closed", "total", ""} << "rest";
        QTest::newRow("compressed, short") << L{"gzip:1000000", ""} << L{"gzip", ""} << "whole";
        QTest::newRow("404") << L{"404", ""} << L{"404", ""} << "whole";
        QTest::newRow("full disk") << L{"disk", ""} << L{"disk", ""} << "rest?";
        QTest::newRow("damaged body") << L{"corrupt", ""} << L{"checksum", ""} << "whole";
        QTest::newRow("file changed") << L{"reset:50%", "newetag"} << L{"closed", ""} << "whole";
        QTest::newRow("weak ETag, Last-Modified")
                << L{"weaketag+reset:50%", "weaketag"} << L{"closed", ""} << "rest";
        // A range of the changed file all the same: its new validator sends the retry over.
        QTest::newRow("If-Range ignored")
                << L{"reset:50%", "changed*1"} << L{"closed", ""} << "more?";
        QTest::newRow("ranges ignored") << L{"reset:50%", "norange"} << L{"closed", ""} << "whole";
        QTest::newRow("wrong range") << L{"reset:50%", "badrange"} << L{"closed", ""} << "more?";
        QTest::newRow("partial file too long")
                << L{"reset:50%", "overlong"} << L{"closed", ""} << "whole";
        QTest::newRow("five redirects") << L{"redirect:301,302,303,307,308"} << L{""} << "whole";
        QTest::newRow("redirect loop") << L{"redirect:302:self", ""} << L{"loop", ""} << "whole";
        QTest::newRow("continued through a redirect")
                << L{"reset:50%", "redirect:307"} << L{"closed", ""} << "rest";
        QTest::newRow("https to http")
                << L{"https redirect:302:{http}", ""} << L{"insecure", ""} << "whole";
        // The certificate of the host redirected to is put to the user like any other.
        QTest::newRow("to another port, refused certificate")
                << L{"redirect:303:{self}", ""} << L{"ssl", ""} << "whole";
        // Last: the service counts a stalled answer only when it gives up on it, seconds later.
        QTest::newRow("stall") << L{"stall:1000000", ""} << L{"canceled", ""} << "rest?";
    }
    void failures()
    {
        QFETCH(QStringList, attempts);
        QFETCH(QStringList, reasons);
        QFETCH(QString, bytes);
        dlrApp->setTransferTimeout(1000);
        const QString temp = "Faulty.msi.tessdownload", validator = temp + ".validator";
        const std::map<QString, QString> texts{
                {"closed", networkErrorText(QNetworkReply::RemoteHostClosedError)},
                {"canceled", networkErrorText(QNetworkReply::OperationCanceledError)},
                {"404", networkErrorText(QNetworkReply::ContentNotFoundError)},
                {"ssl", networkErrorText(QNetworkReply::SslHandshakeFailedError)},
                {"checksum", "The downloaded file is damaged (checksum mismatch)"},
                {"disk", "Could not write " + inDownloads(temp) + ": " + std::strerror(EFBIG)},
                {"range", "The server sent only bytes "},
                {"total", QString("The server's file is %1 bytes, the product list gives %2")
                                  .arg(product.size() + 1)
                                  .arg(product.size())},
                {"gzip", "The server sent the file encoded (gzip), not as it is"},
                {"loop", "Too many redirects"},
                {"insecure", "Redirect from https to http refused"}};
        const int index = addOffer("Faulty.msi");
        DlrManifestElement &offer = dlrApp->manifestList()[index];
        if (!reasons.contains("checksum"))
            offer.sha256.clear();
        // Nothing can start from inside the failure signal: the reply is still the running one.
        QVector<bool> restarted;
        qint64 fetched = 0, sentBefore = 0, partial = 0;
        QList<QMetaObject::Connection> c{
                connect(dlrApp, &DlrApp::failedDownload, this,
                        [&](QString, int i) { restarted.append(dlrApp->DownloadProduct(i)); }),
                connect(dlrApp, &DlrApp::downloadProgress, this,
                        [&](qint64, qint64, qint64 f) { fetched = f; })};
        const auto cleanup = qScopeGuard([&] {
            for (const auto &connection : c)
                disconnect(connection);
        });
        for (int i = 0; i < attempts.size(); ++i) {
            QString fault = attempts[i];
            const bool https = fault.startsWith("https ");
            fault.remove("https ")
                    .replace("{http}", server.url(ProductPath).toString())
                    .replace("{self}", tls["self"].url(ProductPath).toString());
            if (fault == "overlong") // more bytes than the offer has: made anew
                QVERIFY(!TessTest::writeFile(inDownloads(temp), readFile(temp) + product)
                                 .isEmpty());
            offer.downloadUrl = (https ? tls["chained"] : server).url(ProductPath);
            if (fault != "disk" && fault != "overlong")
                offer.downloadUrl.setQuery("fault=" + QUrl::toPercentEncoding(fault));
            if (attempts[i].contains("{self}"))
                boxes.enqueue(QMessageBox::Cancel, "sslErrors");
            struct rlimit saved = {};
            getrlimit(RLIMIT_FSIZE, &saved);
            const struct rlimit limited
                    = {fault == "disk" ? 256 * 1024 : saved.rlim_cur, saved.rlim_max};
            setrlimit(RLIMIT_FSIZE, &limited);
            partial = QFileInfo(inDownloads(temp)).size();
            sentBefore = bytesSent();
            const QString reason = downloadAndWait(index);
            setrlimit(RLIMIT_FSIZE, &saved);
            QVERIFY2(reasons[i].isEmpty() ? reason.isEmpty()
                                          : reason.startsWith(texts.at(reasons[i])),
                     qPrintable(reason));
            if (reason.isEmpty())
                break;
            // What is left: nothing, or a beginning of the product with its validator.
            const QByteArray got = readFile(temp);
            const bool left = got != "<missing>";
            QCOMPARE(downloads(), (left ? QStringList{temp, validator} : QStringList()));
            QVERIFY(!left || (!got.isEmpty() && product.startsWith(got)));
            QVERIFY(!offer.downloaded && !offer.downloadFile);
        }
        QCOMPARE(restarted, QVector<bool>(reasons.size() - 1, false));
        QCOMPARE(downloads(), QStringList{"Faulty.msi"});
        QCOMPARE(readFile("Faulty.msi"), product);
        const qint64 rest = bytes.startsWith("rest") ? product.size() - partial : product.size();
        QVERIFY2(bytes.startsWith("more") ? fetched > rest : fetched == rest,
                 qPrintable(QString::number(fetched)));
        if (!bytes.endsWith("?"))
            QTRY_COMPARE(bytesSent() - sentBefore, fetched);
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
        dlrApp->CheckForDownload(index);
        QVERIFY(!dlrApp->manifestList().at(index).downloaded);
        const bool usable = !fileName.isEmpty();
        QCOMPARE(downloadAndWait(index), usable ? QString() : "<not started, or no signal>");
        QCOMPARE(downloads(), usable ? QStringList{fileName} : QStringList());
        QCOMPARE(readFile(fileName), usable ? product : "<missing>");
    }

    // Temporary names: the first number with both names free, emergency names, last resort.
    void temporaryNamesAndFolder()
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
        // The folder: Downloads when there is one, else the temporary folder, else the current.
        QTemporaryDir home;
        const QString downloads = home.filePath("Downloads"), temp = home.filePath("tmp");
        QVERIFY(QDir().mkpath(temp));
        QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), temp);
        QVERIFY(QDir().mkpath(downloads));
        QCOMPARE(chooseDownloadFolder(downloads, temp).absolutePath(), downloads);
        QCOMPARE(chooseDownloadFolder(home.filePath("a"), home.filePath("b")).path(), QString("."));
    }

    // The manifest and a download through the system's proxy, which asks for credentials.
    void throughProxy_data()
    {
        QTest::addColumn<QString>("typed"); // into the box; empty: Cancel
        QTest::newRow("credentials given") << "alice:s3cret";
        QTest::newRow("credentials cancelled") << "";
        // Asked again three times at most; the row before cancelled, which is no refusal.
        QTest::newRow("credentials refused") << "alice:wrong";
    }
    void throughProxy()
    {
        QFETCH(QString, typed);
        const QString host = TessTest::TinyProxy::loopbackHostName();
        if (host.isEmpty())
            QSKIP("this machine's host name does not resolve to a loopback address");
        const QString origin = QString("http://%1:%2").arg(host).arg(server.port());
        TessTest::TinyProxy proxy;
        const QString error = proxy.start("alice:s3cret");
        QVERIFY2(error.isEmpty(), qPrintable(error));
        qputenv("http_proxy", proxy.url().toUtf8());
        qunsetenv("no_proxy");
        const int before = requests(ManifestPath);
        // The credentials box is answered by hand, through its fields.
        int asked = 0;
        QTimer answerer;
        connect(&answerer, &QTimer::timeout, [&] {
            QWidget *box = QApplication::activeModalWidget();
            if (!box || box->objectName() != "proxyCredentials")
                return;
            ++asked;
            for (auto *field : box->findChildren<QLineEdit *>()) { // "user", "password"
                const int part = field->objectName() == "password";
                field->setText(typed.section(':', part, part));
            }
            QMetaObject::invokeMethod(box, typed.isEmpty() ? "reject" : "accept");
        });
        answerer.start(50);
        TessTest::LogCapture log;
        dlrApp->manifestList().clear();
        const QString answer = requestManifest(origin + ManifestPath);
        if (typed != "alice:s3cret") { // a clear failure, and nothing reached the service
            QCOMPARE(answer, QString("Unknown manifest Validation"));
            QVERIFY(log.contains("Manifest request failed:"));
            QCOMPARE(requests(ManifestPath), before);
        } else {
            QCOMPARE(answer, QString());
            QCOMPARE(downloadAndWait(0), QString());
            QCOMPARE(readFile(ProductFile), product);
            QVERIFY2(proxy.log().contains("POST " + origin + ManifestPath)
                             && proxy.log().contains("GET " + origin + ProductPath),
                     qPrintable(proxy.log()));
        }
        qunsetenv("http_proxy");
        // tinyproxy answers bad credentials with 401: the toolkit's asking again is played here.
        const bool refused = typed.endsWith("wrong");
        QAuthenticator authenticator;
        for (int i = 0; refused && i < 4; ++i)
            Q_EMIT dlrApp->networkAccessManager()->proxyAuthenticationRequired(
                    QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", 1), &authenticator);
        if (refused) { // the next request starts with no refusal counted: asked, and let through
            typed = "alice:s3cret";
            qputenv("http_proxy", proxy.url().toUtf8());
            QCOMPARE(requestManifest(origin + ManifestPath), QString());
            qunsetenv("http_proxy");
        }
        QCOMPARE(asked, refused ? 5 : 1);
        QCOMPARE(log.count("did not accept the ones given before"), refused ? 2 : 0);
        QVERIFY(!log.contains("s3cret") && !log.contains("wrong"));
    }

    // Certificate problems are put to the user (but a root in the chain); declined, they fail.
    void declinedCertificateProblems_data()
    {
        using E = QSslError;
        QTest::addColumn<QString>("server");
        QTest::addColumn<QStringList>("problems"); // in the box; none: no box
        QTest::newRow("root in chain") << "chained" << QStringList();
        QTest::newRow("self-signed")
                << "self" << QStringList{E(E::SelfSignedCertificate).errorString()};
        QTest::newRow("expired") << "expired"
                                 << QStringList{E(E::SelfSignedCertificateInChain).errorString(),
                                                E(E::CertificateExpired).errorString()};
    }
    void declinedCertificateProblems()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, problems);
        const bool asks = !problems.isEmpty();
        const int before = boxes.count();
        for (int i = 0; asks && i < 2; ++i)
            boxes.enqueue(QMessageBox::Cancel, "sslErrors");
        QCOMPARE(downloadAndWait(addOffer(ProductFile, tls[server].url(ProductPath))),
                 asks ? networkErrorText(QNetworkReply::SslHandshakeFailedError) : QString());
        QCOMPARE(readFile(ProductFile), asks ? QByteArray("<missing>") : product);
        QCOMPARE(requestManifest(tls[server].url(ManifestPath)),
                 asks ? QString("Unknown manifest Validation") : QString());
        QCOMPARE(boxes.count(), before + (asks ? 2 : 0));
        QCOMPARE(boxes.unexpectedCount(), 0);
        QVERIFY(!dlrApp->isSslAccepted());
        if (!asks)
            return;
        // One problem is named in the box; several are listed in its details.
        const bool one = problems.size() == 1;
        const QString multiple = "There were multiple issues with the SSL connection";
        QCOMPARE(boxes.last().informativeText, one ? problems.first() : multiple);
        QCOMPARE(boxes.last().detailedText, one ? QString() : problems.join("---"));
    }

    // The certificate question is no stall; its reply outlives it even when it ends meanwhile.
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
        const auto question = [&] {
            auto *reply = dlrApp->networkAccessManager()->findChild<QNetworkReply *>();
            if (abortMeanwhile && reply && boxes.isHolding())
                reply->abort();
            return false; // held until the time below
        };
        boxes.enqueue(abortMeanwhile ? QMessageBox::Cancel : QMessageBox::Ok, "sslErrors", question,
                      1500);
        QCOMPARE(downloadAndWait(addOffer(ProductFile, tls["self"].url(ProductPath))), result);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(dlrApp->isSslAccepted(), !abortMeanwhile);
        QCOMPARE(readFile(ProductFile), abortMeanwhile ? QByteArray("<missing>") : product);
        if (abortMeanwhile)
            return;
        // Accepted once, no certificate problem of any host is put to the user again.
        const int asked = boxes.count();
        QUrl localhost = tls["self"].url(ProductPath); // self-signed, and for another host
        localhost.setHost("localhost");
        QCOMPARE(downloadAndWait(addOffer("Other.msi", localhost)), QString());
        QCOMPARE(requestManifest(tls["expired"].url(ManifestPath)), QString());
        QCOMPARE(boxes.count(), asked);
    }
};

TESS_TEST_MAIN(TestDownload)
#include "tst_download.moc"
