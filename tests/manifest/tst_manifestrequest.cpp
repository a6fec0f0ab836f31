// The manifest request against the real stand-in service over loopback, and the file modes.
#include "DlrApp.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QHttpMultiPart>
#include <QJsonArray>
#include <QSignalSpy>

namespace {
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
        QUrl u = server.url(QStringLiteral("/forum/currentproducts.php"));
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
        (void)QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 15000);
        QTest::qWait(50); // nothing else may follow
        if (valid.count() + invalid.count() != 1)
            return QStringLiteral("<%1 signals>").arg(valid.count() + invalid.count());
        return invalid.isEmpty() ? QString() : invalid.first().first().toString();
    }

    // The body the service gives the same form, posted directly.
    QByteArray postDirectly(const QUrl &url)
    {
        QNetworkAccessManager manager;
        auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const char *field : {"platform=windows", "username=demo", "userpass=demo-password"}) {
            const QList<QByteArray> kv = QByteArray(field).split('=');
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader,
                           "form-data; name=\"" + kv[0] + '"');
            part.setBody(kv[1]);
            form->append(part);
        }
        std::unique_ptr<QNetworkReply> reply(manager.post(QNetworkRequest(url), form));
        form->setParent(reply.get());
        (void)QTest::qWaitFor([&reply] { return reply->isFinished(); }, 10000);
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
        server.addArguments({"--echo-requests", "--stall-seconds", "8"});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        pristine = dlrApp->config();
    }

    void init()
    {
        dlrApp->setConfig(pristine);
        dlrApp->setTransferTimeout(3000);
        qunsetenv("DLR_MANIFEST_FILE");
        qunsetenv("DLR_APPEND_MANIFEST_FILE");
    }

    void outcomes()
    {
        struct Row
        {
            const char *fault, *pass, *reason, *logLine;
            int offers; // -1: an abandoned body may or may not have given its first offer
        };
        const char *unknown = "Unknown manifest Validation";
        const char *denied = "Manifest request denied";
        const char *bad = "bad manifest reply";
        for (const Row &row :
             {Row{"", "demo-password", "", "Manifest request approved", 2},
              Row{"", "wrong", "Invalid forum user ID or password", denied, 0},
              Row{"error:%20%20On%20hold%20%20", "demo-password", "On hold", denied, 0},
              Row{"error", "demo-password", denied, denied, 0},
              Row{"lowercase", "demo-password", unknown, "Crikey! unknown manifest Validation", 0},
              Row{"novalidation", "demo-password", unknown, "Crikey!", 0},
              Row{"500", "demo-password", unknown, "Crikey!", 0},
              Row{"close", "demo-password", unknown, "Crikey!", 0},
              Row{"dead", "demo-password", unknown, "Crikey!", 0}, // the transfer timeout
              Row{"malformed", "demo-password", bad, "Bad Wolf:", 2},
              Row{"slow:1", "demo-password", "", "approved", 2},
              // The body cap, to the byte: 32 MiB is read, a byte more is abandoned.
              Row{"huge:32", "demo-password", "", "approved", 1},
              Row{"huge:32.00000095367431640625", "demo-password", bad, "abandoning it", -1}}) {
            TessTest::LogCapture log;
            QCOMPARE(requestAndWait(url(row.fault), QStringLiteral("demo"), row.pass),
                     QString(row.reason));
            QVERIFY2(log.contains(row.logLine), qPrintable(log.lines().join('\n')));
            if (row.offers >= 0)
                QCOMPARE(dlrApp->manifestList().size(), row.offers);
            for (const QString &line : log.lines())
                QVERIFY(line.size() < 1024 * 1024
                        && !line.contains(QStringLiteral("demo-password")));
        }
    }

    void theServiceSeesTheForm()
    {
        QCOMPARE(requestAndWait(url(), QStringLiteral("a&b"), QStringLiteral("p&q \"x\"")),
                 QString());
        const QJsonObject last = server.fetchJson(QStringLiteral("/debug/last-request"));
        QVERIFY(last["contentType"].toString().startsWith("multipart/form-data; boundary="));
        // Each part: its only header, then its body.
        QStringList parts;
        for (const QJsonValue &part : last.value(QStringLiteral("parts")).toArray()) {
            const QJsonObject headers = part["headers"].toObject();
            parts << headers.keys().join(',') + ": " + headers["Content-Disposition"].toString()
                  << part["body"].toString();
        }
        const QString field = QStringLiteral("Content-Disposition: form-data; name=\"%1\"");
        QCOMPARE(parts, (QStringList{field.arg("platform"), "windows", field.arg("username"),
                                     "a&amp;b", field.arg("userpass"), "p&q \"x\""}));
        QCOMPARE(dlrApp->getSuccessUrl(), server.url(QStringLiteral("/view/Install-Success")));
    }

    // The appended file follows any approved body, from the configuration or the environment;
    // the list starts empty on every request; a later request supersedes an earlier one.
    void appendedFileAndSupersededRequest()
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
        TessTest::LogCapture log;
        // The first would be denied, late; only the second may be answered.
        dlrApp->RequestManifest(url(QStringLiteral("slow:1")), QStringLiteral("demo"),
                                QStringLiteral("wrong"), QStringLiteral("windows"));
        QCOMPARE(requestAndWait(url()), QString());
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Ignoring a reply nobody waits for")),
                                 10000);
        QCOMPARE(dlrApp->manifestList().size(), 3);
        QCOMPARE(dlrApp->manifestList().at(2).name, QStringLiteral("Appended.msi"));
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
        const auto requestsSeen = [this] {
            return server.fetchJson("/debug/state")
                    .value("counts")["/forum/currentproducts.php"]
                    .toInt();
        };
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
