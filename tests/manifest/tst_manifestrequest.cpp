// The manifest request against the real stand-in service over loopback.
#include "DlrApp.h"
#include "StandinServer.h"
#include "TestSupport.h"

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

QString listed()
{
    QStringList names;
    for (const DlrManifestElement &e : dlrApp->manifestList())
        names << e.name;
    return names.join(',');
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
        return server.url(QStringLiteral("/forum/currentproducts.php")
                          + (fault.isEmpty() ? QString() : "?fault=" + fault));
    }

    // Runs the request and waits for its one signal; the reason, "" when valid.
    QString requestAndWait(const QString &fault,
                           const QString &pass = QStringLiteral("demo-password"),
                           const QString &user = QStringLiteral("demo"))
    {
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
        dlrApp->RequestManifest(url(fault), user, pass, QStringLiteral("windows"));
        const int inside = valid.count() + invalid.count();
        (void)QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 15000);
        QTest::qWait(50); // nothing else may follow
        if (inside || valid.count() + invalid.count() != 1)
            return QStringLiteral("<%1 signals, %2 inside the call>")
                    .arg(valid.count() + invalid.count())
                    .arg(inside);
        return invalid.isEmpty() ? QString() : invalid.first().first().toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString products = scratch.filePath(QStringLiteral("products"));
        QVERIFY(QDir().mkpath(products)
                && TessTest::StandinServer::writeProductsJson(
                        products, {QVariantMap{{"file", "W-25.1.msi"}, {"size", 4321}},
                                   QVariantMap{{"file", "M-25.1.msi"}, {"size", 777}}}));
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
        qunsetenv("DLR_APPEND_MANIFEST_FILE");
    }

    void outcomes()
    {
        struct Row
        {
            const char *fault, *reason, *logLine;
            int offers; // -1: an abandoned body may or may not have given its first offer
        };
        const char *unknown = "Unknown manifest Validation";
        const char *denied = "Manifest request denied";
        const char *bad = "bad manifest reply";
        for (const Row &row :
             {Row{"", "", "Manifest request approved", 2},
              Row{"error:%20%20On%20hold%20%20", "On hold", denied, 0},
              Row{"error", denied, denied, 0},
              Row{"lowercase", unknown, "Crikey! unknown manifest Validation", 0},
              Row{"novalidation", unknown, "Crikey!", 0}, Row{"500", unknown, "Crikey!", 0},
              Row{"close", unknown, "Crikey!", 0},
              Row{"dead", unknown, "Crikey!", 0}, // the transfer timeout
              Row{"malformed", bad, "Bad Wolf:", 2}, Row{"slow:1", "", "approved", 2},
              // The body cap, to the byte: 32 MiB is read, a byte more is abandoned.
              Row{"huge:32", "", "approved", 1},
              Row{"huge:32.00000095367431640625", bad, "abandoning it", -1}}) {
            TessTest::LogCapture log;
            QCOMPARE(requestAndWait(row.fault), QString(row.reason));
            QVERIFY2(log.contains(row.logLine), qPrintable(log.lines().join('\n')));
            QVERIFY(row.offers < 0 || dlrApp->manifestList().size() == row.offers);
            for (const QString &line : log.lines())
                QVERIFY(line.size() < 1024 * 1024
                        && !line.contains(QStringLiteral("demo-password")));
        }
        // The form as the service reads it: each field's name, then its body; only the user name
        // is escaped.
        QCOMPARE(requestAndWait(QString(), QStringLiteral("p&q \"x\""), QStringLiteral("a&b")),
                 QString());
        QStringList parts;
        for (const QJsonValue &part :
             server.fetchJson(QStringLiteral("/debug/last-request"))["parts"].toArray())
            parts << part["headers"]["Content-Disposition"].toString().section('"', 1, 1) + '='
                             + part["body"].toString();
        QCOMPARE(parts.join(' '),
                 QStringLiteral("platform=windows username=a&amp;b userpass=p&q \"x\""));
        QCOMPARE(dlrApp->getSuccessUrl(), server.url(QStringLiteral("/view/Install-Success")));
    }

    // The appended file follows any approved body, from the configuration or the environment;
    // the list starts empty on every request; a later request supersedes an earlier one. The
    // dump holds the body exactly, replacing an earlier, longer one. The manifest file mode.
    void appendedFileSupersededRequestAndDump()
    {
        const QString appended
                = writeFile(scratch.filePath(QStringLiteral("append.xml")),
                            "<M><ProductInfo><Name>Appended.msi</Name></ProductInfo></M>");
        const QString dumpPath
                = writeFile(TessTest::downloadsDir() + "/manifest.xml", QByteArray(100000, 'o'));
        DlrConfig config = pristine;
        config.appendManifestFile = appended;
        config.dumpManifest = true;
        dlrApp->setConfig(config);
        QCOMPARE(requestAndWait(QStringLiteral("malformed")), QStringLiteral("bad manifest reply"));
        QCOMPARE(listed(), QStringLiteral("W-25.1.msi,broken,Appended.msi"));
        QFile dump(dumpPath);
        QVERIFY(dump.open(QIODevice::ReadOnly) && dump.readAll().trimmed().endsWith("</Nme>"));
        QVERIFY(dump.remove());
        // A manifest file instead: read at once; nothing sent, appended or dumped.
        config.manifestFile = appended;
        dlrApp->setConfig(config);
        QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
        dlrApp->RequestManifest(url("error"), "demo", "demo-password", "windows");
        QCOMPARE(listed() + QString::number(valid.count()), QStringLiteral("Appended.msi1"));
        QVERIFY(!dump.exists());

        dlrApp->setConfig(pristine);
        qputenv("DLR_APPEND_MANIFEST_FILE", QFile::encodeName(appended));
        TessTest::LogCapture log;
        // The first would be denied, late; only the second may be answered.
        dlrApp->RequestManifest(url(QStringLiteral("slow:1")), "demo", "wrong", "windows");
        QCOMPARE(requestAndWait(QString()), QString());
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Ignoring a reply nobody waits for")),
                                 10000);
        QCOMPARE(listed(), QStringLiteral("W-25.1.msi,M-25.1.msi,Appended.msi"));
    }
};

TESS_TEST_MAIN(TestManifestRequest)
#include "tst_manifestrequest.moc"
