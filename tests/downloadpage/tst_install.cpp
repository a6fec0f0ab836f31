// The download page's installer half: real packages built with wixl are downloaded from the
// stand-in service and installed by the page into a made-up machine, with the install half of
// each product's span moved by the installer's progress lines.
#include "DownloadWizard.h"
#include "PackageBuilder.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProgressBar>
#include <QWizard>

namespace {} // namespace

class TestInstallHalf : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir productsDir;
    QTemporaryDir machine;
    std::unique_ptr<TessTest::StandinServer> server;
    QStringList files;

    bool addPackage(const QString &file, const QString &folder, int payloadBytes)
    {
        TessTest::PackageBuilder builder(folder);
        builder.addFile(QStringLiteral("Orrel/%1/bin/tool.exe").arg(folder),
                        "#!/bin/sh\necho tool >&2\n");
        builder.addFile(QStringLiteral("Orrel/%1/lib/payload.dat").arg(folder),
                        TessTest::PackageBuilder::randomBytes(payloadBytes, quint32(file.size())));
        QString error;
        if (!builder.build(productsDir.filePath(file), &error)) {
            qWarning() << error;
            return false;
        }
        files.append(file);
        return true;
    }

    void setQueue(const QList<int> &queue)
    {
        QList<DlrManifestElement> &manifest = dlrApp->manifestList();
        manifest.clear();
        for (const QString &file : files) {
            DlrManifestElement e;
            e.name = file;
            e.simpleName = file.section(QLatin1Char('-'), 0, 0);
            e.downloadUrl = server->url(QStringLiteral("/products/") + file);
            e.fileSize = QFileInfo(productsDir.filePath(file)).size();
            manifest.append(e);
        }
        dlrApp->setDownloadQueue(queue);
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + QLatin1Char('/') + f);
    }

    QString installed(const QString &relative) const
    {
        return machine.filePath(QStringLiteral("opt/Orrel/") + relative);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TESSINSTALLER_ROOT", QFile::encodeName(machine.path()));
        QVERIFY(addPackage(QStringLiteral("Small-1.0.msi"), QStringLiteral("Small-1.0"),
                           64 * 1024));
        // Large enough that its install takes a moment and reports progress many times.
        QVERIFY(addPackage(QStringLiteral("Large-1.0.msi"), QStringLiteral("Large-1.0"),
                           48 * 1024 * 1024));
        // The same package under an upper-case extension is not run.
        QVERIFY(QFile::copy(productsDir.filePath(QStringLiteral("Small-1.0.msi")),
                            productsDir.filePath(QStringLiteral("Shout-1.0.MSI"))));
        files.append(QStringLiteral("Shout-1.0.MSI"));
        QList<QVariantMap> entries;
        for (const QString &f : files)
            entries.append({{"file", f}, {"name", f}});
        QVERIFY(TessTest::StandinServer::writeProductsJson(productsDir.path(), entries));
        server = std::make_unique<TessTest::StandinServer>();
        server->setProducts(productsDir.path());
        QVERIFY2(server->start(), qPrintable(server->errorText()));
    }

    void cleanupTestCase() { qunsetenv("TESSINSTALLER_ROOT"); }

    void packagesAreInstalledAndMoveTheInstallHalf()
    {
        QDir(machine.path()).removeRecursively();
        QDir().mkpath(machine.path());
        setQueue({1, 2, 0}); // Large, Shout (.MSI), Small
        TessTest::LogCapture log;
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 60000);

        // step 333: Large installs in 166..332, progress lines land strictly inside it.
        QVERIFY(w.bar.contains(166));
        int insideInstallHalf = 0;
        for (int v : w.bar)
            insideInstallHalf += (v > 166 && v < 333) ? 1 : 0;
        QVERIFY2(insideInstallHalf >= 2, qPrintable(QString::number(insideInstallHalf)));
        QCOMPARE(w.bar.last(), 999);
        QVERIFY(log.contains(QStringLiteral("installer stdout: \"installer:%")));
        QCOMPARE(log.count(QStringLiteral("Installer finished 0  status  QProcess::NormalExit")),
                 2);

        // The upper-case package was downloaded but not run.
        QVERIFY(log.contains(QStringLiteral("Not running installer on ")));
        QVERIFY(QFile::exists(TessTest::downloadsDir() + QStringLiteral("/Shout-1.0.MSI")));
        QVERIFY(!QFile::exists(installed(QStringLiteral("Shout-1.0"))));

        // Both real packages landed, with executable .exe files.
        QCOMPARE(QFileInfo(installed(QStringLiteral("Large-1.0/lib/payload.dat"))).size(),
                 qint64(48 * 1024 * 1024));
        QVERIFY(QFileInfo(installed(QStringLiteral("Small-1.0/bin/tool.exe"))).isExecutable());
        QTRY_VERIFY(log.contains(QStringLiteral("process object gone")));
    }

    void statusLabelShowsTheInstallingProduct()
    {
        setQueue({0});
        // Slow enough that the downloading text is on screen for a while.
        server->setProductFault(QStringLiteral("Small-1.0.msi"), QStringLiteral("slow:200000"));
        DownloadWizard w;
        auto *status = w.download->findChild<QLabel *>(QStringLiteral("downloadStatus"));
        QStringList seen;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (seen.isEmpty() || seen.last() != status->text())
                seen.append(status->text());
        });
        poll.start(1);
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 30000);
        QVERIFY(seen.contains(QStringLiteral("Downloading Small...")));
        QVERIFY(seen.contains(QStringLiteral("Installing Small...")));
        QCOMPARE(status->text(), QString()); // cleared when the installer ended
        server->setProductFault(QStringLiteral("Small-1.0.msi"), QString());
    }

    void installEndHeldDuringTheBackBoxThenBack()
    {
        setQueue({1, 0});
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        // Ok, but only once the install has ended underneath the open box.
        boxes.enqueueWhen(QMessageBox::Ok, QStringLiteral("backDuringInstall"), [&log] {
            return log.contains(QStringLiteral("Installer finished while waiting for user input"));
        });
        DownloadWizard w;
        // Press Back as soon as the page says it is installing (the install takes a moment).
        auto *status = w.download->findChild<QLabel *>(QStringLiteral("downloadStatus"));
        QTimer watch;
        watch.setInterval(1);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (status->text() == QLatin1String("Installing Large...")) {
                watch.stop();
                w.backButton()->click();
            }
        });
        watch.start();
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(!watch.isActive() && !boxes.isHolding(), 30000);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().text, QStringLiteral("A Product Install Is In Progress"));
        QCOMPARE(boxes.last().informativeText,
                 QStringLiteral("Once Large is installed the Tessaline Installer will go back"));
        QCOMPARE(boxes.last().defaultButton, QMessageBox::Cancel);
        // The install ran to its end, then the wizard went back instead of going on.
        QCOMPARE(w.wizard.currentPage(), w.start);
        QTest::qWait(100);
        QVERIFY(!log.contains(QStringLiteral("downloading  \"Small\"")));
        QVERIFY(QFile::exists(installed(QStringLiteral("Large-1.0/lib/payload.dat"))));
    }

    // What the page makes of an installer's end: only a negative code or an abnormal exit is
    // an error, and the queue moves on either way.
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
        server->setProductFault(QStringLiteral("Small-1.0.msi"), QStringLiteral("stall"));
        dlrApp->setTransferTimeout(1000); // so the stalled transfer ends after the check
        TessTest::LogCapture log;
        {
            TessTest::BoxAnswerer boxes;
            boxes.enqueue(QMessageBox::Ok, QStringLiteral("installerExitError"));
            DownloadWizard w;
            w.enter(); // the download stalls: the page holds product 0
            w.download->installerFinished(code, QProcess::ExitStatus(status));
            QCOMPARE(boxes.count(), box ? 1 : 0);
            if (box)
                QCOMPARE(boxes.last().text,
                         QStringLiteral("Installer exited with err. Exit code: %1").arg(code));
            QTRY_COMPARE(w.wizard.currentPage(), w.finished);
        }
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("finished download")), 10000);
        server->setProductFault(QStringLiteral("Small-1.0.msi"), QString());
        dlrApp->setTransferTimeout(0);
    }
};

TESS_TEST_MAIN(TestInstallHalf)
#include "tst_install.moc"
