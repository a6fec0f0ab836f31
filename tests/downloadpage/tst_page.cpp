// The download page and the finished page in a real wizard, downloading from the stand-in web
// service over loopback; products here are not ".msi" packages, so the page moves on after each
// download without installing. Also the bar arithmetic and the installer output reader.
#include "DlrInstallerOutput.h"
#include "DlrQueueProgress.h"
#include "DownloadWizard.h"
#include "StandinServer.h"
#include "TestSupport.h"

#include <QDesktopServices>
#include <QRegularExpression>

using namespace DlrQueueProgress;
using Answers = QList<QPair<int, QString>>; // button, box id

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
            e.simpleName = file.section('-', 0, 0) + " 1.0";
            e.downloadUrl = server.url("/products/" + file);
            e.fileSize = content(file).size();
            e.sha256 = QCryptographicHash::hash(content(file), QCryptographicHash::Sha256).toHex();
            dlrApp->manifestList().append(e);
        }
        dlrApp->setDownloadQueue(queue);
    }
    int requests(int product) const
    {
        return server.fetchJson("/debug/state")
                .value("counts")["/products/" + products[product]]
                .toInt();
    }
    static QStringList downloads()
    {
        return QDir(TessTest::downloadsDir())
                .entryList({"*.zip", "*.tessdownload"}, QDir::Files, QDir::Name);
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
        server.addArguments({"--stall-seconds", "20"});
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        // Slow enough that a Back box can open while it runs.
        QVERIFY(server.setProductFault("Slow-1.0.zip", "slow:48000"));
    }
    void init()
    {
        for (const QString &f : QDir(TessTest::downloadsDir()).entryList(QDir::Files))
            QFile::remove(TessTest::downloadsDir() + '/' + f);
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

    void installerOutput()
    {
        const struct
        {
            QByteArray line;
            float percent; // -1: no progress, a status
            QString status;
        } table[] = {{"installer:%42.5\n", 42.5f, ""},
                     {"STATUS: copying installer:%10 files", 10.0f, ""},
                     {"installer:%1.2.3", 0.0f, ""},
                     {"installer:% 50", -1.0f, "% 50"},
                     {"PHASE:Copying files", -1.0f, "Copying files"},
                     {"STATUS:installer:Registering", -1.0f, "Registering"},
                     {"  caf\xc3\xa9 ok\r\n", -1.0f, "caf ok"},
                     {QByteArray("first\0second", 12), -1.0f, "first"},
                     {"", -1.0f, ""}};
        for (const auto &row : table) {
            const DlrInstallerOutput out = DlrInstallerOutput::parse(row.line);
            QCOMPARE(out.hasPercent, row.percent >= 0);
            QCOMPARE(out.hasPercent ? out.percent : -1.0f, row.percent);
            QCOMPARE(out.hasPercent ? QString() : out.status, row.status);
        }
    }

    // The queue run to its end: one bar over the products, files already on disk, and the
    // failure box (Retry asks again, Ignore goes on, also on the last one, Abort ends with -1);
    // a download that cannot start at all says so and ends the program with 0.
    void queueRuns_data()
    {
        QTest::addColumn<QList<int>>("queue");
        QTest::addColumn<QStringList>("faults"); // per product, "" for none, "name" for "../"
        QTest::addColumn<int>("onDisk");         // product already downloaded, -1 for none
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<int>("exitCode"); // 1: reached the finished page
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<int>("betaRequests");
        QTest::addColumn<int>("lastBar");
        const QString failed = "downloadFailed";
        QTest::newRow("three products")
                << QList<int>{0, 1, 2} << QStringList{"", "", ""} << -1 << Answers{} << 1
                << QStringList(products.mid(0, 3)) << 1 << 999;
        QTest::newRow("already on disk")
                << QList<int>{0, 1} << QStringList{"", "", ""} << 1 << Answers{} << 1
                << QStringList(products.mid(0, 2)) << 0 << 1000;
        // A damaged file is deleted and fetched again; a partial one stays for later.
        QTest::newRow("retry, retry, ignore, ignore the last")
                << QList<int>{0, 1, 2} << QStringList{"corrupt*1", "404", "short:1000"} << -1
                << Answers{{QMessageBox::Retry, failed},
                           {QMessageBox::Retry, failed},
                           {QMessageBox::Ignore, failed},
                           {QMessageBox::Ignore, failed}}
                << 1 << QStringList{"Alpha-1.0.zip", "Gamma-1.0.zip.tessdownload"} << 2 << -1;
        QTest::newRow("abort") << QList<int>{1} << QStringList{"", "500", ""} << -1
                               << Answers{{QMessageBox::Abort, failed}} << -1 << QStringList{} << 1
                               << -1;
        QTest::newRow("cannot start") << QList<int>{0} << QStringList{"name", "", ""} << -1
                                      << Answers{{QMessageBox::Ok, "downloadCannotStart"}} << 0
                                      << QStringList{} << 0 << 0;
    }
    void queueRuns()
    {
        QFETCH(QList<int>, queue);
        QFETCH(QStringList, faults);
        QFETCH(int, onDisk);
        QFETCH(Answers, answers);
        QFETCH(QStringList, files);
        setQueue(queue);
        for (int i = 0; i < 3; ++i)
            QVERIFY(faults[i] == "name" || server.setProductFault(products[i], faults[i]));
        if (faults[0] == "name")
            dlrApp->manifestList()[0].name = "../"; // no usable file name
        if (onDisk >= 0) {
            QFile f(TessTest::downloadsDir() + '/' + products[onDisk]);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content(products[onDisk])) > 0);
            f.close();
            dlrApp->CheckForDownload(onDisk);
        }
        const int betaBefore = requests(1);
        TessTest::BoxAnswerer boxes;
        for (const auto &[button, id] : answers)
            boxes.enqueue(QMessageBox::StandardButton(button), id);
        DownloadWizard w;
        connect(&w.wizard, &QWizard::currentIdChanged, [&w] {
            if (w.wizard.currentPage() == w.finished)
                QCoreApplication::exit(1);
        });
        // The application's own event loop, as the real program runs it; boxes come up inside.
        QTimer::singleShot(0, [&w] { w.enter(); });
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        QTEST(QCoreApplication::exec(), "exitCode");
        QCOMPARE(boxes.count(), answers.size());
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads(), files);
        for (const QString &file : files) {
            QFile f(TessTest::downloadsDir() + '/' + file);
            QVERIFY(file.endsWith(".tessdownload")
                    || (f.open(QIODevice::ReadOnly) && f.readAll() == content(file)));
        }
        QTEST(requests(1) - betaBefore, "betaRequests");
        QFETCH(int, lastBar);
        QCOMPARE(w.bar.isEmpty() ? 0 : w.bar.last(), lastBar < 0 ? w.bar.last() : lastBar);
        // The bar never goes back (but on Retry), reaches each product's share as it starts, and
        // stays in the first half of the share while downloading.
        const int s = step(queue.size());
        for (int i = 1; i < w.bar.size() && answers.isEmpty(); ++i)
            QVERIFY2(w.bar[i] >= w.bar[i - 1], qPrintable(QString::number(w.bar[i])));
        for (int v : w.bar)
            QVERIFY2(v % s <= s / 2 || v == queue.size() * s, qPrintable(QString::number(v)));
        for (int i = 1; i < queue.size(); ++i)
            QVERIFY(w.bar.contains(i * s));
        if (answers.size() < 4)
            return;
        const QString choice = ". Press Abort to exit, Retry or Ignore to try the next product";
        QCOMPARE(boxes.seen().at(0).informativeText,
                 "The downloaded file is damaged (checksum mismatch)" + choice);
        const TessTest::BoxRecord box = boxes.seen().at(2); // Beta's second failure, after Retry
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text, QString("Product download failed"));
        QCOMPARE(box.informativeText, "the remote content was not found at the server (similar to "
                                      "HTTP error 404)"
                                              + choice);
        QCOMPARE(box.buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        QCOMPARE(box.defaultButton, QMessageBox::Retry);
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
            server.setProductFault(products[1], "stall:1000");
            dlrApp->setTransferTimeout(800); // the stalled transfer fails while the box is open
        }
        TessTest::LogCapture log;
        TessTest::BoxAnswerer boxes;
        boxes.enqueueWhen(QMessageBox::Cancel, "backDuringDownload",
                          [&] { return log.contains(held); });
        if (failing)
            boxes.enqueue(QMessageBox::Ignore, "downloadFailed");
        DownloadWizard w;
        w.enter();
        // The page's own Back button stands in for the wizard's.
        QVERIFY(w.back()->isVisible() && !w.wizard.button(QWizard::BackButton)->isVisible());
        const QString running = dlrApp->manifestList().at(queue.first() == 0 ? 1 : 3).simpleName;
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("downloading  \"" + running + "\""), 10000);
        w.back()->click();
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
        boxes.enqueue(QMessageBox::Ok, "backDuringDownload");
        DownloadWizard w;
        w.enter();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("downloading  \"Slow 1.0\""), 10000);
        const int alphaRequests = requests(0);
        // Received of announced, in the units the user reads.
        QTRY_VERIFY(!w.label("downloadAmount").isEmpty());
        QVERIFY2(w.label("downloadAmount").endsWith("KB/111.719KB"),
                 qPrintable(w.label("downloadAmount")));
        QVERIFY(w.bar.last() < 750); // the second half of the queue, part-way
        // Under them, once a second of the transfer has been seen, its speed and time left.
        const QRegularExpression rate("^\\d+(\\.\\d)? KB/s, about \\d+ s left$");
        QTRY_VERIFY_WITH_TIMEOUT(rate.match(w.label("downloadRate")).hasMatch(), 2000);
        w.back()->click();
        QCOMPARE(w.wizard.currentPage(), w.start); // back, with the wizard's own buttons
        QVERIFY(!w.back()->isVisible());
        QTest::qWait(200);
        QCOMPARE(boxes.count(), 1); // the stopped download raised no failure box
        // Next starts again at the first product, which is not downloaded again; the
        // interrupted download is continued where it stopped.
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        QCOMPARE(requests(0), alphaRequests);
        QCOMPARE(boxes.unexpectedCount(), 0);
        QCOMPARE(downloads(), (QStringList{"Alpha-1.0.zip", "Slow-1.0.zip"}));
        QVERIFY(log.contains("Continuing the download at byte"));
    }

    // Back between two products, and Back on an empty queue (the page stays, incomplete):
    // nothing to stop, no box.
    void backWithNothingToStopDoesNothing()
    {
        TessTest::BoxAnswerer boxes;
        for (const QList<int> &queue : {QList<int>{0, 1}, QList<int>{}}) {
            setQueue(queue);
            DownloadWizard w;
            bool clicked = false;
            connect(dlrApp, qOverload<int>(&DlrApp::finishedDownload), &w.wizard, [&] {
                if (!std::exchange(clicked, true)) // while the timer for the next one is pending
                    QTimer::singleShot(0, [&] { w.back()->click(); });
            });
            w.enter();
            if (queue.isEmpty()) {
                QVERIFY(!w.download->isComplete()
                        && !w.wizard.button(QWizard::NextButton)->isEnabled());
                w.back()->click();
                QCOMPARE(w.wizard.currentPage(), w.download);
            } else {
                QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
                QVERIFY(clicked);
            }
        }
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
            QVERIFY(image.save(layout.filePath("lib/Resources/images/whileUWait-%1.png").arg(n)));
        }
        const QString saved = dlrApp->getAppDirPath();
        QList<int> widths;
        for (const char *bin : {"bin", "nowhere"}) {
            dlrApp->setAppDirPath(layout.filePath(bin));
            DlrDownload page(dlrApp, nullptr);
            for (int i = 0; i < 4; ++i) {
                widths.append(page.findChild<QLabel *>("downloadArtwork")
                                      ->pixmap(Qt::ReturnByValue)
                                      .width());
                page.nextWhileUWait();
            }
        }
        dlrApp->setAppDirPath(saved);
        // After the last one found the sequence starts again; the missing image 1 is skipped.
        // No image at all: an empty frame, and no endless search.
        QCOMPARE(widths, (QList<int>{20, 50, 20, 50, 0, 0, 0, 0}));
    }

    void finishedPageOffersOnlyFinishAndOpensTheSuccessPage()
    {
        setQueue({2});
        const QUrl success = server.url("/view/Install-Success");
        dlrApp->setSuccessUrl(success);
        TessTest::UrlRecorder recorder;
        QDesktopServices::setUrlHandler("http", &recorder, "open");
        DownloadWizard w;
        w.enter();
        QTRY_COMPARE_WITH_TIMEOUT(w.wizard.currentPage(), w.finished, 15000);
        for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::CancelButton,
                           QWizard::CustomButton1})
            QVERIFY(!w.wizard.button(which)->isVisible());
        QAbstractButton *finish = w.wizard.button(QWizard::FinishButton);
        QVERIFY(finish->geometry().right() > w.wizard.width() * 3 / 4); // right-aligned
        finish->click();
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(recorder.urls, QList<QUrl>{success});
        QCOMPARE(w.wizard.result(), int(QDialog::Accepted));
    }
};

TESS_TEST_MAIN(TestDownloadPage)
#include "tst_page.moc"
