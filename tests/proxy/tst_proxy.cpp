// The manifest request and a download through a real proxy (tinyproxy) that the system's proxy
// settings name: one that asks for credentials, answered or refused in the box, and one that
// refuses outright.
#include "../download/DownloadWait.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TestSupport.h"
#include "TinyProxy.h"

#include <QLineEdit>

class TestProxy : public QObject
{
    Q_OBJECT

private slots:
    void throughProxy()
    {
        // The toolkit sends requests for 127.0.0.1 past any proxy; this machine's own name,
        // checked to resolve to loopback only, goes through it and still reaches only loopback.
        const QString host = TessTest::TinyProxy::loopbackHostName();
        if (host.isEmpty())
            QSKIP("this machine's host name does not resolve to a loopback address");
        const QString file = QStringLiteral("TessalineWorkserver-25.1_2301450-win64.msi");
        const QByteArray product = TessTest::PackageBuilder::randomBytes(2 * 1024 * 1024, 7);
        QTemporaryDir scratch;
        QFile out(scratch.filePath(file));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(product) == product.size());
        out.close();
        TessTest::StandinServer server;
        QVERIFY(TessTest::StandinServer::writeProductsJson(scratch.path(), {{{"file", file}}}));
        server.setProducts(scratch.path());
        server.setUsers({{"demo", "demo-password"}});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        QUrl manifestUrl = server.url(QStringLiteral("/forum/currentproducts.php"));
        manifestUrl.setHost(host);

        const auto manifestPosts = [&server] {
            const QJsonObject state = server.fetchJson("/debug/state");
            return state["counts"]["/forum/currentproducts.php"].toInt();
        };
        struct Row
        {
            const char *name;
            bool needsCredentials, refuses;
            const char *typed; // user and password typed into the box; null: Cancel
            bool reaches;      // the manifest and the download come through
        };
        const Row rows[] = {{"credentials given", true, false, "alice:s3cret", true},
                            {"credentials cancelled", true, false, nullptr, false},
                            {"refusing proxy", false, true, nullptr, false}};
        for (const Row &row : rows) {
            TessTest::TinyProxy proxy;
            if (row.needsCredentials)
                proxy.setCredentials(QStringLiteral("alice"), QStringLiteral("s3cret"));
            proxy.setRefusing(row.refuses);
            QVERIFY2(proxy.start(), qPrintable(proxy.errorText()));
            qputenv("http_proxy", proxy.url().toUtf8());
            qunsetenv("no_proxy");
            const int before = manifestPosts();
            // The credentials box is answered by hand, through its fields.
            int boxes = 0;
            QTimer answerer;
            connect(&answerer, &QTimer::timeout, [&] {
                QWidget *box = QApplication::activeModalWidget();
                if (!box || box->objectName() != QLatin1String("proxyCredentials"))
                    return;
                ++boxes;
                const QStringList typed = QString(row.typed).split(':');
                auto *user = box->findChild<QLineEdit *>(QStringLiteral("user"));
                auto *password = box->findChild<QLineEdit *>(QStringLiteral("password"));
                if (!row.typed || !user || !password)
                    return (void)QMetaObject::invokeMethod(box, "reject");
                user->setText(typed.at(0));
                password->setText(typed.at(1));
                QMetaObject::invokeMethod(box, "accept");
            });
            answerer.start(50);
            TessTest::LogCapture log;
            dlrApp->manifestList().clear();
            QSignalSpy valid(dlrApp, &DlrApp::validManifestReply);
            QSignalSpy invalid(dlrApp, &DlrApp::invalidManifestReply);
            dlrApp->RequestManifest(manifestUrl, QStringLiteral("demo"),
                                    QStringLiteral("demo-password"), QStringLiteral("windows"));
            QVERIFY2(QTest::qWaitFor([&] { return valid.count() + invalid.count() > 0; }, 20000),
                     row.name);
            QCOMPARE(valid.count(), int(row.reaches));
            QCOMPARE(boxes, int(row.needsCredentials));
            if (row.reaches) {
                QCOMPARE(dlrApp->manifestList().size(), 1);
                QCOMPARE(downloadAndWait(0), QString());
                QFile got(dlrApp->manifestList().at(0).downloadFile->fileName());
                QVERIFY(got.open(QIODevice::ReadOnly) && got.readAll() == product);
                const QString origin = QStringLiteral("http://%1:%2").arg(host).arg(server.port());
                QVERIFY2(proxy.log().contains("POST " + origin + "/forum/currentproducts.php")
                                 && proxy.log().contains("GET " + origin + "/products/" + file),
                         qPrintable(proxy.log()));
            } else {
                // A clear failure, and nothing reached the service.
                QVERIFY2(log.contains(QStringLiteral("Manifest request failed:")), row.name);
                QCOMPARE(manifestPosts(), before);
            }
            QVERIFY2(!log.contains(QStringLiteral("s3cret")), row.name);
        }
        qunsetenv("http_proxy");
    }
};

TESS_TEST_MAIN(TestProxy)
#include "tst_proxy.moc"
