// The download page and the finished page in a real wizard, downloading from the stand-in web
// service over loopback. Products here are not ".msi" packages, so the page moves on after each
// download without installing (the installer half has its own test).
#include "DownloadWizard.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QWizard>

namespace {

struct Product
{
    QString file;
    int size;
};

} // namespace

class TestDownloadPage : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir productsDir;
    std::unique_ptr<TessTest::StandinServer> server;
    const QList<Product> products = {
            {"Alpha-1.0.zip", 200 * 1024},
            {"Beta-1.0.zip", 150 * 1024},
            {"Gamma-1.0.zip", 100 * 1024},
            {"Slow-1.0.zip", 96 * 1024},
    };

    static QByteArray content(const Product &p)
    {
        QByteArray data(p.size, '\0');
        for (int i = 0; i < p.size; ++i)
            data[i] = char((i * 31 + p.file.size()) & 0xff);
        return data;
    }

    // The manifest holds every product; the queue names the ones to work through.
    void setQueue(const QList<int> &queue)
    {
        QList<DlrManifestElement> &manifest = dlrApp->manifestList();
        manifest.clear();
        for (const Product &p : products) {
            DlrManifestElement e;
            e.name = p.file;
            e.simpleName = p.file.section(QLatin1Char('-'), 0, 0) + QStringLiteral(" 1.0");
            e.downloadUrl = server->url(QStringLiteral("/products/") + p.file);
            e.fileSize = p.size;
            manifest.append(e);
        }
        dlrApp->setDownloadQueue(queue);
    }

    int requests(const QString &file) const
    {
        return server->fetchJson(QStringLiteral("/debug/state"))
                .value(QStringLiteral("counts"))
                .toObject()
                .value(QStringLiteral("/products/") + file)
                .toInt();
    }

    static QStringList downloads()
    {
        return QDir(TessTest::downloadsDir())
                .entryList({QStringLiteral("*.zip*")}, QDir::Files, QDir::Name);
    }

    // Runs the application's event loop until something ends it, as the real program does.
    static int runEventLoop(int timeoutMs = 20000)
    {
        QTimer::singleShot(timeoutMs, [] { QCoreApplication::exit(99); });
        return QCoreApplication::exec();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QList<QVariantMap> entries;
        for (const Product &p : products) {
            QFile f(productsDir.filePath(p.file));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content(p));
            entries.append({{"file", p.file}, {"name", p.file}});
        }
        QVERIFY(TessTest::StandinServer::writeProductsJson(productsDir.path(), entries));
        server = std::make_unique<TessTest::StandinServer>();
        server->setProducts(productsDir.path());
        server->addArguments({QStringLiteral("--stall-seconds"), QStringLiteral("20")});
        QVERIFY2(server->start(), qPrintable(server->errorText()));
        // Slow enough that a Back box can open while it runs.
        QVERIFY(server->setProductFault(QStringLiteral("Slow-1.0.zip"),
                                        QStringLiteral("slow:48000")));
    }

    void init()
    {
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + QLatin1Char('/') + f);
        for (const Product &p : products)
            if (p.file != QLatin1String("Slow-1.0.zip"))
                server->setProductFault(p.file, QString());
        dlrApp->setTransferTimeout(0);
    }

    void threeProductsOneBarFinishedByItself()
    {
        setQueue({0, 1, 2});
        DownloadWizard w;
        TessTest::LogCapture log;
        w.enter();
        QCOMPARE(w.wizard.currentPage(), w.download);
        // The page's own Back button stands in for the wizard's.
        QVERIFY(w.backButton()->isVisible());
        QVERIFY(!w.wizard.button(QWizard::BackButton)->isVisible());
        QCOMPARE(w.backButton()->text(), w.wizard.buttonText(QWizard::BackButton));

        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(w.progressBar()->value(), 999);
        QVERIFY(w.download->isComplete());
        QCOMPARE(downloads(), (QStringList{"Alpha-1.0.zip", "Beta-1.0.zip", "Gamma-1.0.zip"}));
        for (int i = 0; i < 3; ++i) {
            QFile f(TessTest::downloadsDir() + QLatin1Char('/') + products[i].file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), content(products[i]));
        }

        // Each product owns a third; the bar never goes back and each download stays in the
        // first half of its span.
        QVERIFY(w.bar.contains(333) && w.bar.contains(666));
        for (int i = 1; i < w.bar.size(); ++i)
            QVERIFY2(w.bar[i] >= w.bar[i - 1], qPrintable(QString::number(w.bar[i])));
        for (int v : w.bar)
            QVERIFY(v % 333 <= 166 || v == 999);
        QCOMPARE(log.count(QStringLiteral("Not running installer on ")), 3);
        QVERIFY(log.contains(QStringLiteral("Finished!")));
    }

    void aFileAlreadyOnDiskIsNotRequestedAgain()
    {
        setQueue({0, 1});
        QFile f(TessTest::downloadsDir() + QStringLiteral("/Beta-1.0.zip"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content(products[1]));
        f.close();
        dlrApp->CheckForDownload(1);
        QVERIFY(dlrApp->manifestList().at(1).downloaded);
        const int before = requests(QStringLiteral("Beta-1.0.zip"));

        DownloadWizard w;
        TessTest::LogCapture log;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(requests(QStringLiteral("Beta-1.0.zip")), before);
        // Its completion is logged with the queue position, not the manifest index.
        QVERIFY(log.lines().contains(QStringLiteral("Download complete! 1")));
        QCOMPARE(w.progressBar()->value(), 1000);
    }

    void failedDownloadRetryThenIgnore()
    {
        setQueue({0, 1, 2});
        server->setProductFault(QStringLiteral("Beta-1.0.zip"), QStringLiteral("404"));
        const int before = requests(QStringLiteral("Beta-1.0.zip"));
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Retry, QStringLiteral("downloadFailed"));
        boxes.enqueue(QMessageBox::Ignore, QStringLiteral("downloadFailed"));
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);

        QCOMPARE(boxes.count(), 2);
        QCOMPARE(boxes.unexpectedCount(), 0);
        const TessTest::BoxRecord box = boxes.last();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text, QStringLiteral("Product download failed"));
        QCOMPARE(box.informativeText,
                 QStringLiteral("the remote content was not found at the server (similar to HTTP "
                                "error 404). Press Abort to exit, Retry or Ignore to try the next "
                                "product"));
        QCOMPARE(box.buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(box.defaultButton, QMessageBox::Retry);
        QCOMPARE(requests(QStringLiteral("Beta-1.0.zip")), before + 2); // the retry asked again
        // Beta never got a final name; its two attempts left their (empty) temporary files.
        QCOMPARE(downloads(), (QStringList{"Alpha-1.0.zip", "Beta-1.0-1.zip.tessdownload",
                                           "Beta-1.0.zip.tessdownload", "Gamma-1.0.zip"}));
    }

    void ignoreOnTheLastProductFinishes()
    {
        setQueue({0, 2});
        server->setProductFault(QStringLiteral("Gamma-1.0.zip"), QStringLiteral("reset:1000"));
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ignore, QStringLiteral("downloadFailed"));
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(boxes.count(), 1);
        QVERIFY(w.download->isComplete());
        // The partial file stays under its temporary name; nothing was renamed.
        QCOMPARE(downloads(), (QStringList{"Alpha-1.0.zip", "Gamma-1.0.zip.tessdownload"}));
    }

    void abortEndsTheApplicationWithMinusOne()
    {
        setQueue({1});
        server->setProductFault(QStringLiteral("Beta-1.0.zip"), QStringLiteral("500"));
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Abort, QStringLiteral("downloadFailed"));
        DownloadWizard w;
        QTimer::singleShot(0, [&w] { w.enter(); });
        QCOMPARE(runEventLoop(), -1);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(w.wizard.currentPage(), w.download); // the page is left as it was
    }

    void aDownloadThatCannotStartEndsWithZero()
    {
        setQueue({0});
        dlrApp->manifestList()[0].name = QStringLiteral("../"); // no usable file name
        TessTest::BoxAnswerer boxes;
        boxes.enqueue(QMessageBox::Ok, QStringLiteral("downloadCannotStart"));
        DownloadWizard w;
        QTimer::singleShot(0, [&w] { w.enter(); }); // the box comes up inside the event loop
        QCOMPARE(runEventLoop(), 0);
        QCOMPARE(boxes.last().text, QStringLiteral("There Was An Error Downloading"));
        QCOMPARE(boxes.last().informativeText,
                 QStringLiteral("While processingAlpha 1.0. If this error persists contact "
                                "customer support. Press Ok to exit the application"));
    }

    void backCancelWithACompletionHeld()
    {
        setQueue({3, 0});
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        // Keep the box open until the slow download has completed underneath it.
        boxes.enqueueWhen(QMessageBox::Cancel, QStringLiteral("backDuringDownload"),
                          [&log] { return log.contains(QStringLiteral("in the back dialog")); });
        DownloadWizard w;
        w.enter();
        QTRY_VERIFY(w.progressBar()->value() > 0); // the slow download runs
        w.backButton()->click();
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().text, QStringLiteral("Download In Progress. Really go back?"));
        QCOMPARE(boxes.last().informativeText,
                 QStringLiteral("Pressing Ok will stop this download of Slow 1.0. Press Cancel to "
                                "resume download and installation"));
        QCOMPARE(boxes.last().defaultButton, QMessageBox::Cancel);
        QVERIFY(log.contains(QStringLiteral("Download completed while in the back dialog")));
        // Handled after the box closed: the queue went on to the end.
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(downloads(), (QStringList{"Alpha-1.0.zip", "Slow-1.0.zip"}));
    }

    void backCancelWithAFailureHeld()
    {
        setQueue({0, 1});
        server->setProductFault(QStringLiteral("Beta-1.0.zip"), QStringLiteral("stall:1000"));
        dlrApp->setTransferTimeout(800); // the stalled transfer fails while the box is open
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueueWhen(QMessageBox::Cancel, QStringLiteral("backDuringDownload"),
                          [&log] { return log.contains(QStringLiteral("in the back dialog")); });
        boxes.enqueue(QMessageBox::Ignore, QStringLiteral("downloadFailed"));
        DownloadWizard w;
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("downloading  \"Beta 1.0\"")), 10000);
        w.backButton()->click();
        QVERIFY(log.contains(QStringLiteral("Download failed while in the back dialog")));
        // The failure box followed the Back box.
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(boxes.count(), 2);
        QCOMPARE(boxes.unexpectedCount(), 0);
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
        const int alphaRequests = requests(QStringLiteral("Alpha-1.0.zip"));
        w.backButton()->click();
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(w.wizard.currentPage(), w.start); // back, with the wizard's own buttons
        QVERIFY(!w.backButton()->isVisible());
        QTest::qWait(200);
        QCOMPARE(boxes.count(), 1); // the stopped download raised no failure box
        QVERIFY(downloads().contains(QStringLiteral("Slow-1.0.zip.tessdownload")));

        // Next starts again at the first product, which is not downloaded again.
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(requests(QStringLiteral("Alpha-1.0.zip")), alphaRequests);
        QCOMPARE(boxes.unexpectedCount(), 0);
        // The interrupted file kept its name; the new download took the next free one.
        QVERIFY(downloads().contains(QStringLiteral("Slow-1.0-1.zip")));
    }

    void backBetweenProductsDoesNothing()
    {
        setQueue({0, 1});
        DownloadWizard w;
        TessTest::BoxAnswerer boxes;
        // Stop the chain right after the first product: the 1 ms timer is pending.
        bool clicked = false;
        QObject::connect(dlrApp, QOverload<int>::of(&DlrApp::finishedDownload), &w.wizard, [&] {
            if (!clicked) {
                clicked = true;
                QTimer::singleShot(0, [&] { w.backButton()->click(); });
            }
        });
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QVERIFY(clicked);
        QCOMPARE(boxes.count(), 0);
    }

    void emptyQueueLeavesThePageIncomplete()
    {
        setQueue({});
        TessTest::LogCapture log;
        DownloadWizard w;
        w.enter();
        QCOMPARE(w.wizard.currentPage(), w.download);
        QVERIFY(log.contains(QStringLiteral("requestNextDownload made with nothing to do")));
        QVERIFY(!w.download->isComplete());
        QVERIFY(!w.wizard.button(QWizard::NextButton)->isEnabled());
        // With no product in hand, Back has nothing to stop and only says so.
        w.backButton()->click();
        QVERIFY(log.contains(QStringLiteral("no element even though processing in back")));
        QCOMPARE(w.wizard.currentPage(), w.download);
    }

    void whileYouWaitImagesSkipGapsAndWrap()
    {
        QTemporaryDir layout;
        QDir(layout.path()).mkpath(QStringLiteral("bin"));
        QDir(layout.path()).mkpath(QStringLiteral("lib/Resources/images"));
        for (int n : {2, 5}) {
            QImage image(10 * n, 10, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            QVERIFY(image.save(layout.filePath(
                    QStringLiteral("lib/Resources/images/whileUWait-%1.png").arg(n))));
        }
        const QString saved = dlrApp->getAppDirPath();
        dlrApp->setAppDirPath(layout.filePath(QStringLiteral("bin")));
        DlrDownload page(nullptr);
        auto *artwork = page.findChild<QLabel *>(QStringLiteral("downloadArtwork"));
        QCOMPARE(artwork->pixmap(Qt::ReturnByValue).width(), 20); // image 2 comes first
        page.nextWhileUWait();
        QCOMPARE(artwork->pixmap(Qt::ReturnByValue).width(), 50);
        page.nextWhileUWait();
        // After the last one found the sequence starts again; the missing image 1 is skipped.
        QCOMPARE(artwork->pixmap(Qt::ReturnByValue).width(), 20);

        dlrApp->setAppDirPath(layout.filePath(QStringLiteral("nowhere")));
        DlrDownload bare(nullptr);
        QVERIFY(bare.findChild<QLabel *>(QStringLiteral("downloadArtwork"))
                        ->pixmap(Qt::ReturnByValue)
                        .isNull());
        dlrApp->setAppDirPath(saved);
    }

    void finishedPageOffersOnlyFinishAndOpensTheSuccessPage()
    {
        setQueue({2});
        const QUrl success = server->url(QStringLiteral("/view/Install-Success"));
        dlrApp->setSuccessUrl(success);
        TessTest::UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);

        QAbstractButton *finish = w.wizard.button(QWizard::FinishButton);
        QVERIFY(finish->isVisible());
        for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::CancelButton,
                           QWizard::CustomButton1})
            QVERIFY(!w.wizard.button(which)->isVisible());
        QVERIFY(finish->geometry().right() > w.wizard.width() * 3 / 4); // right-aligned
        QVERIFY(!w.finished->findChild<QLabel *>(QStringLiteral("finishArtwork"))
                         ->pixmap(Qt::ReturnByValue)
                         .isNull());

        finish->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(recorder.urls, QList<QUrl>{success});
        QVERIFY(!w.wizard.isVisible());
        QCOMPARE(w.wizard.result(), int(QDialog::Accepted));
    }
};

TESS_TEST_MAIN(TestDownloadPage)
#include "tst_page.moc"
