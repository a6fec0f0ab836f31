// The download page and the finished page in a real wizard, downloading from the stand-in web
// service over loopback; products here are not ".msi" packages, so the page moves on after each
// download without installing. Also the bar arithmetic and the installer output reader.
#include "DlrInstallerOutput.h"
#include "DlrQueueProgress.h"
#include "DownloadWizard.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QDesktopServices>

using namespace DlrQueueProgress;

class TestDownloadPage : public QObject
{
    Q_OBJECT

    QTemporaryDir productsDir;
    TessTest::StandinServer server;
    const QStringList products{"Alpha-1.0.zip", "Beta-1.0.zip", "Gamma-1.0.zip", "Slow-1.0.zip"};

    static QByteArray content(const QString &file)
    {
        QByteArray data(100 * 1024 + file.size() * 1000, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char((i * 31 + file.size()) & 0xff);
        return data;
    }
    // The manifest holds every product; the queue names the ones to work through.
    void setQueue(const QList<int> &queue)
    {
        dlrApp->manifestList().clear();
        for (const QString &file : products) {
            DlrManifestElement e;
            e.name = file;
            e.simpleName = file.section(QLatin1Char('-'), 0, 0) + QStringLiteral(" 1.0");
            e.downloadUrl = server.url(QStringLiteral("/products/") + file);
            e.fileSize = content(file).size();
            dlrApp->manifestList().append(e);
        }
        dlrApp->setDownloadQueue(queue);
    }
    int requests(const QString &file) const
    {
        return server.fetchJson("/debug/state")
                .value("counts")
                .toObject()
                .value("/products/" + file)
                .toInt();
    }
    static QStringList downloads()
    {
        return QDir(TessTest::downloadsDir()).entryList({"*.zip*"}, QDir::Files, QDir::Name);
    }
    // Runs the application's event loop until something ends it, as the real program does.
    static int runEventLoop(DownloadWizard &w)
    {
        QTimer::singleShot(0, [&w] { w.enter(); }); // boxes come up inside the event loop
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        return QCoreApplication::exec();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QList<QVariantMap> entries;
        for (const QString &file : products) {
            QFile f(productsDir.filePath(file));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content(file)) > 0);
            entries.append({{"file", file}, {"name", file}});
        }
        QVERIFY(TessTest::StandinServer::writeProductsJson(productsDir.path(), entries));
        server.setProducts(productsDir.path());
        server.addArguments({QStringLiteral("--stall-seconds"), QStringLiteral("20")});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        // Slow enough that a Back box can open while it runs.
        QVERIFY(server.setProductFault("Slow-1.0.zip", "slow:48000"));
    }
    void init()
    {
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + QLatin1Char('/') + f);
        for (int i = 0; i < 3; ++i)
            server.setProductFault(products[i], QString());
        dlrApp->setTransferTimeout(0);
    }

    // Each of n products owns 1000/n of the bar (truncated), the download its first half and
    // the install its second; single precision, truncated toward zero, clamped to the span.
    void barArithmetic()
    {
        QCOMPARE(step(3), 333);
        QCOMPARE(step(7), 142);
        QCOMPARE(step(0), 0);
        QCOMPARE(doneValue(6, step(7)), 994);
        QCOMPARE(requestValue(1, 333), 333);
        QCOMPARE(downloadValue(1, 333, 50, 100), 333 + 83);
        QCOMPARE(downloadValue(0, 1000, 1, 3), 166);
        QCOMPARE(downloadValue(0, 1000, 16777216, 16777217), 500); // 1 in single precision
        QCOMPARE(downloadValue(2, 250, 12345, 0), 500);            // no total announced
        QCOMPARE(downloadValue(2, 250, 12345, -1), 500);
        QCOMPARE(downloadValue(2, 250, 300, 100), 625); // more than announced
        QCOMPARE(installStartValue(1, 333), 333 + 166);
        QCOMPARE(installValue(1, 333, 50.0f), 333 + 166 + 83);
        QCOMPARE(installValue(1, 333, 100.0f), 665); // one short of the next product
        QCOMPARE(installValue(0, 500, 33.3f), 250 + 83);
        QCOMPARE(installValue(1, step(2), 50.0f), 875);
        QCOMPARE(installValue(2, 250, 250.0f), 750);
        QCOMPARE(installValue(2, 250, -5.0f), 625);
        QCOMPARE(installValue(2, 250, std::numeric_limits<float>::quiet_NaN()), 625);
    }

    void installerOutput_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<float>("percent"); // -1: no progress, a status
        QTest::addColumn<QString>("status");
        QTest::newRow("progress") << QByteArray("installer:%42.5\n") << 42.5f << "";
        QTest::newRow("progress inside")
                << QByteArray("STATUS: copying installer:%10 files") << 10.0f << "";
        QTest::newRow("bad number") << QByteArray("installer:%1.2.3") << 0.0f << "";
        QTest::newRow("blank after marker") << QByteArray("installer:% 50") << -1.0f << "% 50";
        QTest::newRow("phase") << QByteArray("PHASE:Copying files") << -1.0f << "Copying files";
        QTest::newRow("status") << QByteArray("STATUS:installer:Registering") << -1.0f
                                << "Registering";
        QTest::newRow("high bytes, blanks")
                << QByteArray("  caf\xc3\xa9 ok\r\n") << -1.0f << "caf ok";
        QTest::newRow("nul") << QByteArray("first\0second", 12) << -1.0f << "first";
        QTest::newRow("empty") << QByteArray() << -1.0f << "";
    }
    void installerOutput()
    {
        QFETCH(QByteArray, line);
        QFETCH(float, percent);
        const DlrInstallerOutput out = DlrInstallerOutput::parse(line);
        QCOMPARE(out.hasPercent, percent >= 0);
        if (out.hasPercent)
            QCOMPARE(out.percent, percent);
        else
            QTEST(out.status, "status");
    }

    void threeProductsOneBarFinishedByItself()
    {
        setQueue({0, 1, 2});
        DownloadWizard w;
        w.enter();
        // The page's own Back button stands in for the wizard's.
        QVERIFY(w.backButton()->isVisible() && !w.wizard.button(QWizard::BackButton)->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(w.progressBar()->value(), 999);
        QCOMPARE(downloads(), products.mid(0, 3));
        for (int i = 0; i < 3; ++i) {
            QFile f(TessTest::downloadsDir() + QLatin1Char('/') + products[i]);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), content(products[i]));
        }
        // The bar never goes back, and each download stays in the first half of its third.
        QVERIFY(w.bar.contains(333) && w.bar.contains(666));
        for (int i = 1; i < w.bar.size(); ++i)
            QVERIFY2(w.bar[i] >= w.bar[i - 1], qPrintable(QString::number(w.bar[i])));
        for (int v : w.bar)
            QVERIFY(v % 333 <= 166 || v == 999);
    }

    void aFileAlreadyOnDiskIsNotRequestedAgain()
    {
        setQueue({0, 1});
        QFile f(TessTest::downloadsDir() + QStringLiteral("/Beta-1.0.zip"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content(products[1])) > 0);
        f.close();
        dlrApp->CheckForDownload(1);
        const int before = requests(products[1]);
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(requests(products[1]), before);
        QCOMPARE(w.progressBar()->value(), 1000);
    }

    // Retry asks again; Ignore goes on without the product, also on the last one.
    void failedDownloadRetryThenIgnore()
    {
        setQueue({0, 1, 2});
        server.setProductFault(products[1], QStringLiteral("404"));
        server.setProductFault(products[2], QStringLiteral("reset:1000"));
        const int before = requests(products[1]);
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Retry, QStringLiteral("downloadFailed"));
        boxes.enqueue(QMessageBox::Ignore, QStringLiteral("downloadFailed"));
        boxes.enqueue(QMessageBox::Ignore, QStringLiteral("downloadFailed"));
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(boxes.count(), 3);
        QCOMPARE(boxes.unexpectedCount(), 0);
        const TessTest::BoxRecord box = boxes.seen().at(1);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text, QStringLiteral("Product download failed"));
        QCOMPARE(box.informativeText,
                 QStringLiteral("the remote content was not found at the server (similar to HTTP "
                                "error 404). Press Abort to exit, Retry or Ignore to try the next "
                                "product"));
        QCOMPARE(box.buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(box.defaultButton, QMessageBox::Retry);
        QCOMPARE(requests(products[1]), before + 2);
        // Failed products never got a final name; their attempts left temporary files.
        QCOMPARE(downloads(),
                 (QStringList{"Alpha-1.0.zip", "Beta-1.0-1.zip.tessdownload",
                              "Beta-1.0.zip.tessdownload", "Gamma-1.0.zip.tessdownload"}));
    }

    // Abort on the failure box ends the program with -1; a download that cannot start at all
    // says so and ends it with 0.
    void endsOfTheProgram()
    {
        setQueue({1});
        server.setProductFault(products[1], QStringLiteral("500"));
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Abort, QStringLiteral("downloadFailed"));
        {
            DownloadWizard w;
            QCOMPARE(runEventLoop(w), -1);
            QCOMPARE(w.wizard.currentPage(), w.download);
        }
        setQueue({0});
        dlrApp->manifestList()[0].name = QStringLiteral("../"); // no usable file name
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("downloadCannotStart"));
        DownloadWizard w;
        QCOMPARE(runEventLoop(w), 0);
        QCOMPARE(boxes.count(), 2);
        QCOMPARE(boxes.last().text, QStringLiteral("There Was An Error Downloading"));
        QCOMPARE(boxes.unexpectedCount(), 0);
    }

    // Back during a download, answered Cancel while the download ends underneath the box: its
    // end is held and handled once the box is closed.
    void backCancelHoldsWhatEndsMeanwhile_data()
    {
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<QString>("held");
        QTest::newRow("completion")
                << QList<int>{3, 0} << "Download completed while in the back dialog";
        QTest::newRow("failure") << QList<int>{0, 1} << "Download failed while in the back dialog";
    }
    void backCancelHoldsWhatEndsMeanwhile()
    {
        QFETCH(QList<int>, queue);
        QFETCH(QString, held);
        setQueue(queue);
        const bool failing = queue.first() == 0;
        if (failing) {
            server.setProductFault(products[1], QStringLiteral("stall:1000"));
            dlrApp->setTransferTimeout(800); // the stalled transfer fails while the box is open
        }
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueueWhen(QMessageBox::Cancel, QStringLiteral("backDuringDownload"),
                          [&] { return log.contains(held); });
        if (failing)
            boxes.enqueue(QMessageBox::Ignore, QStringLiteral("downloadFailed"));
        DownloadWizard w;
        w.enter();
        const QString running = dlrApp->manifestList().at(failing ? 1 : 3).simpleName;
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("downloading  \"" + running + "\""), 10000);
        w.backButton()->click();
        QCOMPARE(boxes.seen().first().informativeText,
                 "Pressing Ok will stop this download of " + running
                         + ". Press Cancel to resume download and installation");
        QVERIFY(log.contains(held));
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(boxes.count(), failing ? 2 : 1);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads().contains("Slow-1.0.zip"), !failing);
    }

    void backOkStopsTheDownloadAndStartsOverLater()
    {
        setQueue({0, 3});
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("backDuringDownload"));
        DownloadWizard w;
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("downloading  \"Slow 1.0\"")), 10000);
        const int alphaRequests = requests(products[0]);
        // Received of announced, in the units the user reads.
        QTRY_VERIFY(!w.label("downloadAmount")->text().isEmpty());
        QVERIFY2(w.label("downloadAmount")->text().endsWith("KB/111.719KB"),
                 qPrintable(w.label("downloadAmount")->text()));
        QVERIFY(w.progressBar()->value() < 750); // the second half of the queue, part-way
        w.backButton()->click();
        QCOMPARE(w.wizard.currentPage(), w.start); // back, with the wizard's own buttons
        QVERIFY(!w.backButton()->isVisible());
        QTest::qWait(200);
        QCOMPARE(boxes.count(), 1); // the stopped download raised no failure box
        // Next starts again at the first product, which is not downloaded again; the
        // interrupted file keeps its name and the new download takes the next free one.
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(requests(products[0]), alphaRequests);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QVERIFY(downloads().contains("Slow-1.0.zip.tessdownload")
                && downloads().contains("Slow-1.0-1.zip"));
    }

    void backWithNothingToStopDoesNothing()
    {
        setQueue({0, 1});
        TessTest::BoxAnswerer boxes;
        {
            DownloadWizard w;
            // Right after the first product, while the timer for the next one is pending.
            bool clicked = false;
            connect(dlrApp, qOverload<int>(&DlrApp::finishedDownload), &w.wizard, [&] {
                if (!std::exchange(clicked, true))
                    QTimer::singleShot(0, [&] { w.backButton()->click(); });
            });
            w.enter();
            QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
            QVERIFY(clicked);
        }
        // An empty queue: the page stays, incomplete, and Back has nothing to stop.
        setQueue({});
        DownloadWizard w;
        w.enter();
        QVERIFY(!w.download->isComplete() && !w.wizard.button(QWizard::NextButton)->isEnabled());
        w.backButton()->click();
        QCOMPARE(w.wizard.currentPage(), w.download);
        QCOMPARE(boxes.count(), 0);
    }

    void whileYouWaitImagesSkipGapsAndWrap()
    {
        QTemporaryDir layout;
        QVERIFY(QDir(layout.path()).mkpath("lib/Resources/images")
                && QDir(layout.path()).mkpath("bin"));
        for (int n : {2, 5}) {
            QImage image(10 * n, 10, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            QVERIFY(image.save(layout.filePath(
                    QStringLiteral("lib/Resources/images/whileUWait-%1.png").arg(n))));
        }
        const QString saved = dlrApp->getAppDirPath();
        dlrApp->setAppDirPath(layout.filePath(QStringLiteral("bin")));
        DlrDownload page(nullptr);
        const auto width = [&page] {
            return page.findChild<QLabel *>("downloadArtwork")->pixmap(Qt::ReturnByValue).width();
        };
        QList<int> widths{width()};
        for (int i = 0; i < 3; ++i) {
            page.nextWhileUWait();
            widths.append(width());
        }
        // After the last one found the sequence starts again; the missing image 1 is skipped.
        QCOMPARE(widths, (QList<int>{20, 50, 20, 50}));
        dlrApp->setAppDirPath(layout.filePath(QStringLiteral("nowhere")));
        DlrDownload bare(nullptr); // no image at all: an empty frame, and no endless search
        bare.nextWhileUWait();
        QVERIFY(bare.findChild<QLabel *>("downloadArtwork")->pixmap(Qt::ReturnByValue).isNull());
        dlrApp->setAppDirPath(saved);
    }

    void finishedPageOffersOnlyFinishAndOpensTheSuccessPage()
    {
        setQueue({2});
        const QUrl success = server.url(QStringLiteral("/view/Install-Success"));
        dlrApp->setSuccessUrl(success);
        TessTest::UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::CancelButton,
                           QWizard::CustomButton1})
            QVERIFY(!w.wizard.button(which)->isVisible());
        QAbstractButton *finish = w.wizard.button(QWizard::FinishButton);
        QVERIFY(finish->geometry().right() > w.wizard.width() * 3 / 4); // right-aligned
        finish->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(recorder.urls, QList<QUrl>{success});
        QCOMPARE(w.wizard.result(), int(QDialog::Accepted));
    }
};

TESS_TEST_MAIN(TestDownloadPage)
#include "tst_page.moc"
