// The download page's installer half: real packages built with wixl are downloaded from the
// stand-in service and installed by the page into a made-up machine.
#include "DownloadWizard.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TestSupport.h"

class TestInstallHalf : public QObject
{
    Q_OBJECT

    QTemporaryDir productsDir;
    QTemporaryDir machine;
    TessTest::StandinServer server;
    const QStringList files{"Small-1.0.msi", "Large-1.0.msi", "Shout-1.0.MSI"};

    void setQueue(const QList<int> &queue)
    {
        dlrApp->manifestList().clear();
        for (const QString &file : files) {
            DlrManifestElement e;
            e.name = file;
            e.simpleName = file.section('-', 0, 0);
            e.downloadUrl = server.url("/products/" + file);
            dlrApp->manifestList().append(e);
        }
        dlrApp->setDownloadQueue(queue);
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + '/' + f);
    }
    QString installed(const QString &relative) const
    {
        return machine.filePath("opt/Orrel/" + relative);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        // Large enough that its install takes a moment and reports progress many times.
        for (const auto &[name, bytes] :
             {std::pair{"Small-1.0", 64 * 1024}, {"Large-1.0", 48 << 20}}) {
            TessTest::PackageBuilder builder(name);
            builder.addFile(QString("Orrel/%1/bin/tool.exe").arg(name),
                            "#!/bin/sh\necho tool >&2\n");
            builder.addFile(QString("Orrel/%1/lib/payload.dat").arg(name),
                            TessTest::PackageBuilder::randomBytes(bytes, 7));
            QString error;
            QVERIFY2(builder.build(productsDir.filePath(name + QString(".msi")), &error),
                     qPrintable(error));
        }
        // The same package under an upper-case extension is not run.
        QVERIFY(QFile::copy(productsDir.filePath(files[0]), productsDir.filePath(files[2])));
        QVERIFY(TessTest::StandinServer::writeProductsJson(
                productsDir.path(),
                {{{"file", files[0]}}, {{"file", files[1]}}, {{"file", files[2]}}}));
        server.setProducts(productsDir.path());
        QVERIFY2(server.start(), qPrintable(server.errorText()));
    }
    void cleanupTestCase() { qunsetenv("TESSINSTALLER_ROOT"); }

    void packagesAreInstalledAndMoveTheInstallHalf()
    {
        setQueue({1, 2, 0}); // Large, Shout (.MSI), Small
        TessTest::LogCapture log;
        DownloadWizard w;
        QStringList status;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (status.isEmpty() || status.last() != w.label("downloadStatus"))
                status.append(w.label("downloadStatus"));
        });
        poll.start(1);
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 60000);
        QVERIFY(status.contains("Downloading Large...") && status.contains("Installing Large..."));
        QCOMPARE(w.label("downloadStatus"), QString()); // cleared when the installer ended
        // step 333: Large installs in 166..332, progress lines land strictly inside it.
        QVERIFY(w.bar.contains(166));
        QVERIFY(std::count_if(w.bar.begin(), w.bar.end(), [](int v) { return v > 166 && v < 333; })
                >= 2);
        QCOMPARE(w.bar.last(), 999);
        QCOMPARE(log.count("Installer finished 0  status  QProcess::NormalExit"), 2);
        // The upper-case package was downloaded but not run; both others landed.
        QVERIFY(QFile::exists(TessTest::downloadsDir() + "/Shout-1.0.MSI"));
        QVERIFY(!QFile::exists(installed("Shout-1.0")));
        QCOMPARE(QFileInfo(installed("Large-1.0/lib/payload.dat")).size(), qint64(48 << 20));
        QVERIFY(QFileInfo(installed("Small-1.0/bin/tool.exe")).isExecutable());
    }

    // Back during an install, answered Ok only once the install has ended underneath the box:
    // the install is never interrupted, and the wizard then goes back instead of on.
    void installEndHeldDuringTheBackBoxThenBack()
    {
        setQueue({1, 0});
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueueWhen(QMessageBox::Ok, "backDuringInstall", [&log] {
            return log.contains("Installer finished while waiting for user input");
        });
        DownloadWizard w;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (w.label("downloadStatus") == "Installing Large...") {
                watch.stop();
                w.back()->click();
            }
        });
        watch.start(1);
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(!watch.isActive() && !boxes.isHolding(), 30000);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().informativeText,
                 QString("Once Large is installed the Tessaline Installer will go back"));
        QCOMPARE(boxes.last().defaultButton, QMessageBox::Cancel);
        QCOMPARE(w.wizard.currentPage(), w.start);
        QTest::qWait(100);
        QVERIFY(!log.contains(QStringLiteral("downloading  \"Small\"")));
        QVERIFY(QFile::exists(installed("Large-1.0/lib/payload.dat")));
    }

    // Only a negative code or an abnormal exit is an error; the queue moves on either way.
    void exitCodesAndStatus_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("box");
        QTest::newRow("positive code") << 2 << int(QProcess::NormalExit) << false;
        QTest::newRow("negative code") << -1 << int(QProcess::NormalExit) << true;
        QTest::newRow("crash") << 0 << int(QProcess::CrashExit) << true;
    }
    void exitCodesAndStatus()
    {
        QFETCH(int, code);
        QFETCH(int, status);
        QFETCH(bool, box);
        setQueue({0});
        server.setProductFault(files[0], "stall");
        dlrApp->setTransferTimeout(1000); // so the stalled transfer ends after the check
        TessTest::LogCapture log;
        {
            TessTest::BoxAnswerer boxes;
            boxes.enqueue(QMessageBox::Ok, "installerExitError");
            DownloadWizard w;
            w.enter(); // the download stalls: the page holds product 0
            w.download->installerFinished(code, QProcess::ExitStatus(status));
            QCOMPARE(boxes.count(), box ? 1 : 0);
            if (box)
                QCOMPARE(boxes.last().text,
                         QString("Installer exited with err. Exit code: %1").arg(code));
            QTRY_COMPARE(w.wizard.currentPage(), w.finished);
        }
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("finished download"), 10000);
        server.setProductFault(files[0], QString());
    }
};

TESS_TEST_MAIN(TestInstallHalf)
#include "tst_install.moc"
