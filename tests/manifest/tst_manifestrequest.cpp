// The manifest request against the real stand-in service over loopback, and the file modes.
#include "DlrApp.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QHttpMultiPart>
#include <QJsonArray>
#include <QSignalSpy>

namespace {
const char ManifestPath[] = "/forum/currentproducts.php";

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}
} // namespace

class TestManifestRequest : public QObject
{
    Q_OBJECT

    TessTest::StandinServer server;
    QTemporaryDir scratch;
    DlrConfig pristine;

    QUrl url(const QString &fault = QString()) const
    {
        QUrl u = server.url(ManifestPath);
        if (!fault.isEmpty())
            u.setQuery(QStringLiteral("fault=") + fault);
        return u;
    }

    // Runs the request and waits for its one signal; the reason, "" when valid.
    QString requestAndWait(const QUrl &url,
                           const QString &user = QStringLiteral("demo"),
                           const QString &pass = QStringLiteral("demo-password"))
    {
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
        dlrApp->RequestManifest(url, user, pass, QStringLiteral("windows"));
        if (valid.count() + invalid.count() > 0)
            return QStringLiteral("<answered inside the call>");
        if (!QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 15000))
            return QStringLiteral("<no signal>");
        QTest::qWait(50); // nothing else may follow
        if (valid.count() + invalid.count() != 1)
            return QStringLiteral("<more than one signal>");
        return invalid.isEmpty() ? QString() : invalid.first().first().toString();
    }

    int requestsSeen()
    {
        return server.fetchJson(QStringLiteral("/debug/state"))
                .value(QStringLiteral("counts"))
                .toObject()
                .value(QLatin1String(ManifestPath))
                .toInt();
    }

    // The body the service gives the same form, posted directly.
    QByteArray postDirectly(const QUrl &url)
    {
        QNetworkAccessManager manager;
        auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &field : QList<QPair<QString, QString>>{{"platform", "windows"},
                                                                {"username", "demo"},
                                                                {"userpass", "demo-password"}}) {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader,
                           QStringLiteral("form-data; name=\"%1\"").arg(field.first));
            part.setBody(field.second.toUtf8());
            form->append(part);
        }
        std::unique_ptr<QNetworkReply> reply(manager.post(QNetworkRequest(url), form));
        form->setParent(reply.get());
        if (!QTest::qWaitFor([&reply] { return reply->isFinished(); }, 10000))
            return QByteArray("<no answer>");
        return reply->readAll();
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString products = scratch.filePath(QStringLiteral("products"));
        QDir().mkpath(products);
        writeFile(products + QStringLiteral("/TessalineWorkserver-25.1_2301450-win64.msi"),
                  QByteArray(4321, 'w'));
        QVERIFY(TessTest::StandinServer::writeProductsJson(
                products, {QVariantMap{{"file", "TessalineWorkserver-25.1_2301450-win64.msi"},
                                       {"simpleName", "Tessaline Workserver 25.1"},
                                       {"buildId", "2301450"}},
                           QVariantMap{{"file", "TessalineForMaya-25.1_2301450-maya2024.msi"},
                                       {"simpleName", "Tessaline 25.1 for Maya 2024"},
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

    void init()
    {
        dlrApp->setConfig(pristine);
        dlrApp->setTransferTimeout(3000);
    }

    void cleanup()
    {
        qunsetenv("DLR_MANIFEST_FILE");
        qunsetenv("DLR_APPEND_MANIFEST_FILE");
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<int>("offers");
        const QString pw = QStringLiteral("demo-password");
        const QString unknown = QStringLiteral("Unknown manifest Validation");
        QTest::newRow("approved") << "" << pw << ""
                                  << "Manifest request approved" << 2;
        QTest::newRow("wrong password") << ""
                                        << "wrong"
                                        << "Invalid forum user ID or password"
                                        << "Manifest request denied" << 0;
        QTest::newRow("error with reason") << "error:%20%20On%20hold%20%20" << pw << "On hold"
                                           << "Manifest request denied" << 0;
        QTest::newRow("error alone") << "error" << pw << "Manifest request denied"
                                     << "Manifest request denied" << 0;
        QTest::newRow("lower-case approved")
                << "lowercase" << pw << unknown << "Crikey! unknown manifest Validation" << 0;
        QTest::newRow("no validation") << "novalidation" << pw << unknown << "Crikey!" << 0;
        QTest::newRow("http 500") << "500" << pw << unknown << "Crikey!" << 0;
        QTest::newRow("closed without answer") << "close" << pw << unknown << "Crikey!" << 0;
        QTest::newRow("dead: the transfer timeout") << "dead" << pw << unknown << "Crikey!" << 0;
        QTest::newRow("malformed") << "malformed" << pw << "bad manifest reply"
                                   << "Bad Wolf:" << 2;
        QTest::newRow("slow but in time") << "slow:1" << pw << ""
                                          << "approved" << 2;
        // The body cap, to the byte: 32 MiB is read, a byte more is abandoned.
        QTest::newRow("32 MiB body") << "huge:32" << pw << ""
                                     << "approved" << 1;
        QTest::newRow("32 MiB and a byte")
                << "huge:32.00000095367431640625" << pw << "bad manifest reply"
                << "abandoning it" << -1;
    }

    void outcomes()
    {
        QFETCH(QString, fault);
        QFETCH(QString, pass);
        QFETCH(QString, logLine);
        TessTest::LogCapture log;
        QTEST(requestAndWait(url(fault), QStringLiteral("demo"), pass), "reason");
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join(QLatin1Char('\n'))));
        QFETCH(int, offers);
        if (offers >= 0) // an abandoned body may or may not have given its first offer
            QCOMPARE(dlrApp->manifestList().size(), offers);
        for (const QString &line : log.lines())
            QVERIFY(line.size() < 1024 * 1024 && !line.contains(QStringLiteral("demo-password")));
    }

    void theServiceSeesTheForm()
    {
        QCOMPARE(requestAndWait(url(), QStringLiteral("a&b"), QStringLiteral("p&q \"x\"")),
                 QString());
        const QJsonObject last = server.fetchJson(QStringLiteral("/debug/last-request"));
        QVERIFY(last.value(QStringLiteral("contentType"))
                        .toString()
                        .startsWith(QStringLiteral("multipart/form-data; boundary=")));
        // Each part: its only header, then its body.
        QStringList parts;
        for (const QJsonValue &part : last.value(QStringLiteral("parts")).toArray()) {
            const QJsonObject headers = part.toObject().value(QStringLiteral("headers")).toObject();
            parts << headers.keys().join(',') + ": "
                             + headers.value(QStringLiteral("Content-Disposition")).toString()
                  << part.toObject().value(QStringLiteral("body")).toString();
        }
        const QString field = QStringLiteral("Content-Disposition: form-data; name=\"%1\"");
        QCOMPARE(parts, (QStringList{field.arg("platform"), "windows", field.arg("username"),
                                     "a&amp;b", field.arg("userpass"), "p&q \"x\""}));
        QCOMPARE(dlrApp->getSuccessUrl(), server.url(QStringLiteral("/view/Install-Success")));
    }

    void appendedFileAfterAnyApprovedBody()
    {
        const QString appended
                = writeFile(scratch.filePath(QStringLiteral("append.xml")),
                            "<M><ProductInfo><Name>Appended.msi</Name></ProductInfo></M>");
        DlrConfig config = pristine;
        config.appendManifestFile = appended;
        dlrApp->setConfig(config);
        QCOMPARE(requestAndWait(url(QStringLiteral("malformed"))),
                 QStringLiteral("bad manifest reply"));
        QCOMPARE(dlrApp->manifestList().last().name, QStringLiteral("Appended.msi"));

        dlrApp->setConfig(pristine);
        qputenv("DLR_APPEND_MANIFEST_FILE", QFile::encodeName(appended));
        QCOMPARE(requestAndWait(url()), QString());
        QCOMPARE(dlrApp->manifestList().size(), 3); // the list starts empty on every request
        QCOMPARE(dlrApp->manifestList().at(2).name, QStringLiteral("Appended.msi"));
    }

    void secondRequestSupersedesTheFirst()
    {
        TessTest::LogCapture log;
        // The first would be denied, late; only the second may be answered.
        dlrApp->RequestManifest(url(QStringLiteral("slow:1")), QStringLiteral("demo"),
                                QStringLiteral("wrong"), QStringLiteral("windows"));
        QCOMPARE(requestAndWait(url()), QString());
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Ignoring a reply nobody waits for")),
                                 10000);
        QCOMPARE(dlrApp->manifestList().size(), 2);
    }

    void dumpWritesTheExactBody()
    {
        const QString dumpPath = TessTest::downloadsDir() + QStringLiteral("/manifest.xml");
        DlrConfig config = pristine;
        config.dumpManifest = true;
        dlrApp->setConfig(config);
        writeFile(dumpPath, QByteArray(100000, 'o')); // an earlier, longer dump is replaced
        for (const QString &fault : {QString(), QStringLiteral("malformed")}) {
            requestAndWait(url(fault));
            QFile dump(dumpPath);
            QVERIFY(dump.open(QIODevice::ReadOnly));
            QCOMPARE(dump.readAll(), postDirectly(url(fault)));
        }
        QFile::remove(dumpPath);
    }

    void fileModesSendNothing()
    {
        const int before = requestsSeen();
        DlrConfig config = pristine;
        config.manifestFile = writeFile(scratch.filePath(QStringLiteral("only.xml")),
                                        "<M><ProductInfo><Name>FromFile.msi</Name></ProductInfo>"
                                        "<DLRSuccessURL>http://file.example/done</DLRSuccessURL>"
                                        "<ProductInfo><Name>Broken</ProductInfo></M>");
        config.appendManifestFile
                = writeFile(scratch.filePath(QStringLiteral("append.xml")), "<M/>");
        config.dumpManifest = true;
        dlrApp->setConfig(config);

        TessTest::LogCapture log;
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        dlrApp->RequestManifest(url(), QStringLiteral("demo"), QStringLiteral("demo-password"),
                                QStringLiteral("windows"));
        QCOMPARE(valid.count(), 1); // at once; offers read before the parse error stay
        QCOMPARE(dlrApp->manifestList().size(), 2);
        QCOMPARE(dlrApp->manifestList().at(0).name, QStringLiteral("FromFile.msi"));
        QCOMPARE(dlrApp->getSuccessUrl(), QUrl(QStringLiteral("http://file.example/done")));
        QVERIFY(log.contains(QStringLiteral("failed to parse alt manifest")));
        QVERIFY(!log.contains(QStringLiteral("Appending alternate manifest")));
        QVERIFY(!QFile::exists(TessTest::downloadsDir() + QStringLiteral("/manifest.xml")));

        // From the environment; a missing file still gives the valid signal, with no offers.
        dlrApp->setConfig(pristine);
        qputenv("DLR_MANIFEST_FILE", QFile::encodeName(scratch.filePath(QStringLiteral("no.xml"))));
        dlrApp->RequestManifest(url(), QString(), QString(), QString());
        QCOMPARE(valid.count(), 2);
        QVERIFY(dlrApp->manifestList().isEmpty());
        QTest::qWait(100);
        QCOMPARE(requestsSeen(), before);
    }
};

TESS_TEST_MAIN(TestManifestRequest)
#include "tst_manifestrequest.moc"
