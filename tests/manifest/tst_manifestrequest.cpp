// The manifest request against the real stand-in service over loopback, and the file modes.

#include "DlrApp.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

namespace {
const char ManifestPath[] = "/forum/currentproducts.php";

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}

QByteArray appendDocument()
{
    return "<Manifest><ProductInfo><Name>Appended.msi</Name><BuildID>42</BuildID></ProductInfo>"
           "</Manifest>";
}
} // namespace

class TestManifestRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void approvedWithTheDemoUser();
    void formPartsAsTheServiceReceivedThem();
    void wrongPasswordCarriesTheServiceReason();
    void validationOutcomes_data();
    void validationOutcomes();
    void deadServerEndsAfterTheTransferTimeout();
    void hugeBodyIsCutOff();
    void appendFileAfterMalformedApprovedBody();
    void secondRequestSupersedesTheFirst();
    void dumpManifestWritesTheExactBody();
    void fileOnlyModeSendsNothing();
    void fileOnlyModeFromTheEnvironment();

private:
    // Posts the same form as the application, so a test can compare with the raw answer.
    QByteArray postDirectly(const QUrl &url);
    int manifestRequestsSeen();
    // Runs the request and waits for its one signal; returns the reason ("" when valid).
    QString requestAndWait(const QUrl &url,
                           const QString &user = QStringLiteral("demo"),
                           const QString &pass = QStringLiteral("demo-password"));

    TessTest::StandinServer server;
    QTemporaryDir scratch;
    DlrConfig pristine;
};

void TestManifestRequest::initTestCase()
{
    QVERIFY(scratch.isValid());
    const QString products = scratch.filePath(QStringLiteral("products"));
    QDir().mkpath(products);
    writeFile(products + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64.msi"),
              QByteArray(4321, 'w'));
    QVERIFY(TessTest::StandinServer::writeProductsJson(
            products, {QVariantMap{{"file", "TessalineWorkserver-25.1_2301450-win64.msi"},
                                   {"simpleName", "Tessaline Workserver 25.1"},
                                   {"buildId", "2301450"},
                                   {"versionMajor", "25"},
                                   {"versionMinor", "1"}},
                       QVariantMap{{"file", "TessalineForMaya-25.1_2301450-maya2024.msi"},
                                   {"simpleName", "Tessaline 25.1 for Maya 2024"},
                                   {"buildId", "2301450"},
                                   {"defaultBehavior", "show"},
                                   {"size", 777}}}));
    server.setProducts(products);
    server.setUsers({{QStringLiteral("demo"), QStringLiteral("demo-password")},
                     {QStringLiteral("a&b"), QStringLiteral("p&q \"x\"")}});
    server.addArguments({QStringLiteral("--echo-requests"), QStringLiteral("--stall-seconds"),
                         QStringLiteral("8")});
    QVERIFY2(server.start(), qPrintable(server.errorText()));
    pristine = dlrApp->config();
}

void TestManifestRequest::init()
{
    dlrApp->setConfig(pristine);
    dlrApp->setTransferTimeout(5000);
}

void TestManifestRequest::cleanup()
{
    qunsetenv("DLR_MANIFEST_FILE");
    qunsetenv("DLR_APPEND_MANIFEST_FILE");
}

QString
TestManifestRequest::requestAndWait(const QUrl &url, const QString &user, const QString &pass)
{
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
    dlrApp->RequestManifest(url, user, pass, QStringLiteral("windows"));
    if (!QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 15000))
        return QStringLiteral("<no signal>");
    QTest::qWait(50); // nothing else may follow
    if (valid.count() + invalid.count() != 1)
        return QStringLiteral("<more than one signal>");
    return invalid.isEmpty() ? QString() : invalid.first().first().toString();
}

int TestManifestRequest::manifestRequestsSeen()
{
    const QJsonObject counts = server.fetchJson(QStringLiteral("/debug/state"))
                                       .value(QStringLiteral("counts"))
                                       .toObject();
    return counts.value(QLatin1String(ManifestPath)).toInt();
}

QByteArray TestManifestRequest::postDirectly(const QUrl &url)
{
    QNetworkAccessManager manager;
    auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    const QList<QPair<QString, QString>> fields{
            {"platform", "windows"}, {"username", "demo"}, {"userpass", "demo-password"}};
    for (const auto &field : fields) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"").arg(field.first));
        part.setBody(field.second.toUtf8());
        form->append(part);
    }
    QNetworkReply *reply = manager.post(QNetworkRequest(url), form);
    form->setParent(reply);
    if (!QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000))
        reply->abort();
    const QByteArray body = reply->readAll();
    delete reply;
    return body;
}

void TestManifestRequest::approvedWithTheDemoUser()
{
    TessTest::LogCapture log;
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(server.url(ManifestPath), QStringLiteral("demo"),
                            QStringLiteral("demo-password"), QStringLiteral("windows"));
    QCOMPARE(valid.count(), 0); // a server request answers later, never inside the call
    QTRY_COMPARE_WITH_TIMEOUT(valid.count(), 1, 10000);

    const QList<DlrManifestElement> &manifest = dlrApp->manifestList();
    QCOMPARE(manifest.size(), 2);
    QCOMPARE(manifest.at(0).name, QStringLiteral("TessalineWorkserver-25.1_2301450-win64.msi"));
    QCOMPARE(manifest.at(0).fileSize, qint64(4321));
    QCOMPARE(manifest.at(0).downloadUrl,
             server.url(QStringLiteral("/products/TessalineWorkserver-25.1_2301450-win64.msi")));
    QCOMPARE(manifest.at(1).simpleName, QStringLiteral("Tessaline 25.1 for Maya 2024"));
    QCOMPARE(manifest.at(1).fileSize, qint64(777));
    QCOMPARE(manifest.at(1).defaultBehavior, QStringLiteral("show"));
    QCOMPARE(dlrApp->getSuccessUrl(), server.url(QStringLiteral("/view/Install-Success")));
    QVERIFY(log.contains(QStringLiteral("Requesting manifest from ")));
    QVERIFY(log.contains(QStringLiteral("Manifest request approved")));
    for (const QString &line : log.lines())
        QVERIFY2(!line.contains(QStringLiteral("demo-password")), qPrintable(line));

    // A new request empties the list first, so offers never pile up.
    QCOMPARE(requestAndWait(server.url(ManifestPath)), QString());
    QCOMPARE(dlrApp->manifestList().size(), 2);
}

void TestManifestRequest::formPartsAsTheServiceReceivedThem()
{
    QCOMPARE(requestAndWait(server.url(ManifestPath), QStringLiteral("a&b"),
                            QStringLiteral("p&q \"x\"")),
             QString());
    const QJsonObject last = server.fetchJson(QStringLiteral("/debug/last-request"));
    QVERIFY(last.value(QStringLiteral("contentType"))
                    .toString()
                    .startsWith(QStringLiteral("multipart/form-data; boundary=")));
    const QJsonArray parts = last.value(QStringLiteral("parts")).toArray();
    QCOMPARE(parts.size(), 3);
    const QStringList names{"platform", "username", "userpass"};
    const QStringList bodies{"windows", "a&amp;b", "p&q \"x\""};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject part = parts.at(i).toObject();
        const QJsonObject headers = part.value(QStringLiteral("headers")).toObject();
        QCOMPARE(headers.keys(), QStringList{QStringLiteral("Content-Disposition")});
        QCOMPARE(headers.value(QStringLiteral("Content-Disposition")).toString(),
                 QStringLiteral("form-data; name=\"%1\"").arg(names.at(i)));
        QCOMPARE(part.value(QStringLiteral("body")).toString(), bodies.at(i));
    }
    QVERIFY2(!server.log().contains(QStringLiteral("p&q")), "the service logged a password");
}

void TestManifestRequest::wrongPasswordCarriesTheServiceReason()
{
    TessTest::LogCapture log;
    QCOMPARE(requestAndWait(server.url(ManifestPath), QStringLiteral("demo"),
                            QStringLiteral("wrong")),
             QStringLiteral("Invalid forum user ID or password"));
    QVERIFY(log.contains(QStringLiteral("Manifest request denied")));
    QVERIFY(dlrApp->manifestList().isEmpty());
    QCOMPARE(requestAndWait(server.url(ManifestPath), QStringLiteral("nobody"),
                            QStringLiteral("demo-password")),
             QStringLiteral("Invalid forum user ID or password"));
}

void TestManifestRequest::validationOutcomes_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<int>("offers");

    QTest::newRow("error with reason") << "error:%20%20Account%20on%20hold%20%20"
                                       << "Account on hold"
                                       << "Manifest request denied" << 0;
    QTest::newRow("error alone") << "error"
                                 << "Manifest request denied"
                                 << "Manifest request denied" << 0;
    QTest::newRow("no validation") << "novalidation"
                                   << "Unknown manifest Validation"
                                   << "Crikey! unknown manifest Validation" << 0;
    QTest::newRow("lower-case approved") << "lowercase"
                                         << "Unknown manifest Validation"
                                         << "Crikey! unknown manifest Validation" << 0;
    QTest::newRow("malformed") << "malformed"
                               << "bad manifest reply"
                               << "Bad Wolf:" << 2;
    QTest::newRow("http 500") << "500"
                              << "Unknown manifest Validation"
                              << "Crikey! unknown manifest Validation" << 0;
    QTest::newRow("closed without answer") << "close"
                                           << "Unknown manifest Validation"
                                           << "Crikey! unknown manifest Validation" << 0;
    QTest::newRow("slow but in time") << "slow:1"
                                      << ""
                                      << "Manifest request approved" << 2;
}

void TestManifestRequest::validationOutcomes()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QFETCH(QString, logLine);
    QFETCH(int, offers);

    TessTest::LogCapture log;
    QUrl url = server.url(ManifestPath);
    url.setQuery(QStringLiteral("fault=") + fault);
    QCOMPARE(requestAndWait(url), reason);
    QVERIFY2(log.contains(logLine), qPrintable(log.lines().join(QLatin1Char('\n'))));
    QCOMPARE(dlrApp->manifestList().size(), offers);
}

void TestManifestRequest::deadServerEndsAfterTheTransferTimeout()
{
    dlrApp->setTransferTimeout(800);
    QUrl url = server.url(ManifestPath);
    url.setQuery(QStringLiteral("fault=dead"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(requestAndWait(url), QStringLiteral("Unknown manifest Validation"));
    QVERIFY2(clock.elapsed() < 5000, "the dead service was waited for too long");

    // Nobody listening at all.
    TessTest::StandinServer gone;
    QVERIFY(gone.start());
    const QUrl closedPort = gone.url(ManifestPath);
    gone.stop();
    QCOMPARE(requestAndWait(closedPort), QStringLiteral("Unknown manifest Validation"));
}

void TestManifestRequest::hugeBodyIsCutOff()
{
    TessTest::LogCapture log;
    QUrl url = server.url(ManifestPath);
    url.setQuery(QStringLiteral("fault=huge:200"));
    QCOMPARE(requestAndWait(url), QStringLiteral("bad manifest reply"));
    QVERIFY(log.contains(QStringLiteral("abandoning it")));
    for (const QString &line : log.lines())
        QVERIFY2(line.size() < 1024 * 1024, "a log line carried the whole huge body");
}

void TestManifestRequest::appendFileAfterMalformedApprovedBody()
{
    TessTest::LogCapture log;
    DlrConfig config = pristine;
    config.appendManifestFile
            = writeFile(scratch.filePath(QStringLiteral("append.xml")), appendDocument());
    dlrApp->setConfig(config);
    QUrl url = server.url(ManifestPath);
    url.setQuery(QStringLiteral("fault=malformed"));
    QCOMPARE(requestAndWait(url), QStringLiteral("bad manifest reply"));
    QVERIFY(!dlrApp->manifestList().isEmpty());
    QCOMPARE(dlrApp->manifestList().last().name, QStringLiteral("Appended.msi"));
    QVERIFY(log.contains(QStringLiteral("Appending alternate manifest")));
    QVERIFY(log.contains(QStringLiteral("appended alt manifest")));

    // The same through the environment, after a good answer.
    dlrApp->setConfig(pristine);
    qputenv("DLR_APPEND_MANIFEST_FILE", QFile::encodeName(config.appendManifestFile));
    QCOMPARE(requestAndWait(server.url(ManifestPath)), QString());
    QCOMPARE(dlrApp->manifestList().size(), 3);
    QCOMPARE(dlrApp->manifestList().at(2).buildId, QStringLiteral("42"));
}

void TestManifestRequest::secondRequestSupersedesTheFirst()
{
    TessTest::LogCapture log;
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
    QUrl slow = server.url(ManifestPath);
    slow.setQuery(QStringLiteral("fault=slow:1"));
    // The first would be denied, late; only the second may be answered.
    dlrApp->RequestManifest(slow, QStringLiteral("demo"), QStringLiteral("wrong"),
                            QStringLiteral("windows"));
    dlrApp->RequestManifest(server.url(ManifestPath), QStringLiteral("demo"),
                            QStringLiteral("demo-password"), QStringLiteral("windows"));
    QTRY_COMPARE_WITH_TIMEOUT(valid.count(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Ignoring a reply nobody waits for")),
                             10000);
    QCOMPARE(valid.count(), 1);
    QCOMPARE(invalid.count(), 0);
    QCOMPARE(dlrApp->manifestList().size(), 2);
}

void TestManifestRequest::dumpManifestWritesTheExactBody()
{
    const QString dumpPath = dlrApp->GetDownloadDir()->filePath(QStringLiteral("manifest.xml"));
    QCOMPARE(QFileInfo(dumpPath).absolutePath(),
             QFileInfo(TessTest::downloadsDir()).absoluteFilePath());
    DlrConfig config = pristine;
    config.dumpManifest = true;
    dlrApp->setConfig(config);

    writeFile(dumpPath, QByteArray(100000, 'o')); // an earlier, longer dump is replaced
    QCOMPARE(requestAndWait(server.url(ManifestPath)), QString());
    QFile dump(dumpPath);
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QCOMPARE(dump.readAll(), postDirectly(server.url(ManifestPath)));
    dump.close();

    QUrl malformed = server.url(ManifestPath);
    malformed.setQuery(QStringLiteral("fault=malformed"));
    QCOMPARE(requestAndWait(malformed), QStringLiteral("bad manifest reply"));
    QVERIFY(dump.open(QIODevice::ReadOnly));
    const QByteArray broken = dump.readAll();
    QCOMPARE(broken, postDirectly(malformed));
    QVERIFY(broken.endsWith("</Nme>"));
    QFile::remove(dumpPath);
}

void TestManifestRequest::fileOnlyModeSendsNothing()
{
    const QString file = writeFile(scratch.filePath(QStringLiteral("only.xml")),
                                   "<M><ProductInfo><Name>FromFile.msi</Name></ProductInfo>"
                                   "<DLRSuccessURL>http://file.example/done</DLRSuccessURL></M>");
    DlrConfig config = pristine;
    config.manifestFile = file;
    config.appendManifestFile
            = writeFile(scratch.filePath(QStringLiteral("append.xml")), appendDocument());
    config.dumpManifest = true;
    dlrApp->setConfig(config);
    const int before = manifestRequestsSeen();

    TessTest::LogCapture log;
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(server.url(ManifestPath), QStringLiteral("demo"),
                            QStringLiteral("demo-password"), QStringLiteral("windows"));
    QCOMPARE(valid.count(), 1); // before the call returns
    QCOMPARE(dlrApp->manifestList().size(), 1);
    QCOMPARE(dlrApp->manifestList().at(0).name, QStringLiteral("FromFile.msi"));
    QCOMPARE(dlrApp->getSuccessUrl(), QUrl(QStringLiteral("http://file.example/done")));
    QVERIFY(log.contains(QStringLiteral("Loading manifest from disk ONLY")));
    QVERIFY(log.contains(QStringLiteral("added alt manifest")));
    QVERIFY(!log.contains(QStringLiteral("Appending alternate manifest")));
    QVERIFY(!QFile::exists(dlrApp->GetDownloadDir()->filePath(QStringLiteral("manifest.xml"))));
    QTest::qWait(100);
    QCOMPARE(manifestRequestsSeen(), before);

    // A file that is missing still gives the valid signal, with no offers.
    config.manifestFile = scratch.filePath(QStringLiteral("missing.xml"));
    dlrApp->setConfig(config);
    log.clear();
    dlrApp->RequestManifest(server.url(ManifestPath), QString(), QString(), QString());
    QCOMPARE(valid.count(), 2);
    QVERIFY(dlrApp->manifestList().isEmpty());
    QVERIFY(log.contains(QStringLiteral("failed to parse alt manifest")));
}

void TestManifestRequest::fileOnlyModeFromTheEnvironment()
{
    const QString file = writeFile(scratch.filePath(QStringLiteral("env.xml")),
                                   "<M><ProductInfo><Name>Env.msi</Name></ProductInfo>"
                                   "<ProductInfo><Name>Broken</ProductInfo></M>");
    qputenv("DLR_MANIFEST_FILE", QFile::encodeName(file));
    TessTest::LogCapture log;
    QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
    dlrApp->RequestManifest(server.url(ManifestPath), QStringLiteral("demo"),
                            QStringLiteral("demo-password"), QStringLiteral("windows"));
    QCOMPARE(valid.count(), 1);
    // Offers read before the parse error stay.
    QCOMPARE(dlrApp->manifestList().size(), 2);
    QCOMPARE(dlrApp->manifestList().at(0).name, QStringLiteral("Env.msi"));
    QVERIFY(log.contains(QStringLiteral("Loading alternate manifest")));
    QVERIFY(log.contains(QStringLiteral("failed to parse alt manifest")));
}

TESS_TEST_MAIN(TestManifestRequest)
#include "tst_manifestrequest.moc"
